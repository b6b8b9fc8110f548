// The C interface's runtime: the thread every handle's Qt objects live on, the method table, and
// opening, setting up and closing a bus. Every Qt object of a handle lives on one thread with an
// event loop of its own (the library's runtime thread): opening, closing and the event watches
// run there, and the caller's threads wait for them. A program without Qt (a C program, Python)
// needs no event loop and may call from any thread.

#include <pthread.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>

#include "quennet/capi/capi_p.h"
#include "quennet/commands/call_guard.h"
#include "quennet/link/encryption.h"
#include "quennet/link/port_access.h"
#include "quennet/quennet_version.h"

namespace quennet::capi {

std::atomic<unsigned> forkGeneration{0};

namespace {
const bool forkHandlerSet = [] {
  return pthread_atfork(nullptr, nullptr, [] { forkGeneration.fetch_add(1); }) == 0;
}();
}  // namespace

const QString kForkedAway = QStringLiteral(
    "opened before fork(): the library's threads stayed in the parent process, so this child "
    "cannot use it; open the port in the child of a fresh program (exec) instead");

Runtime::Runtime() {
  startedIn_ = static_cast<int>(forkGeneration.load());
  if (QCoreApplication::instance()) {
    auto* thread = new QThread;
    thread->setObjectName(QStringLiteral("quennet-c"));
    thread->start();
    context_ = new QObject;
    context_->moveToThread(thread);
    return;
  }
  std::promise<QObject*> ready;
  std::thread([&ready] {
    static int argc = 1;
    static char name[] = "quennet";
    static char* argv[] = {name, nullptr};
    auto* application = new QCoreApplication(argc, argv);
    ready.set_value(new QObject);
    application->exec();
  }).detach();
  context_ = ready.get_future().get();
}

QString text(const char* utf8) {
  return QString::fromUtf8(utf8 ? utf8 : "");
}

const MethodInfo& methodNamed(const char* name) {
  if (!name) throw Failure{QUENNET_EINVAL, QStringLiteral("no method given")};
  const MethodInfo* info = quennet::findMethod(text(name));
  if (!info) throw Failure{QUENNET_EINVAL, QStringLiteral("unknown method %1").arg(text(name))};
  return *info;
}

QList<quennet::ParamInfo> arguments(const MethodInfo& info) {
  QList<quennet::ParamInfo> list = info.inputs();
  if (info.hasDevice()) list.removeFirst();
  return list;
}

int typeCode(quennet::ParamType type) {
  switch (type) {
    case quennet::ParamType::Byte:
      return QUENNET_TYPE_BYTE;
    case quennet::ParamType::Long:
      return QUENNET_TYPE_LONG;
    case quennet::ParamType::Text:
      return QUENNET_TYPE_TEXT;
    case quennet::ParamType::ByteArray:
      return QUENNET_TYPE_BYTES;
  }
  return QUENNET_TYPE_TEXT;
}

void checkAddress(int address) {
  if (address < 0 || address > 255) {
    throw Failure{QUENNET_EINVAL, QStringLiteral("address %1 lies outside 0..255").arg(address)};
  }
}

void checkMilliseconds(int ms, const char* what) {
  if (ms < 0 || ms > QUENNET_MAX_MILLISECONDS) {
    throw Failure{QUENNET_ERANGE, QStringLiteral("%1 of %2 ms lies outside 0..%3 ms")
                                      .arg(QLatin1String(what))
                                      .arg(ms)
                                      .arg(QUENNET_MAX_MILLISECONDS)};
  }
}

}  // namespace quennet::capi

using namespace quennet::capi;

extern "C" {

const char* quennet_version(void) {
  return QUENNET_VERSION_STR;
}

size_t quennet_method_count(void) {
  return static_cast<size_t>(quennet::methodTable().size());
}

const char* quennet_method_name(size_t index) {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    for (const MethodInfo& info : quennet::methodTable()) list.push_back(info.name.toStdString());
    return list;
  }();
  return index < names.size() ? names[index].c_str() : nullptr;
}

int quennet_method_argument_count(const char* method) {
  return guarded([&] { return static_cast<int>(arguments(methodNamed(method)).size()); });
}

int quennet_method_argument_type(const char* method, int index) {
  return guarded([&] {
    const QList<quennet::ParamInfo> list = arguments(methodNamed(method));
    if (index < 0 || index >= list.size()) {
      throw Failure{QUENNET_ERANGE,
                    QStringLiteral("%1 has no argument %2").arg(text(method)).arg(index)};
    }
    return typeCode(list[index].type);
  });
}

void quennet_options_init(quennet_options* options) {
  if (!options) return;
  *options = quennet_options{QUENNET_CRC16, 1, nullptr, 0};
}

int quennet_open(const char* path, const quennet_options* given, quennet_bus** bus) {
  return guarded([&] {
    if (!bus) throw Failure{QUENNET_EINVAL, QStringLiteral("no place for the handle")};
    *bus = nullptr;
    if (!path || !*path) throw Failure{QUENNET_EINVAL, QStringLiteral("no port given")};
    quennet_options options;
    quennet_options_init(&options);
    if (given) options = *given;
    if (options.checksum != QUENNET_CRC16 && options.checksum != QUENNET_CHECKSUM8) {
      throw Failure{
          QUENNET_EINVAL,
          QStringLiteral("checksum %1 is neither 0 (8-bit) nor 1 (CRC)").arg(options.checksum)};
    }
    std::optional<std::int32_t> keyCode;
    if (options.key) {
      keyCode = quennet::keyCodeFromDigits(text(options.key));
      if (!keyCode) {
        throw Failure{QUENNET_EINVAL, QStringLiteral("the key needs exactly six digits 0 to 9")};
      }
      if (options.checksum != QUENNET_CRC16) {
        throw Failure{QUENNET_EINVAL,
                      QStringLiteral("a key needs CRC frames: encryption does not work with the "
                                     "8-bit checksum")};
      }
    }
    checkMilliseconds(options.call_timeout_ms, "the call time-out");
    Runtime::checkHere();
    auto handle = std::make_unique<quennet_bus>();
    handle->path = text(path);
    handle->callTimeoutMs = options.call_timeout_ms;
    Runtime::instance().run([&] {
      auto client = std::make_unique<BusClient>();
      client->setPortName(handle->path);
      client->setChecksumType(options.checksum == QUENNET_CRC16 ? quennet::CHKSM_16BIT
                                                                : quennet::CHKSM_8BIT);
      client->setCommsEcho(options.echo != 0);
      if (keyCode) {
        client->setKeyCode(*keyCode);
        client->setEncryption(true);
      }
      if (!client->open()) {
        throw Failure{
            QUENNET_EOPEN,
            quennet::openFailureText(handle->path, {client->errorNumber(), client->errorString()})};
      }
      handle->client = client.release();
    });
    *bus = handle.release();
    return QUENNET_OK;
  });
}

void quennet_close(quennet_bus* bus) {
  if (!bus) return;
  bus->closed = true;
  if (madeBeforeFork(bus->generation)) return;  // the port is the parent's to close
  guarded([&] {
    Runtime::instance().run([bus] { bus->client->close(); });
    return QUENNET_OK;
  });
}

int quennet_set_repeat_guard(quennet_bus* bus, int milliseconds) {
  return guarded([&] {
    if (!bus) throw Failure{QUENNET_EINVAL, QStringLiteral("no bus")};
    checkMilliseconds(milliseconds, "the repeat guard");
    checkHere(*bus);
    Runtime::instance().run([&] { bus->client->setRepeatGuardMs(milliseconds); });
    return QUENNET_OK;
  });
}

int quennet_set_busy_retries(quennet_bus* bus, int retries, int pause_ms) {
  return guarded([&] {
    if (!bus) throw Failure{QUENNET_EINVAL, QStringLiteral("no bus")};
    if (retries < 0 || retries > quennet::kMaxBusyRetries || pause_ms < -1 ||
        pause_ms > quennet::kMaxBusyPauseMs) {
      throw Failure{QUENNET_EINVAL, QStringLiteral("BUSY retries take 0 to %1, their pause 0 to "
                                                   "%2 ms")
                                        .arg(quennet::kMaxBusyRetries)
                                        .arg(quennet::kMaxBusyPauseMs)};
    }
    Runtime::instance().run([&] {
      quennet::CallGuardSettings settings = bus->client->callGuard();
      settings.busyRetries = retries;
      if (pause_ms >= 0) settings.busyPauseMs = pause_ms;
      bus->client->setCallGuard(settings);
    });
    return QUENNET_OK;
  });
}

int quennet_set_device(quennet_bus* bus, int address, int checksum, const char* key) {
  return guarded([&] {
    if (!bus) throw Failure{QUENNET_EINVAL, QStringLiteral("no bus")};
    if (address < 0 || address > 255) {
      throw Failure{QUENNET_EINVAL, QStringLiteral("address %1 lies outside 0..255").arg(address)};
    }
    if (checksum != QUENNET_CRC16 && checksum != QUENNET_CHECKSUM8) {
      throw Failure{QUENNET_EINVAL,
                    QStringLiteral("checksum %1 is neither 0 (8-bit) nor 1 (CRC)").arg(checksum)};
    }
    quennet::DeviceLink link;
    link.checksumType = checksum == QUENNET_CRC16 ? quennet::CHKSM_16BIT : quennet::CHKSM_8BIT;
    if (key) {
      link.keyCode = quennet::keyCodeFromDigits(text(key));
      if (!link.keyCode) {
        throw Failure{QUENNET_EINVAL, QStringLiteral("the key needs exactly six digits 0 to 9")};
      }
      if (checksum != QUENNET_CRC16) {
        throw Failure{QUENNET_EINVAL,
                      QStringLiteral("a key needs CRC frames: encryption does not work with the "
                                     "8-bit checksum")};
      }
    }
    Runtime::instance().run(
        [&] { bus->client->setDeviceLink(static_cast<quint8>(address), link); });
    return QUENNET_OK;
  });
}

int quennet_set_reset_wait(quennet_bus* bus, int milliseconds) {
  return guarded([&] {
    if (!bus) throw Failure{QUENNET_EINVAL, QStringLiteral("no bus")};
    if (milliseconds < 0 || milliseconds > quennet::kMaxResetWaitMs) {
      throw Failure{
          QUENNET_EINVAL,
          QStringLiteral("the reset wait takes 0 to %1 ms").arg(quennet::kMaxResetWaitMs)};
    }
    Runtime::instance().run([&] {
      quennet::CallGuardSettings settings = bus->client->callGuard();
      settings.resetWaitMs = milliseconds;
      bus->client->setCallGuard(settings);
    });
    return QUENNET_OK;
  });
}

void quennet_free(quennet_bus* bus) {
  if (!bus) return;
  // In a forked child the client's threads are the parent's: its memory is left as it is.
  if (madeBeforeFork(bus->generation)) return delete bus;
  guarded([&] {
    Runtime::instance().run([bus] { delete bus->client; });
    return QUENNET_OK;
  });
  delete bus;
}

}  // extern "C"
