#include "tools/event_watch.h"

#include <algorithm>
#include <array>

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

namespace quennet::cli {

namespace {

constexpr int kKeptEvents = 5;
constexpr int kCounterWrap = 255;
// How often a long interval looks at keepRunning.
constexpr int kSleepSliceMs = 50;

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

void sleepUnlessStopped(int ms, CliStreams& streams) {
  const QDeadlineTimer deadline(ms);
  while (!deadline.hasExpired() && streams.keepRunning()) {
    QThread::msleep(
        static_cast<unsigned long>(std::clamp<qint64>(deadline.remainingTime(), 0, kSleepSliceMs)));
  }
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

int newEventCount(std::uint8_t last, std::uint8_t now) {
  if (now == last) return 0;
  if (now == 0) return 1;  // reset: the empty newest pair reads as re-enabled
  const int moved = (last == 0 || now > last) ? now - last : now + kCounterWrap - last;
  return std::min(moved, kKeptEvents);
}

int watchEvents(CommandSet& set, std::uint8_t address, int intervalMs, bool json,
                CliStreams& streams) {
  QString response;
  const std::int16_t enabled = set.SetMasterInhibit(address, 1, response);
  if (enabled != kResultOk) {
    streams.err << "events: the validator did not leave master inhibit: "
                << statusText(set, enabled) << Qt::endl;
    return kExitResult;
  }
  std::uint8_t last = 0;
  while (streams.keepRunning()) {
    std::array<std::uint8_t, 11> buffer{};
    const std::int16_t result = set.GetEventBuffer(address, buffer);
    if (result == kResultNotEnabled) {
      streams.err << "events: " << set.caption() << Qt::endl;
      return kExitResult;
    }
    if (result == kResultOk) {
      const int fresh = newEventCount(last, buffer[0]);
      // Oldest first, so the lines read in the order the events happened.
      for (int k = fresh; k >= 1; --k) {
        const std::uint8_t a = buffer[static_cast<std::size_t>(2 * k - 1)];
        const std::uint8_t b = buffer[static_cast<std::size_t>(2 * k)];
        const int counter = (buffer[0] - (k - 1) + kCounterWrap - 1) % kCounterWrap + 1;
        const QString text = describeEvent(a, b);
        if (json) {
          const QJsonObject line{{"counter", buffer[0] == 0 ? 0 : counter},
                                 {"a", a},
                                 {"b", b},
                                 {"kind", a == 0 ? "status" : "credit"},
                                 {"text", text}};
          streams.out << QJsonDocument(line).toJson(QJsonDocument::Compact) << Qt::endl;
        } else {
          streams.out << "Event " << (buffer[0] == 0 ? 0 : counter) << ": " << text << Qt::endl;
        }
      }
      last = buffer[0];
    }
    sleepUnlessStopped(intervalMs, streams);
  }
  return kExitOk;
}

}  // namespace quennet::cli
