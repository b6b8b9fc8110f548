#pragma once
// What the C interface's files share: the failure raised inside and answered at the boundary,
// the runtime thread every handle's Qt objects live on, the bus handle and the argument checks.

#include <atomic>
#include <future>
#include <string>

#include <QObject>
#include <QString>
#include <QThread>

#include "quennet/bus/bus_client.h"
#include "quennet/commands/dispatch.h"
#include "quennet/quennet.h"

namespace quennet::capi {

using quennet::BusClient;
using quennet::BusReply;
using quennet::BusResult;
using quennet::MethodInfo;
using quennet::MisuseError;
using quennet::QuennetError;

// Counts the fork()s this process came out of. Only the forking thread lives on in a child: the
// runtime thread and every bus worker stay behind in the parent, so a handle made before the fork
// is refused in the child rather than waited on for ever.
extern std::atomic<unsigned> forkGeneration;
inline bool madeBeforeFork(unsigned generation) {
  return generation != forkGeneration.load();
}
extern const QString kForkedAway;

// A failure with its return code, raised inside and answered at the boundary.
struct Failure {
  int code;
  QString message;
};

// Keeps `message` as the calling thread's last message and returns `code`.
int fail(int code, const QString& message);

// Runs `body` and turns every exception into a return code: none crosses into C.
template <class Body>
int guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const Failure& failure) {
    return fail(failure.code, failure.message);
  } catch (const MisuseError& error) {
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
  Runtime();

  QObject* context_ = nullptr;
  static inline std::atomic<int> startedIn_{-1};  // the fork generation it started in
};

QString text(const char* utf8);
const MethodInfo& methodNamed(const char* name);
QList<quennet::ParamInfo> arguments(const MethodInfo& info);
int typeCode(quennet::ParamType type);
void checkAddress(int address);
// A span in milliseconds a handle keeps: refused outside 0..QUENNET_MAX_MILLISECONDS, so that no
// deadline computed from it can overflow.
void checkMilliseconds(int ms, const char* what);

}  // namespace quennet::capi

struct quennet_bus {
  QString path;
  int callTimeoutMs = 0;
  quennet::BusClient* client = nullptr;  // lives on the runtime thread
  std::atomic<bool> closed{false};
  unsigned generation = quennet::capi::forkGeneration.load();  // the process it belongs to
};

namespace quennet::capi {

// A closed or failed port: what the caller is told.
inline Failure closedFailure(const quennet_bus& bus, const QString& caption) {
  return Failure{QUENNET_ECLOSED, QStringLiteral("%1: %2").arg(bus.path, caption)};
}

// Throws for a handle this process cannot use: one opened before a fork() it came out of.
inline void checkHere(const quennet_bus& bus) {
  if (madeBeforeFork(bus.generation)) throw closedFailure(bus, kForkedAway);
}

}  // namespace quennet::capi
