// The C interface over BusClient and EventPoller. Every Qt object of a handle lives on one
// thread with an event loop of its own (the library's runtime thread): opening, closing and the
// event watches run there, and the caller's threads wait for them. A call goes from the caller's
// thread straight into the bus's queue and is answered from the bus's worker thread. A program
// without Qt (a C program, Python) needs no event loop and may call from any thread.

#include "quennet/quennet.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QPointer>
#include <QThread>

#include "quennet/bus/bus_client.h"
#include "quennet/bus/event_poller.h"
#include "quennet/bus/event_report.h"
#include "quennet/commands/call_guard.h"
#include "quennet/commands/dispatch.h"
#include "quennet/link/encryption.h"
#include "quennet/link/port_access.h"
#include "quennet/link/quennet_error.h"
#include "quennet/quennet_version.h"

namespace {

using quennet::BusClient;
using quennet::BusReply;
using quennet::BusResult;
using quennet::DispatchError;
using quennet::MethodInfo;
using quennet::QuennetError;

thread_local std::string lastMessage;

// Counts the fork()s this process came out of. Only the forking thread lives on in a child: the
// runtime thread and every bus worker stay behind in the parent, so a handle made before the fork
// is refused in the child rather than waited on for ever.
std::atomic<unsigned> forkGeneration{0};
const bool forkHandlerSet = [] {
  return pthread_atfork(nullptr, nullptr, [] { forkGeneration.fetch_add(1); }) == 0;
}();

bool madeBeforeFork(unsigned generation) {
  return generation != forkGeneration.load();
}

const QString kForkedAway = QStringLiteral(
    "opened before fork(): the library's threads stayed in the parent process, so this child "
    "cannot use it; open the port in the child of a fresh program (exec) instead");

// A failure with its return code, raised inside and answered at the boundary.
struct Failure {
  int code;
  QString message;
};

int fail(int code, const QString& message) {
  lastMessage = message.toStdString();
  return code;
}

// Runs `body` and turns every exception into a return code: none crosses into C.
template <class Body>
int guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const Failure& failure) {
    return fail(failure.code, failure.message);
  } catch (const DispatchError& error) {
    return fail(QUENNET_EINVAL, error.message());
  } catch (const std::bad_alloc&) {
    return fail(QUENNET_ENOMEM, QStringLiteral("out of memory"));
  } catch (const std::exception& error) {
    return fail(QUENNET_EINVAL, QString::fromUtf8(error.what()));
  } catch (...) {
    return fail(QUENNET_EINVAL, QStringLiteral("unexpected failure"));
  }
}

// The thread every handle's Qt objects live on. In a program with a QCoreApplication it is a
// thread of that application; in one without, it makes the application itself, once, and keeps
// it for the life of the process.
class Runtime {
 public:
  static Runtime& instance() {
    static Runtime* const runtime = new Runtime;
    return *runtime;
  }
  // Throws in a process forked after the runtime started: its thread is not in this process.
  static void checkHere() {
    const int generation = startedIn_.load();
    if (generation >= 0 && madeBeforeFork(static_cast<unsigned>(generation))) {
      throw Failure{QUENNET_EOPEN, QStringLiteral("the library's thread started before fork() and "
                                                  "stayed in the parent process: a child cannot "
                                                  "open a port with it")};
    }
  }

  // Runs `work` on the runtime thread and returns what it returns (or throws what it throws).
  template <class Work>
  auto run(Work&& work) -> decltype(work()) {
    using Result = decltype(work());
    if (QThread::currentThread() == context_->thread()) return work();
    std::packaged_task<Result()> task(std::forward<Work>(work));
    std::future<Result> done = task.get_future();
    QMetaObject::invokeMethod(
        context_, [&task] { task(); }, Qt::QueuedConnection);
    return done.get();
  }

 private:
  Runtime() {
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

  QObject* context_ = nullptr;
  static inline std::atomic<int> startedIn_{-1};  // the fork generation it started in
};

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

std::vector<std::uint8_t> bytesOf(const QByteArray& bytes) {
  return {bytes.begin(), bytes.end()};
}

void checkAddress(int address) {
  if (address < 0 || address > 255) {
    throw Failure{QUENNET_EINVAL, QStringLiteral("address %1 lies outside 0..255").arg(address)};
  }
}

// A span in milliseconds a handle keeps: refused outside 0..QUENNET_MAX_MILLISECONDS, so that no
// deadline computed from it can overflow.
void checkMilliseconds(int ms, const char* what) {
  if (ms < 0 || ms > QUENNET_MAX_MILLISECONDS) {
    throw Failure{QUENNET_ERANGE, QStringLiteral("%1 of %2 ms lies outside 0..%3 ms")
                                      .arg(QLatin1String(what))
                                      .arg(ms)
                                      .arg(QUENNET_MAX_MILLISECONDS)};
  }
}

}  // namespace

struct quennet_bus {
  QString path;
  int callTimeoutMs = 0;
  BusClient* client = nullptr;  // lives on the runtime thread
  std::atomic<bool> closed{false};
  unsigned generation = forkGeneration.load();  // the process it belongs to
};

struct quennet_reply {
  struct Output {
    std::string name;
    int type = QUENNET_TYPE_TEXT;
    long long integer = 0;
    std::string text;
    std::vector<std::uint8_t> bytes;
  };
  int result = 0;
  bool acknowledged = false;
  std::string status;
  std::string serial;
  std::vector<std::uint8_t> sent;
  std::vector<std::uint8_t> received;
  std::vector<Output> outputs;
};

namespace {

// One call on its way: filled on the bus's worker thread, read by the caller.
struct CallState {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool portOpen = true;  // whether the port was still open when the call finished
  BusResult result;

  void finish(const BusResult& answer, bool open) {
    {
      const std::lock_guard lock(mutex);
      result = answer;
      portOpen = open;
      finished = true;
    }
    done.notify_all();
  }
};

quennet_reply* makeReply(const MethodInfo& info, const BusResult& result) {
  auto* reply = new quennet_reply;
  reply->result = result.result;
  reply->acknowledged = result.acknowledged;
  reply->status = result.caption.toStdString();
  reply->serial = result.serial.toStdString();
  reply->sent = bytesOf(result.sent);
  reply->received = bytesOf(result.reply);
  for (const quennet::ParamInfo& p : info.outputs()) {
    quennet_reply::Output output;
    output.name = p.name.toStdString();
    output.type = typeCode(p.type);
    const QVariant value = result.outputs.value(p.name);
    switch (p.type) {
      case quennet::ParamType::Byte:
      case quennet::ParamType::Long:
        output.integer = value.toLongLong();
        break;
      case quennet::ParamType::Text:
        output.text = value.toString().toStdString();
        break;
      case quennet::ParamType::ByteArray:
        for (const QVariant& element : value.toList()) {
          output.bytes.push_back(static_cast<std::uint8_t>(element.toInt()));
        }
        break;
    }
    reply->outputs.push_back(std::move(output));
  }
  return reply;
}

// A closed or failed port: what the caller is told.
Failure closedFailure(const quennet_bus& bus, const QString& caption) {
  return Failure{QUENNET_ECLOSED, QStringLiteral("%1: %2").arg(bus.path, caption)};
}

// Throws for a handle this process cannot use: one opened before a fork() it came out of.
void checkHere(const quennet_bus& bus) {
  if (madeBeforeFork(bus.generation)) throw closedFailure(bus, kForkedAway);
}

}  // namespace

// One watch's records between the runtime thread and the reader.
struct WatchQueue {
  struct Record {
    int kind = 0;
    int counter = 0;
    int a = 0;
    int b = 0;
    int lost = 0;
    std::string text;
    std::string json;
  };

  void push(int kind, const QJsonObject& object, const quennet::BusEvent* event = nullptr,
            int lost = 0, const QString& text = {}) {
    Record record;
    record.kind = kind;
    record.counter = object.value(QStringLiteral("counter")).toInt();
    record.text = text.toStdString();
    if (event) {
      record.a = event->a;
      record.b = event->b;
      record.text = event->text.toStdString();
    }
    record.lost = lost;
    record.json = QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
    {
      const std::lock_guard lock(mutex);
      records.push_back(std::move(record));
    }
    changed.notify_all();
  }
  void end(int code, const QString& message) {
    {
      const std::lock_guard lock(mutex);
      if (endCode == QUENNET_OK) {
        endCode = code;
        endMessage = message;
      }
    }
    changed.notify_all();
  }
  // The first report of the start counts; later ones change nothing.
  void opened(int code, const QString& message) {
    {
      const std::lock_guard lock(mutex);
      if (started) return;
      openCode = code;
      openMessage = message;
      started = true;
    }
    changed.notify_all();
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Record> records;
  bool closing = false;  // quennet_watch_close() has begun: readers leave at once
  int readers = 0;       // threads inside quennet_watch_next()
  bool started = false;
  int openCode = QUENNET_OK;
  QString openMessage;
  int endCode = QUENNET_OK;  // set once the watch can report nothing more
  QString endMessage;
};

namespace {

// The runtime thread's half of a watch: enables the validator, then runs an event poller and
// queues what it reports.
class WatchDriver : public QObject {
 public:
  WatchDriver(quennet_bus* bus, quint8 address, const quennet_watch_options& options,
              std::shared_ptr<WatchQueue> queue)
      : bus_(bus),
        queue_(std::move(queue)),
        address_(address),
        options_(options),
        commands_(quennet::enableCommands(
            options.inhibits ? std::optional<QString>(text(options.inhibits)) : std::nullopt)) {}

  // Asks the device what it is; the coin identities (a coin acceptor) and the enable commands
  // follow as each is answered. Throws what BusClient::invoke throws for bad inhibits.
  void start() {
    const quennet::BusCommand ask = quennet::categoryCommand();
    BusReply* reply = bus_->client->invoke(address_, ask.method, ask.inputs);
    reply->setParent(this);  // a watch closed before the answer takes the reply with it
    connect(reply, &BusReply::finished, this, [this, reply] {
      reply->deleteLater();
      if (reply->result() == quennet::kResultNotEnabled) {
        return queue_->opened(QUENNET_ECLOSED, closedFailure(*bus_, reply->caption()).message);
      }
      QString why;
      const std::optional<quennet::EventPoller::Source> source =
          quennet::watchedSource(*reply, address_, &why);
      if (!source) return queue_->opened(QUENNET_EREFUSED, why);
      poller_ = std::make_unique<quennet::EventPoller>(bus_->client, address_, *source);
      if (options_.interval_ms > 0) poller_->setInterval(options_.interval_ms);
      poller_->setReportKept(options_.from_start != 0);
      poller_->setReEnableCommands(commands_);
      if (*source == quennet::EventPoller::Source::CoinAcceptor) return askCoin(0);
      enable();
    });
  }

 private:
  // Coin position index + 1's identity, then the next; the enable once all are known.
  void askCoin(qsizetype index) {
    const QList<quennet::BusCommand> coins = quennet::coinIdCommands();
    if (index == coins.size()) {
      poller_->setCoinIds(coinIds_);
      return enable();
    }
    const quennet::BusCommand& command = coins[index];
    BusReply* reply = bus_->client->invoke(address_, command.method, command.inputs);
    reply->setParent(this);
    const auto position = static_cast<quint8>(command.inputs.value(0).toInt());
    connect(reply, &BusReply::finished, this, [this, reply, index, position] {
      reply->deleteLater();
      if (reply->result() == quennet::kResultNotEnabled) {
        return queue_->opened(QUENNET_ECLOSED, closedFailure(*bus_, reply->caption()).message);
      }
      const QString id = quennet::coinIdOf(*reply);
      if (!id.isEmpty()) coinIds_.insert(position, id);
      askCoin(index + 1);
    });
  }

  // The enable commands in turn; misuse in the first (bad inhibits) ends the start.
  void enable() {
    try {
      sendEnable(0);
    } catch (const DispatchError& error) {
      queue_->opened(QUENNET_EINVAL, error.message());
    } catch (const QuennetError& error) {
      queue_->opened(QUENNET_EINVAL, error.description());
    }
  }

  void sendEnable(qsizetype index) {
    if (index == commands_.size()) return startPolling();
    const quennet::BusCommand& command = commands_[index];
    BusReply* reply = bus_->client->invoke(address_, command.method, command.inputs);
    reply->setParent(this);  // a watch closed before the answer takes the reply with it
    connect(reply, &BusReply::finished, this, [this, reply, index] {
      reply->deleteLater();
      if (reply->acknowledged()) {
        // Nothing may leave a slot: misuse in a later command (bad inhibits) ends the start.
        try {
          return sendEnable(index + 1);
        } catch (const DispatchError& error) {
          return queue_->opened(QUENNET_EINVAL, error.message());
        } catch (const QuennetError& error) {
          return queue_->opened(QUENNET_EINVAL, error.description());
        }
      }
      if (reply->result() == quennet::kResultNotEnabled) {
        return queue_->opened(QUENNET_ECLOSED, closedFailure(*bus_, reply->caption()).message);
      }
      queue_->opened(QUENNET_EREFUSED, quennet::enableRefusedText(*reply, commands_[index].method));
    });
  }

  void startPolling() {
    using quennet::EventPoller;
    connect(poller_.get(), &EventPoller::eventReceived, this, [this](const quennet::BusEvent& e) {
      queue_->push(QUENNET_RECORD_EVENT, quennet::eventRecord(e), &e);
    });
    connect(poller_.get(), &EventPoller::eventsLost, this, [this](int lost) {
      queue_->push(QUENNET_RECORD_LOST, quennet::lostRecord(lost, poller_->lastCounter()), nullptr,
                   lost);
    });
    connect(poller_.get(), &EventPoller::inconsistentRead, this, [this](int counter) {
      queue_->push(QUENNET_RECORD_INCONSISTENT, quennet::inconsistentRecord(counter));
    });
    connect(poller_.get(), &EventPoller::counterReset, this, [this] {
      queue_->push(QUENNET_RECORD_RESET, quennet::resetRecord(poller_->lastCounter()));
    });
    // A device that stops answering is reported, as is its return; the watch goes on reading.
    connect(poller_.get(), &EventPoller::deviceLost, this, [this] {
      queue_->push(QUENNET_RECORD_DEVICE_LOST,
                   quennet::deviceLostRecord(failures_, lastFailure_, poller_->lastCounter()),
                   nullptr, 0, lastFailure_);
    });
    connect(poller_.get(), &EventPoller::deviceBack, this, [this] {
      queue_->push(QUENNET_RECORD_DEVICE_BACK,
                   quennet::deviceBackRecord(failures_, poller_->lastCounter()));
    });
    // The watch is open once the first read has learnt the counter: what happens after
    // quennet_watch_open() returns is reported, whenever the first poll went out.
    connect(poller_.get(), &EventPoller::bufferRead, this, [this] {
      failures_ = 0;
      queue_->opened(QUENNET_OK, {});
    });
    // Counted before the poller's own signals of the same poll, which it emits after this one.
    connect(poller_.get(), &EventPoller::pollFailed, this,
            [this](int result, const QString& caption) {
              ++failures_;
              lastFailure_ = caption;
              if (result != quennet::kResultNotEnabled) return queue_->opened(QUENNET_OK, {});
              poller_->stop();
              queue_->opened(QUENNET_ECLOSED, closedFailure(*bus_, caption).message);
              queue_->end(QUENNET_ECLOSED, closedFailure(*bus_, caption).message);
            });
    poller_->start();
  }

  quennet_bus* bus_;
  std::shared_ptr<WatchQueue> queue_;
  quint8 address_;
  quennet_watch_options options_;
  std::unique_ptr<quennet::EventPoller> poller_;  // made once the device said what it is
  QList<quennet::BusCommand> commands_;
  QHash<quint8, QString> coinIds_;
  int failures_ = 0;  // failed reads in a row
  QString lastFailure_;
};

}  // namespace

struct quennet_watch {
  QPointer<WatchDriver> driver;  // on the runtime thread
  std::shared_ptr<WatchQueue> queue;
  WatchQueue::Record current;
  unsigned generation = forkGeneration.load();  // the process it belongs to
};

extern "C" {

const char* quennet_strerror(int code) {
  switch (code) {
    case QUENNET_OK:
      return "no error";
    case QUENNET_EINVAL:
      return "unknown method or bad argument";
    case QUENNET_EOPEN:
      return "the port could not be opened";
    case QUENNET_ECLOSED:
      return "the port is closed or failed";
    case QUENNET_ETIMEDOUT:
      return "nothing came within the time given";
    case QUENNET_EREFUSED:
      return "a watch cannot read the device, or it did not accept the enable command";
    case QUENNET_ENOMEM:
      return "out of memory";
    case QUENNET_ERANGE:
      return "index or value out of range";
    default:
      return "unknown error code";
  }
}

const char* quennet_last_message(void) {
  return lastMessage.c_str();
}

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

int quennet_call(quennet_bus* bus, int address, const char* method, const char* const* arguments,
                 size_t count, quennet_reply** reply) {
  return guarded([&] {
    if (!bus || !reply || (count > 0 && !arguments)) {
      throw Failure{QUENNET_EINVAL, QStringLiteral("no bus, arguments or place for the reply")};
    }
    *reply = nullptr;
    const MethodInfo& info = methodNamed(method);
    checkAddress(address);
    quennet::checkArgumentCount(info, static_cast<qsizetype>(count));
    // Sized before copied: a byte array of a million values is refused at its length.
    const QList<quennet::ParamInfo> params = ::arguments(info);
    QVariantList inputs;
    for (size_t i = 0; i < count; ++i) {
      const char* word = arguments[i] ? arguments[i] : "";
      quennet::checkArgumentSize(params[static_cast<qsizetype>(i)], word);
      inputs.append(text(word));
    }
    checkHere(*bus);
    if (bus->closed) throw closedFailure(*bus, QStringLiteral("Port closed"));
    auto state = std::make_shared<CallState>();
    // Queued from this thread and answered from the bus's worker: the caller wakes once, when
    // the answer is in, and the runtime thread takes no part.
    std::uint64_t ticket = 0;
    try {
      ticket = bus->client->call(
          static_cast<quint8>(address), info.name, inputs,
          [state](const BusResult& result, bool open) { state->finish(result, open); });
    } catch (const QuennetError& error) {
      throw Failure{QUENNET_EINVAL, quennet::methodErrorText(info, error.description())};
    }
    std::unique_lock lock(state->mutex);
    const auto finished = [&] { return state->finished; };
    if (bus->callTimeoutMs > 0 &&
        !state->done.wait_for(lock, std::chrono::milliseconds(bus->callTimeoutMs), finished)) {
      // Still waiting its turn: taken back, nothing of it went out. Already on the line: the
      // device may act on it, so its outcome is waited for (the line's own time-out ends it).
      lock.unlock();
      if (bus->client->withdraw(ticket)) {
        throw Failure{QUENNET_ETIMEDOUT,
                      QStringLiteral("%1: still queued after %2 ms; withdrawn, nothing was sent")
                          .arg(info.name)
                          .arg(bus->callTimeoutMs)};
      }
      lock.lock();
    }
    state->done.wait(lock, finished);
    if (state->result.result == quennet::kResultNotEnabled && !state->portOpen) {
      throw closedFailure(*bus, state->result.caption);
    }
    *reply = makeReply(info, state->result);
    return QUENNET_OK;
  });
}

int quennet_reply_result(const quennet_reply* reply) {
  return reply ? reply->result : QUENNET_EINVAL;
}

int quennet_reply_acknowledged(const quennet_reply* reply) {
  return reply && reply->acknowledged ? 1 : 0;
}

const char* quennet_reply_status(const quennet_reply* reply) {
  return reply ? reply->status.c_str() : "";
}

const char* quennet_reply_serial(const quennet_reply* reply) {
  return reply ? reply->serial.c_str() : "";
}

size_t quennet_reply_sent(const quennet_reply* reply, const uint8_t** bytes) {
  if (bytes) *bytes = reply && !reply->sent.empty() ? reply->sent.data() : nullptr;
  return reply ? reply->sent.size() : 0;
}

size_t quennet_reply_received(const quennet_reply* reply, const uint8_t** bytes) {
  if (bytes) *bytes = reply && !reply->received.empty() ? reply->received.data() : nullptr;
  return reply ? reply->received.size() : 0;
}

size_t quennet_reply_output_count(const quennet_reply* reply) {
  return reply ? reply->outputs.size() : 0;
}

namespace {
const quennet_reply::Output* outputAt(const quennet_reply* reply, size_t index) {
  return reply && index < reply->outputs.size() ? &reply->outputs[index] : nullptr;
}
}  // namespace

const char* quennet_reply_output_name(const quennet_reply* reply, size_t index) {
  const auto* output = outputAt(reply, index);
  return output ? output->name.c_str() : nullptr;
}

int quennet_reply_output_type(const quennet_reply* reply, size_t index) {
  const auto* output = outputAt(reply, index);
  return output ? output->type : QUENNET_ERANGE;
}

long long quennet_reply_output_integer(const quennet_reply* reply, size_t index) {
  const auto* output = outputAt(reply, index);
  return output ? output->integer : 0;
}

const char* quennet_reply_output_text(const quennet_reply* reply, size_t index) {
  const auto* output = outputAt(reply, index);
  return output ? output->text.c_str() : nullptr;
}

size_t quennet_reply_output_bytes(const quennet_reply* reply, size_t index, const uint8_t** bytes) {
  const auto* output = outputAt(reply, index);
  if (bytes) *bytes = output && !output->bytes.empty() ? output->bytes.data() : nullptr;
  return output ? output->bytes.size() : 0;
}

void quennet_reply_free(quennet_reply* reply) {
  delete reply;
}

void quennet_watch_options_init(quennet_watch_options* options) {
  if (!options) return;
  *options = quennet_watch_options{0, 0, nullptr};
}

int quennet_watch_open(quennet_bus* bus, int address, const quennet_watch_options* given,
                       quennet_watch** watch) {
  return guarded([&] {
    if (!bus || !watch)
      throw Failure{QUENNET_EINVAL, QStringLiteral("no bus or place for the watch")};
    *watch = nullptr;
    checkAddress(address);
    quennet_watch_options options;
    quennet_watch_options_init(&options);
    if (given) options = *given;
    checkMilliseconds(options.interval_ms, "the poll interval");
    checkHere(*bus);
    if (bus->closed) throw closedFailure(*bus, QStringLiteral("Port closed"));
    auto handle = std::make_unique<quennet_watch>();
    handle->queue = std::make_shared<WatchQueue>();
    Runtime::instance().run([&] {
      auto driver =
          std::make_unique<WatchDriver>(bus, static_cast<quint8>(address), options, handle->queue);
      try {
        driver->start();
      } catch (const QuennetError& error) {
        throw Failure{QUENNET_EINVAL, error.description()};
      }
      handle->driver = driver.release();
    });
    std::unique_lock lock(handle->queue->mutex);
    handle->queue->changed.wait(lock, [&] { return handle->queue->started; });
    if (handle->queue->openCode != QUENNET_OK) {
      const Failure failure{handle->queue->openCode, handle->queue->openMessage};
      lock.unlock();
      quennet_watch_close(handle.release());
      throw failure;
    }
    lock.unlock();
    *watch = handle.release();
    return QUENNET_OK;
  });
}

int quennet_watch_next(quennet_watch* watch, int timeout_ms, quennet_record* record) {
  return guarded([&] {
    if (!watch || !record) throw Failure{QUENNET_EINVAL, QStringLiteral("no watch or record")};
    if (madeBeforeFork(watch->generation)) throw Failure{QUENNET_ECLOSED, kForkedAway};
    WatchQueue& queue = *watch->queue;
    std::unique_lock lock(queue.mutex);
    const Failure closing{QUENNET_ECLOSED, QStringLiteral("the watch was closed")};
    if (queue.closing) throw closing;
    // Counted while inside, so that quennet_watch_close() waits for this thread to leave.
    ++queue.readers;
    struct Leave {
      WatchQueue& queue;
      ~Leave() {
        if (--queue.readers == 0 && queue.closing) queue.changed.notify_all();
      }
    } leave{queue};
    const auto ready = [&] {
      return queue.closing || !queue.records.empty() || queue.endCode != QUENNET_OK;
    };
    if (timeout_ms < 0) {
      queue.changed.wait(lock, ready);
    } else if (!queue.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready)) {
      throw Failure{QUENNET_ETIMEDOUT, QStringLiteral("no event within %1 ms").arg(timeout_ms)};
    }
    if (queue.closing) throw closing;
    if (queue.records.empty()) throw Failure{queue.endCode, queue.endMessage};
    watch->current = std::move(queue.records.front());
    queue.records.pop_front();
    const WatchQueue::Record& current = watch->current;
    *record = quennet_record{current.kind, current.counter,      current.a,           current.b,
                             current.lost, current.text.c_str(), current.json.c_str()};
    return QUENNET_OK;
  });
}

void quennet_watch_close(quennet_watch* watch) {
  if (!watch) return;
  // The watch's driver and queue are the parent's after a fork(): left as they are.
  if (madeBeforeFork(watch->generation)) return;
  {
    // Threads waiting in quennet_watch_next() leave with QUENNET_ECLOSED before it goes.
    WatchQueue& queue = *watch->queue;
    std::unique_lock lock(queue.mutex);
    queue.closing = true;
    queue.changed.notify_all();
    queue.changed.wait(lock, [&] { return queue.readers == 0; });
  }
  guarded([&] {
    Runtime::instance().run([watch] { delete watch->driver.data(); });
    return QUENNET_OK;
  });
  delete watch;
}

}  // extern "C"
