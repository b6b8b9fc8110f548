// The service's end: the orderly stop, and what the unit runs after the service has stopped.

#include <memory>
#include <utility>

#include <QPointer>

#include "quennet/bus/event_poller.h"
#include "quennetd/bus_setup.h"
#include "quennetd/payloads.h"
#include "quennetd/service.h"

namespace quennetd {

namespace {

using quennet::BusClient;
using quennet::EventPoller;

constexpr int kGoodbyeMs = 3000;
constexpr int kLastReadMs = 3000;
// How long a stop waits for the acceptors to take their inhibits (and held notes to go back).
constexpr int kInhibitWaitMs = 5000;

// Calls `then` once: when every reply it was told to expect is in, or at the deadline.
class Barrier : public QObject {
 public:
  Barrier(int deadlineMs, std::function<void()> then, QObject* parent)
      : QObject(parent), then_(std::move(then)) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &Barrier::fire);
    deadline_.start(deadlineMs);
  }
  void expect() { ++waiting_; }
  void arrive() {
    if (--waiting_ <= 0) fire();
  }
  // Once everything is expected: fires at once when nothing is.
  void arm() {
    if (waiting_ <= 0) fire();
  }

 private:
  void fire() {
    if (fired_) return;
    fired_ = true;
    deadline_.stop();
    deleteLater();
    then_();
  }

  std::function<void()> then_;
  QTimer deadline_;
  int waiting_ = 0;
  bool fired_ = false;
};

}  // namespace

void Service::shutdown() {
  if (state_ == State::Stopping) return;
  state_ = State::Stopping;
  consumers_.stop(QStringLiteral("shutting down"));
  reopen_.stop();
  resend_.stop();
  health_.stop();
  watch_.stop();
  identifyAgain_.stop();
  // An initialisation in progress ends first, then finishes the shutdown itself.
  if (!busy_) finishShutdown();
}

void Service::finishShutdown() {
  busy_ = true;
  for (auto& [address, device] : devices_) {
    if (device->poller) device->poller->stop();
  }
  auto* inhibited = new Barrier(
      kInhibitWaitMs, [this] { lastReads(); }, this);
  if (portOpen_) {
    const auto in = [inhibited = QPointer<Barrier>(inhibited)](const CallReply<Nothing>&) {
      if (inhibited) inhibited->arrive();
    };
    for (auto& [address, device] : devices_) {
      if (!device->accepts()) continue;
      // A note held for a consumer goes back to the customer; then nothing more is taken.
      if (device->hold.isActive()) {
        device->hold.stop();
        inhibited->expect();
        calls_.send(address, calls::routeBill(RouteCode::Return), in);
      }
      inhibited->expect();
      calls_.send(address, calls::setMaster(Master::Inhibit), in);
      device->enabled = false;
    }
  }
  inhibited->arm();
}

// One last read, so that a note stacked just now is journalled and published.
void Service::lastReads() {
  auto* read = new Barrier(
      kLastReadMs, [this] { flush(); }, this);
  for (auto& [address, device] : devices_) {
    if (!device->poller || !device->accepts() || !portOpen_) continue;
    EventPoller* poller = device->poller.get();
    read->expect();
    const auto in = [read, once = std::make_shared<bool>(false)] {
      if (!std::exchange(*once, true)) read->arrive();
    };
    connect(poller, &EventPoller::bufferRead, read, in);
    connect(poller, &EventPoller::pollFailed, read, in);
    poller->start();
    poller->stop();
  }
  read->arm();
}

void Service::flush() {
  Journal& journal = health_.journal();
  journal.checkpoint();
  publish(QStringLiteral("status"), payloads::offline(true), true);
  mqtt_.stop(kGoodbyeMs);
  bus_.close();
  payouts_.close();
  journal.close();
  emit finished();
}

// ---- after the service ---------------------------------------------------------------------

namespace {

// Asks each address in turn what it is, and inhibits those that take money.
class InhibitRun : public QObject {
 public:
  using Done = std::function<void(int status, const QStringList& log)>;
  InhibitRun(const DaemonOptions& options, Done done) : options_(options), done_(std::move(done)) {
    configureBus(bus_, options);
  }

  // Each device in its own framing: found first, as the service finds it, when not configured.
  void start() {
    if (!framingsToFind(options_)) return open();
    search_.start(options_,
                  [this](const std::vector<quennet::FoundDevice>& found, const QString& error) {
                    if (!error.isEmpty()) {
                      log_.append(QStringLiteral("cannot open %1: %2").arg(options_.port, error));
                      return finish();
                    }
                    for (const quennet::FoundDevice& device : found) {
                      const auto address = static_cast<quint8>(device.address);
                      if (device.framing == quennet::DeviceFraming::Unknown) continue;
                      if (!framingConfigured(options_, address)) {
                        bus_.setDeviceLink(address, linkOf(device.framing, searchKey(options_)));
                      }
                      found_.append(address);
                    }
                    searched_ = true;
                    open();
                  });
  }

 private:
  void open() {
    if (!bus_.open()) {
      log_.append(QStringLiteral("cannot open %1: %2").arg(options_.port, bus_.errorString()));
      return finish();
    }
    if (options_.devices.isEmpty() && searched_) {
      addresses_ = found_;
      return next();
    }
    findAddresses(calls_, options_, [this](const QList<quint8>& addresses) {
      addresses_ = addresses;
      next();
    });
  }

  void next() {
    if (addresses_.isEmpty()) return finish();
    const quint8 address = addresses_.takeFirst();
    calls_.send(address, calls::equipmentCategory(), [this, address](const CallReply<QString>& c) {
      const auto source = c.value ? sourceOf(*c.value) : std::nullopt;
      if (!source || *source == EventPoller::Source::Hopper) return next();
      calls_.send(
          address, calls::setMaster(Master::Inhibit),
          [this, address](const CallReply<Nothing>& master) {
            if (master.acknowledged) {
              ++inhibited_;
              log_.append(QStringLiteral("%1: inhibited").arg(address));
            } else {
              ++failed_;
              log_.append(QStringLiteral("%1: not inhibited: %2").arg(address).arg(master.caption));
            }
            next();
          });
    });
  }

  void finish() {
    bus_.close();
    if (inhibited_ + failed_ == 0) log_.append(QStringLiteral("no acceptor answered"));
    deleteLater();
    done_(failed_ == 0 && inhibited_ > 0 ? 0 : 1, log_);
  }

  DaemonOptions options_;
  Done done_;
  BusClient bus_;
  DeviceCalls calls_{&bus_};
  FramingSearch search_;
  bool searched_ = false;
  QList<quint8> found_;
  QList<quint8> addresses_;
  QStringList log_;
  int inhibited_ = 0;
  int failed_ = 0;
};

}  // namespace

void inhibitAcceptors(const DaemonOptions& options,
                      const std::function<void(int status, const QStringList& log)>& done) {
  auto* run = new InhibitRun(options, done);
  // Started from the loop, so that `done` always comes from it.
  QTimer::singleShot(0, run, [run] { run->start(); });
}

}  // namespace quennetd
