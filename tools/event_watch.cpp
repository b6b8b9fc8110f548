#include "tools/event_watch.h"

#include <algorithm>
#include <memory>
#include <optional>

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>

#include "quennet/bus/event_poller.h"
#include "quennet/bus/event_report.h"
#include "quennet/link/protocol.h"
#include "quennet/link/protocol_events.h"

namespace quennet::cli {

namespace {

constexpr int kKeptEvents = EventReader::kPairs;
// Failed reads in a row before the watch says so; one failure is line noise, three are not.
constexpr int kFailuresReported = 3;

QString routeName(std::uint8_t code) {
  switch (code) {
    case kRouteStack:
      return QStringLiteral("stack");
    case kRouteReturn:
      return QStringLiteral("return");
    default:
      return QStringLiteral("hold");
  }
}

void printJson(const QJsonObject& object, QTextStream& out) {
  out << QJsonDocument(object).toJson(QJsonDocument::Compact) << Qt::endl;
}

// One watch: an event poller on the validator, and what its signals print.
class EventWatch {
 public:
  EventWatch(BusClient& bus, const CliOptions& options, CliStreams& streams)
      : bus_(bus), options_(options), streams_(streams) {}

  int run();

 private:
  // Runs the event loop until `reply` finishes; false when the watch was stopped meanwhile.
  bool await(BusReply* reply);
  // What the watch sends to enable the validator, at start and after every reset.
  QList<BusCommand> enableCommands() const;
  // Asks the device what it is and, for a coin acceptor, its coins; then the poller to read it.
  bool identify();
  bool enable();
  void listen();
  void reportReset();
  void printEvent(const BusEvent& event);
  void reportLoss(int lost);
  void reportInconsistent(int counter);
  void read(int counter);
  void failed(int result, const QString& caption);
  void route(std::uint8_t note);
  void printRoute(const BusReply& reply, std::uint8_t note);
  // Asked after every read, good or failed, as before every read of a loop.
  void nextRead();
  void end();
  // Output that cannot be written ends the watch at once, the port closed before anything
  // more (a route, a re-enable) goes to the device.
  bool outputLost();
  bool stopped() const { return streams_.stop && streams_.stop->fired(); }

  BusClient& bus_;
  const CliOptions& options_;
  CliStreams& streams_;
  std::unique_ptr<EventPoller> poller_;  // made once the device said what it is
  QEventLoop loop_;
  int status_ = kExitOk;
  bool ended_ = false;
  int previous_ = 0;  // the counter of the read before
  int failures_ = 0;
  QString lastFailure_;
  std::uint8_t escrowNote_ = 0;  // the newest event of this read put it in escrow
  QPointer<BusReply> routing_;
};

bool EventWatch::await(BusReply* reply) {
  if (!reply->isFinished() && !stopped()) {
    QEventLoop wait;
    QObject::connect(reply, &BusReply::finished, &wait, &QEventLoop::quit);
    const auto wake = StopSignal::listen(streams_.stop, [&wait] { wait.quit(); });
    if (!stopped()) wait.exec();
  }
  return reply->isFinished() && !stopped();
}

QList<BusCommand> EventWatch::enableCommands() const {
  return quennet::enableCommands(options_.inhibits);
}

bool EventWatch::identify() {
  const BusCommand ask = categoryCommand();
  const std::unique_ptr<BusReply> reply(bus_.invoke(options_.address, ask.method, ask.inputs));
  if (!await(reply.get())) return false;
  QString why;
  const std::optional<EventPoller::Source> source = watchedSource(*reply, options_.address, &why);
  if (!source) {
    streams_.err << "events: " << why << Qt::endl;
    return false;
  }
  poller_ = std::make_unique<EventPoller>(&bus_, options_.address, *source);
  if (*source != EventPoller::Source::CoinAcceptor) return true;
  QHash<quint8, QString> ids;
  for (const BusCommand& command : coinIdCommands()) {
    const std::unique_ptr<BusReply> coin(
        bus_.invoke(options_.address, command.method, command.inputs));
    if (!await(coin.get())) return false;
    const QString id = coinIdOf(*coin);
    if (!id.isEmpty()) ids.insert(static_cast<quint8>(command.inputs.value(0).toInt()), id);
  }
  poller_->setCoinIds(ids);
  return true;
}

bool EventWatch::enable() {
  for (const BusCommand& command : enableCommands()) {
    const std::unique_ptr<BusReply> reply(
        bus_.invoke(options_.address, command.method, command.inputs));
    if (!await(reply.get())) return false;
    // A NAK is an answer too: a validator that refuses to leave master inhibit reports nothing.
    if (reply->acknowledged()) continue;
    streams_.err << "events: " << enableRefusedText(*reply, command.method) << Qt::endl;
    return false;
  }
  return true;
}

void EventWatch::printEvent(const BusEvent& event) {
  if (options_.json) {
    printJson(eventRecord(event), streams_.out);
  } else {
    streams_.out << "Event " << event.counter << ": " << event.text << Qt::endl;
  }
}

void EventWatch::reportLoss(int lost) {
  const int now = poller_->lastCounter();
  streams_.err << "events: " << lost << " event(s) lost: the counter moved from " << previous_
               << " to " << now << ", the buffer keeps " << kKeptEvents << Qt::endl;
  if (options_.json) printJson(lostRecord(lost, now), streams_.out);
}

void EventWatch::reportInconsistent(int counter) {
  streams_.err << "events: inconsistent read: the counter says " << counter << " after "
               << poller_->lastCounter() << " but the events did not move with it; reading again"
               << Qt::endl;
  if (options_.json) {
    printJson(inconsistentRecord(counter), streams_.out);
  }
  if (!outputLost()) nextRead();
}

void EventWatch::reportReset() {
  const int now = poller_->lastCounter();
  escrowNote_ = 0;
  if (options_.json) {
    printJson(resetRecord(now), streams_.out);
  } else {
    streams_.out << "Reset: the event counter went back from " << previous_ << " to " << now
                 << Qt::endl;
  }
}

void EventWatch::read(int counter) {
  if (outputLost()) return;
  failures_ = 0;
  previous_ = counter;
  // Only the newest event can still describe a note that waits in escrow.
  if (options_.route && escrowNote_ != 0) route(escrowNote_);
  escrowNote_ = 0;
  nextRead();
}

void EventWatch::failed(int result, const QString& caption) {
  if (stopped()) return;
  if (result == kResultNotEnabled) {
    streams_.err << "events: " << caption << Qt::endl;
    status_ = kExitResult;
    return end();
  }
  ++failures_;
  lastFailure_ = caption;
  nextRead();
}

void EventWatch::route(std::uint8_t note) {
  // Ahead of the next poll, so the note is routed before anything else is read.
  routing_ = bus_.invoke(options_.address, QStringLiteral("RouteBill"),
                         {static_cast<int>(*options_.route)}, BusClient::Priority::High);
  BusReply* const reply = routing_;
  QObject::connect(reply, &BusReply::finished, reply, [this, reply, note] {
    printRoute(*reply, note);
    reply->deleteLater();
  });
}

void EventWatch::printRoute(const BusReply& reply, std::uint8_t note) {
  const QString name = routeName(*options_.route);
  const QString response = reply.outputs().value(QStringLiteral("Response")).toString();
  const int result = reply.result();
  if (options_.json) {
    printJson(QJsonObject{{"route", name},
                          {"note", note},
                          {"result", result},
                          {"response", result == kResultOk ? response : reply.caption()}},
              streams_.out);
  } else if (result == kResultOk) {
    streams_.out << "Route " << name << " note " << note << ": " << response << Qt::endl;
  }
  if (result != kResultOk || response != QLatin1String(kAckText)) {
    streams_.err << "events: " << name << " note " << note
                 << " failed: " << (result == kResultOk ? response : reply.caption()) << Qt::endl;
  }
}

void EventWatch::nextRead() {
  if (!streams_.keepRunning()) end();
}

bool EventWatch::outputLost() {
  if (!outputFailed(streams_)) return false;
  bus_.close();
  end();
  return true;
}

void EventWatch::end() {
  ended_ = true;
  if (poller_) poller_->stop();
  loop_.quit();
}

void EventWatch::listen() {
  QObject::connect(poller_.get(), &EventPoller::eventReceived, [this](const BusEvent& e) {
    printEvent(e);
    escrowNote_ = (e.kind() == EventKind::Escrow) ? e.a : 0;
  });
  // A reset empties the buffer and inhibits every note: one line, then the poller enables again.
  QObject::connect(poller_.get(), &EventPoller::counterReset, [this] {
    reportReset();
    outputLost();
  });
  QObject::connect(poller_.get(), &EventPoller::reEnableFailed, [this] {
    streams_.err << "events: the validator did not accept the enable after its reset: "
                 << poller_->reEnableFailure() << Qt::endl;
  });
  QObject::connect(poller_.get(), &EventPoller::eventsLost, [this](int lost) { reportLoss(lost); });
  QObject::connect(poller_.get(), &EventPoller::inconsistentRead,
                   [this](int counter) { reportInconsistent(counter); });
  QObject::connect(poller_.get(), &EventPoller::bufferRead, [this](int counter) { read(counter); });
  QObject::connect(poller_.get(), &EventPoller::pollFailed,
                   [this](int result) { failed(result, poller_->lastFailure()); });
  // Said on stderr, and with --json as a record, as the C and Python watches report it.
  QObject::connect(poller_.get(), &EventPoller::deviceLost, [this] {
    streams_.err << "events: " << failures_ << " reads failed in a row (" << lastFailure_
                 << "); still trying" << Qt::endl;
    if (options_.json) {
      printJson(deviceLostRecord(failures_, lastFailure_, poller_->lastCounter()), streams_.out);
    }
  });
  QObject::connect(poller_.get(), &EventPoller::deviceBack, [this] {
    streams_.err << "events: reading again after " << failures_ << " failed reads" << Qt::endl;
    if (options_.json) printJson(deviceBackRecord(failures_, poller_->lastCounter()), streams_.out);
  });
}

int EventWatch::run() {
  // Closing the port ends the poll on the line at once; the watch then ends.
  const auto stopWatch = StopSignal::listen(streams_.stop, [this] {
    bus_.close();
    end();
  });
  if (!identify() || !enable()) return stopped() ? kExitOk : kExitResult;
  if (!streams_.keepRunning()) return kExitOk;
  listen();
  poller_->setInterval(options_.intervalMs);
  poller_->setFailureLimit(kFailuresReported);
  poller_->setReportKept(options_.fromStart);
  poller_->setReEnableCommands(enableCommands());
  poller_->start();
  if (!ended_ && !stopped()) loop_.exec();
  poller_->stop();
  // A route already on its way is finished, and printed, before the watch ends.
  if (routing_) await(routing_);
  return status_;
}

}  // namespace

QString describeEvent(std::uint8_t a, std::uint8_t b) {
  return EventPoller::billEventText(a, b);
}

int watchEvents(BusClient& bus, const CliOptions& options, CliStreams& streams) {
  return EventWatch(bus, options, streams).run();
}

}  // namespace quennet::cli
