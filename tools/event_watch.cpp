#include "tools/event_watch.h"

#include <algorithm>
#include <array>

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QTimer>

namespace quennet::cli {

namespace {

constexpr int kKeptEvents = 5;
constexpr int kCounterWrap = 255;
// Failed reads in a row before the watch says so; one failure is line noise, three are not.
constexpr int kFailuresReported = 3;
constexpr std::uint8_t kInEscrow = 1;

struct StatusText {
  std::uint8_t code;
  const char* text;
};

constexpr std::array<StatusText, 13> kStatusTexts = {{
    {0, "Validator Re-Enabled"},
    {1, "Note Returned"},
    {2, "Note Not Recognised"},
    {4, "Note Inhibited"},
    {6, "Note Jammed in Validator"},
    {7, "Note Jammed in Stacker"},
    {9, "Note Cheat Suspected"},
    {10, "Stacker OK"},
    {11, "Cash Box Removed"},
    {12, "Cash Box Inserted"},
    {13, "Stacker Jammed"},
    {14, "Stacker Full"},
    {18, "Anti String Gate Activated"},
}};

QString routeName(std::uint8_t code) {
  switch (code) {
    case 1:
      return QStringLiteral("stack");
    case 0:
      return QStringLiteral("return");
    default:
      return QStringLiteral("hold");
  }
}

void printJson(const QJsonObject& object, QTextStream& out) {
  out << QJsonDocument(object).toJson(QJsonDocument::Compact) << Qt::endl;
}

// One watch: the state between two reads of the event buffer.
class EventWatch {
 public:
  EventWatch(CommandSet& set, const CliOptions& options, CliStreams& streams)
      : set_(set), options_(options), streams_(streams) {}

  int run();

 private:
  bool enable();
  void read();
  void printEvents(const std::array<std::uint8_t, 11>& buffer, int fresh);
  void reportLoss(std::uint8_t now, int lost);
  void route(std::uint8_t note);
  bool stopped() const { return streams_.stop && streams_.stop->fired(); }
  // Sleeps in an event loop, so a stop or the port is served meanwhile; ends early on a stop.
  void pause();

  CommandSet& set_;
  const CliOptions& options_;
  CliStreams& streams_;
  bool counterKnown_ = false;
  std::uint8_t last_ = 0;
  int failures_ = 0;
  bool portLost_ = false;
};

bool EventWatch::enable() {
  QString response;
  const std::int16_t result = set_.SetMasterInhibit(options_.address, 1, response);
  // A NAK is an answer too: a validator that refuses to leave master inhibit reports nothing.
  if (result == kResultOk && response == u"ACK") return true;
  if (stopped()) return false;
  streams_.err << "events: the validator did not accept the enable command: "
               << (result == kResultOk ? response : statusText(set_, result)) << Qt::endl;
  return false;
}

void EventWatch::reportLoss(std::uint8_t now, int lost) {
  streams_.err << "events: " << lost << " event(s) lost: the counter moved from " << last_ << " to "
               << now << ", the buffer keeps " << kKeptEvents << Qt::endl;
  if (options_.json) printJson(QJsonObject{{"lost", lost}, {"counter", now}}, streams_.out);
}

void EventWatch::printEvents(const std::array<std::uint8_t, 11>& buffer, int fresh) {
  std::uint8_t escrowNote = 0;
  // Oldest first, so the lines read in the order the events happened.
  for (int k = fresh; k >= 1; --k) {
    const std::uint8_t a = buffer[static_cast<std::size_t>(2 * k - 1)];
    const std::uint8_t b = buffer[static_cast<std::size_t>(2 * k)];
    const int counter =
        buffer[0] == 0 ? 0 : (buffer[0] - (k - 1) + kCounterWrap - 1) % kCounterWrap + 1;
    const QString text = describeEvent(a, b);
    if (options_.json) {
      printJson(QJsonObject{{"counter", counter},
                            {"a", a},
                            {"b", b},
                            {"kind", a == 0 ? "status" : "credit"},
                            {"text", text}},
                streams_.out);
    } else {
      streams_.out << "Event " << counter << ": " << text << Qt::endl;
    }
    escrowNote = (a != 0 && b == kInEscrow) ? a : 0;
  }
  // Only the newest event can still describe a note that waits in escrow.
  if (options_.route && escrowNote != 0) route(escrowNote);
}

void EventWatch::route(std::uint8_t note) {
  QString response;
  const std::int16_t result = set_.RouteBill(options_.address, *options_.route, response);
  const QString name = routeName(*options_.route);
  if (options_.json) {
    printJson(QJsonObject{{"route", name},
                          {"note", note},
                          {"result", result},
                          {"response", result == kResultOk ? response : statusText(set_, result)}},
              streams_.out);
  } else if (result == kResultOk) {
    streams_.out << "Route " << name << " note " << note << ": " << response << Qt::endl;
  }
  if (result != kResultOk || response != u"ACK") {
    streams_.err << "events: " << name << " note " << note
                 << " failed: " << (result == kResultOk ? response : statusText(set_, result))
                 << Qt::endl;
  }
}

void EventWatch::read() {
  std::array<std::uint8_t, 11> buffer{};
  const std::int16_t result = set_.GetEventBuffer(options_.address, buffer);
  if (result == kResultNotEnabled) {
    portLost_ = true;
    if (!stopped()) streams_.err << "events: " << set_.caption() << Qt::endl;
    return;
  }
  // A failed read says nothing about events: no line comes of it.
  if (result != kResultOk) {
    if (++failures_ == kFailuresReported) {
      streams_.err << "events: " << failures_ << " reads failed in a row ("
                   << statusText(set_, result) << "); still trying" << Qt::endl;
    }
    return;
  }
  if (failures_ >= kFailuresReported) {
    streams_.err << "events: reading again after " << failures_ << " failed reads" << Qt::endl;
  }
  failures_ = 0;
  const std::uint8_t now = buffer[0];
  if (!counterKnown_) {
    // Events from before the watch are history, not news, unless asked for.
    counterKnown_ = true;
    last_ = now;
    if (!options_.fromStart) return;
    last_ = 0;
  } else if (const int lost = lostEventCount(last_, now); lost > 0) {
    reportLoss(now, lost);
  }
  printEvents(buffer, newEventCount(last_, now));
  last_ = now;
}

void EventWatch::pause() {
  const QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || app->thread() != QThread::currentThread()) {
    QThread::msleep(static_cast<unsigned long>(options_.intervalMs));
    return;
  }
  QEventLoop loop;
  QTimer::singleShot(options_.intervalMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  const auto wake = StopSignal::listen(streams_.stop, [&loop] { loop.quit(); });
  if (!stopped()) loop.exec();
}

int EventWatch::run() {
  if (!enable()) return kExitResult;
  while (!stopped() && streams_.keepRunning()) {
    read();
    if (portLost_) return kExitResult;
    pause();
  }
  return kExitOk;
}

}  // namespace

QString describeEvent(std::uint8_t a, std::uint8_t b) {
  if (a == 0) {
    for (const StatusText& row : kStatusTexts) {
      if (row.code == b) return QString::fromLatin1(row.text);
    }
    return QStringLiteral("Status %1").arg(b);
  }
  if (b == 0) return QStringLiteral("Note %1 stacked.").arg(a);
  if (b == 1) return QStringLiteral("Note %1 in escrow.").arg(a);
  return QStringLiteral("Note %1 route %2").arg(a).arg(b);
}

int counterAdvance(std::uint8_t last, std::uint8_t now) {
  if (now == last) return 0;
  if (now == 0) return 1;  // reset: the empty newest pair reads as re-enabled
  return (last == 0 || now > last) ? now - last : now + kCounterWrap - last;
}

int newEventCount(std::uint8_t last, std::uint8_t now) {
  return std::min(counterAdvance(last, now), kKeptEvents);
}

int lostEventCount(std::uint8_t last, std::uint8_t now) {
  return std::max(counterAdvance(last, now) - kKeptEvents, 0);
}

int watchEvents(CommandSet& set, const CliOptions& options, CliStreams& streams) {
  return EventWatch(set, options, streams).run();
}

}  // namespace quennet::cli
