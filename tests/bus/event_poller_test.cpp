// Event pollers on the virtual validator's bus: new events once and oldest first, events lost
// past the buffer, a reset counter, a device lost and back, and three pollers on one client,
// each reading the buffer its device's category names.
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include <QJsonObject>
#include <QStringList>

#include "bus/bus_fixture.h"
#include "quennet/bus/event_poller.h"
#include "quennet/bus/event_report.h"
#include "quennet/bus/event_texts.h"
#include "quennet/link/protocol_events.h"

namespace quennet {
namespace {

// Everything a poller said, in order, as text.
struct Recorder {
  explicit Recorder(EventPoller& poller) {
    QObject::connect(&poller, &EventPoller::eventReceived, [this](const BusEvent& e) {
      said.append(QStringLiteral("%1 %2").arg(e.counter).arg(e.text));
    });
    QObject::connect(&poller, &EventPoller::eventsLost,
                     [this](int n) { said.append(QStringLiteral("lost %1").arg(n)); });
    QObject::connect(&poller, &EventPoller::counterReset, [this] { said.append("reset"); });
    QObject::connect(&poller, &EventPoller::deviceLost, [this] { said.append("device lost"); });
    QObject::connect(&poller, &EventPoller::deviceBack, [this] { said.append("device back"); });
    QObject::connect(&poller, &EventPoller::bufferRead, [this](int) { ++reads; });
  }
  // Lets the poller read the buffer `count` more times.
  bool waitReads(int count) {
    const int target = reads + count;
    return runUntil([&] { return reads >= target; });
  }
  QStringList said;
  int reads = 0;
};

TEST(EventPollerCounter, EventsBetweenWrapsPast255ToOne) {
  struct Row {
    int last, now, events;
  };
  for (const Row& row :
       {Row{0, 3, 3}, Row{3, 3, 0}, Row{3, 9, 6}, Row{254, 2, 3}, Row{255, 1, 1}, Row{10, 0, 0}}) {
    EXPECT_EQ(EventPoller::eventsBetween(row.last, row.now), row.events)
        << row.last << " -> " << row.now;
  }
}

// A coin acceptor's pairs: a credit is the coin and its sorter path, a credit of 0 the
// acceptor's own error code, named by its table; a code it does not name calls for a person.
TEST(EventPollerText, CoinPairsByTheAcceptorsOwnCodes) {
  struct Row {
    quint8 a, b;
    const char* coinId;
    const char* text;
    EventKind kind;
  };
  const Row rows[] = {
      {4, 1, "GB010A", "Coin 4 (GB010A) accepted, sorter path 1", EventKind::Credit},
      {4, 2, "", "Coin 4 accepted, sorter path 2", EventKind::Credit},
      {0, 0, "", "No Error", EventKind::Status},
      {0, 1, "", "Coin Rejected", EventKind::Status},
      {0, 2, "", "Coin Inhibited", EventKind::Status},
      {0, 14, "", "Credit Sensor Blocked", EventKind::Fault},
      {0, 40, "", "External Light Attack", EventKind::Fault},
      {0, 41, "", "Coin Error 41", EventKind::Fault},
      {0, 128, "", "Coin Inhibited (Type 1)", EventKind::Status},
      {0, 159, "", "Coin Inhibited (Type 32)", EventKind::Status},
      {0, 160, "", "Coin Error 160", EventKind::Fault},
      {0, 255, "", "Unspecified Alarm", EventKind::Fault},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(coinEventText(row.a, row.b, QString::fromLatin1(row.coinId)),
              QString::fromLatin1(row.text))
        << int(row.a) << "," << int(row.b);
    EXPECT_EQ(eventKind(EventBuffer::Coin, row.a, row.b), row.kind)
        << int(row.a) << "," << int(row.b);
  }
  const std::pair<const char*, std::optional<int>> values[] = {
      {"GB010A", 10},           {"EU200A", 200},        {"GB001A", 1},     {"......", std::nullopt},
      {"GB2K5A", std::nullopt}, {"GB01", std::nullopt}, {"", std::nullopt}};
  for (const auto& [id, value] : values) EXPECT_EQ(coinValue(QString::fromLatin1(id)), value) << id;
}

// A buffer: the counter, then the pairs newest first (missing pairs are empty).
QByteArray buffer(int counter, std::initializer_list<int> pairs) {
  QByteArray b(11, '\0');
  b[0] = static_cast<char>(counter);
  int i = 1;
  for (const int v : pairs) b[i++] = static_cast<char>(v);
  return b;
}

// Two reads in a row, and the device's answer where the second asks for one (whether every
// note is inhibited, or no answer): what the second read means.
struct ReadRow {
  const char* what;
  QByteArray before, now;
  std::optional<std::optional<bool>> answer;  // unset: no question expected
  EventReading::Kind kind;
  int fresh, lost;
};

TEST(EventReading, CounterAndPairsMustAgree) {
  using K = EventReading::Kind;
  const QByteArray five = buffer(10, {1, 0, 2, 0, 3, 0, 4, 0, 5, 0});
  const QByteArray at253 = buffer(253, {1, 0, 2, 0, 3, 0, 4, 0, 5, 0});
  const QByteArray at250 = buffer(250, {1, 0, 2, 0, 3, 0, 4, 0, 5, 0});
  const QByteArray twoAfterReset = buffer(2, {11, 0, 12, 0});
  const QByteArray sevenFull = buffer(7, {6, 0, 7, 0, 8, 0, 9, 0, 10, 0});
  const std::optional<bool> reset = true, wrapped = false, silent = std::nullopt;
  // clang-format off
  const QList<ReadRow> rows = {
      {"same buffer", five, five, {}, K::Unchanged, 0, 0},
      {"one new, the rest shifted", five, buffer(11, {9, 1, 1, 0, 2, 0, 3, 0, 4, 0}), {},
       K::Events, 1, 0},
      {"counter on, pairs not", five, buffer(11, {1, 0, 2, 0, 3, 0, 4, 0, 5, 0}), {},
       K::Inconsistent, 0, 0},
      {"on by 2, shifted by 1", five, buffer(12, {9, 1, 1, 0, 2, 0, 3, 0, 4, 0}), {},
       K::Inconsistent, 0, 0},
      {"(0, 0) counted as new: a note refused in master inhibit", five,
       buffer(11, {0, 0, 1, 0, 2, 0, 3, 0, 4, 0}), {}, K::Events, 1, 0},
      {"a refused note after a reset", buffer(0, {}), buffer(1, {0, 0}), {}, K::Events, 1, 0},
      {"(0, 0) counted, the rest not shifted", five, buffer(11, {0, 0, 2, 0, 3, 0, 4, 0, 5, 0}),
       {}, K::Inconsistent, 0, 0},
      {"back to two refused notes, reset", at253, buffer(2, {}), reset, K::Reset, 2, 0},
      {"back to a refusal over a full slot", at253, buffer(1, {0, 0, 7, 0}), {}, K::Inconsistent,
       0, 0},
      {"pairs changed, counter stood", five, buffer(10, {9, 1, 1, 0, 2, 0, 3, 0, 4, 0}), wrapped,
       K::Inconsistent, 0, 0},
      {"wrap, old pairs shifted", buffer(254, {1, 0, 2, 0, 3, 0, 4, 0, 5, 0}),
       buffer(2, {7, 0, 6, 0, 5, 0, 1, 0, 2, 0}), {}, K::Events, 3, 0},
      {"far on: five new, the rest lost", five, buffer(200, {6, 0, 7, 0, 8, 0, 9, 0, 10, 0}), {},
       K::Events, 5, 185},
      {"counter 0", five, buffer(0, {}), {}, K::Reset, 0, 0},
      {"back over empty pairs, reset", at253, twoAfterReset, reset, K::Reset, 2, 0},
      {"back over empty pairs, not reset", at253, twoAfterReset, wrapped, K::Inconsistent, 0, 0},
      {"back over empty pairs, no answer", at253, twoAfterReset, silent, K::Inconsistent, 0, 0},
      {"stood at 2 over new pairs", buffer(2, {1, 0, 2, 0}), twoAfterReset, reset, K::Reset, 2, 0},
      {"on by 1 over a fresh buffer", buffer(2, {1, 0, 2, 0}), buffer(3, {11, 0, 12, 0, 13, 0}),
       reset, K::Reset, 3, 0},
      {"back to 7, pairs full: wrap", at250, sevenFull, wrapped, K::Events, 5, 7},
      {"back to 7, pairs full: reset", at250, sevenFull, reset, K::Reset, 5, 2},
  };
  // clang-format on
  for (const ReadRow& row : rows) {
    EventReader reader;
    ASSERT_EQ(reader.read(row.before).kind, K::First);
    EventReading reading = reader.read(row.now);
    if (row.answer) {
      ASSERT_EQ(reading.kind, K::Question) << row.what;
      reading = reader.answer(*row.answer);
    }
    EXPECT_EQ(reading.kind, row.kind) << row.what;
    EXPECT_EQ(reading.fresh, row.fresh) << row.what;
    EXPECT_EQ(reading.lost, row.lost) << row.what;
    // A read not taken is read again: the same buffer twice is what the device holds, taken
    // with the events the counter moved past as lost, never as events from pairs that disagree.
    if (row.kind != K::Inconsistent) continue;
    const EventReading again = reader.read(row.now);
    EXPECT_EQ(again.kind, K::Events) << row.what;
    EXPECT_EQ(again.fresh, 0) << row.what;
    EXPECT_EQ(again.lost, EventReader::eventsBetween(row.before[0] & 0xFF, row.now[0] & 0xFF))
        << row.what;
    EXPECT_EQ(reader.read(row.now).kind, K::Unchanged) << row.what;
  }
}

TEST_F(BusOnSimulator, PollerReportsNewEventsLossesAndResets) {
  sim_.insertNote(1);  // before the poller starts: never reported
  EventPoller poller(&client_, kValidator);
  poller.setInterval(20);
  Recorder seen(poller);
  poller.start();
  ASSERT_TRUE(seen.waitReads(2));
  EXPECT_TRUE(seen.said.isEmpty()) << seen.said.join(", ").toStdString();

  sim_.removeCashBox();
  sim_.insertCashBox();
  ASSERT_TRUE(seen.waitReads(2));
  EXPECT_EQ(seen.said, (QStringList{"2 Cash Box Removed", "3 Cash Box Inserted"}));

  // Eight events between two reads: three fell out of the five-pair buffer.
  seen.said.clear();
  poller.stop();
  runUntil([] { return false; }, 50);  // the last poll of the running timer has come back
  for (int i = 0; i < 4; ++i) {
    sim_.removeCashBox();
    sim_.insertCashBox();
  }
  poller.start();
  ASSERT_TRUE(seen.waitReads(1));
  EXPECT_EQ(seen.said,
            (QStringList{"lost 3", "7 Cash Box Inserted", "8 Cash Box Removed",
                         "9 Cash Box Inserted", "10 Cash Box Removed", "11 Cash Box Inserted"}));

  seen.said.clear();
  sim_.reset();
  ASSERT_TRUE(seen.waitReads(2));
  // The reset validator is in master inhibit: a note is refused with the pair (0, 0), an event
  // like any other since the counter moved.
  sim_.insertNote(1);
  ASSERT_TRUE(seen.waitReads(2));
  sim_.removeCashBox();
  ASSERT_TRUE(seen.waitReads(2));
  EXPECT_EQ(seen.said,
            (QStringList{"reset", "1 Note Refused: Master Inhibit", "2 Cash Box Removed"}));

  // A reset and two other events between two reads (the counter stays at 2, the pairs behind
  // are empty): the reset once, the two events, no empty pair as an event, and the device enabled
  // again as it was told.
  sim_.insertCashBox();
  ASSERT_TRUE(seen.waitReads(1));
  poller.setReEnableCommands({{QStringLiteral("SetMasterInhibit"), {1}}});
  bool reEnabled = false;
  QObject::connect(&poller, &EventPoller::reEnabled, [&] { reEnabled = true; });
  poller.stop();
  runUntil([] { return false; }, 50);
  seen.said.clear();
  sim_.reset();
  ASSERT_EQ(sim_.masterInhibit(), 0);
  sim_.cheat();
  sim_.removeCashBox();
  poller.start();
  ASSERT_TRUE(seen.waitReads(1));
  EXPECT_EQ(seen.said, (QStringList{"reset", "1 Note Pulled Backwards", "2 Cash Box Removed"}));
  ASSERT_TRUE(runUntil([&] { return reEnabled; }));
  EXPECT_EQ(sim_.masterInhibit(), 1);
}

TEST_F(BusOnSimulator, PollerLosesTheDeviceAndGetsItBackWithoutFalseEvents) {
  EventPoller poller(&client_, kValidator);
  poller.setInterval(10);
  poller.setFailureLimit(3);
  Recorder seen(poller);
  int failures = 0;
  QList<int> results;
  QObject::connect(&poller, &EventPoller::pollFailed, [&](int result) {
    ++failures;
    results.append(result);
  });
  poller.start();
  ASSERT_TRUE(seen.waitReads(1));
  // BUSY twice, then an ACK where the buffer should be: three failed reads, no event from any.
  sim_.injectFault(bnvsim::Fault::Busy, 2);
  sim_.injectFault(bnvsim::Fault::Nak, 1);
  // A read already on the line when the faults went in still succeeds: wait for the recovery.
  ASSERT_TRUE(runUntil([&] { return seen.said.contains(QStringLiteral("device back")); }));
  EXPECT_EQ(failures, 3);
  // The signal carries each read's result: BUSY twice, then the ACK that is too short.
  EXPECT_EQ(results, (QList<int>{kResultBusy, kResultBusy, kResultChecksum}));
  EXPECT_EQ(poller.lastFailure().left(15), QStringLiteral("Reply Too Short"));
  EXPECT_EQ(seen.said, (QStringList{"device lost", "device back"}));
  EXPECT_FALSE(poller.isDeviceLost());
}

TEST_F(BusOnSimulator, ThreePollersShareOneClient) {
  QStringList setUp;
  const auto call = [&](quint8 device, const char* method, const QVariantList& inputs = {}) {
    std::unique_ptr<BusReply> reply(client_.invoke(device, QString::fromLatin1(method), inputs));
    runUntil([&] { return reply->isFinished(); });
    if (reply->result() != kResultOk) setUp.append(QString::fromLatin1(method));
  };
  call(kCoinAcceptor, "SetInhibitStatus", {"255,255"});
  call(kCoinAcceptor, "SetMasterInhibit", {1});
  call(kHopper, "Enable_Hopper");

  // Each poller reads the buffer its device's category names, as a watch learns it at start;
  // a watch reads bill validators and coin acceptors, never a hopper or a silent address.
  const auto ask = [&](quint8 device, const BusCommand& command) {
    std::unique_ptr<BusReply> reply(client_.invoke(device, command.method, command.inputs));
    runUntil([&] { return reply->isFinished(); });
    return reply;
  };
  std::map<quint8, EventPoller::Source> sources;
  for (const quint8 device : {kValidator, kCoinAcceptor, kHopper}) {
    const std::unique_ptr<BusReply> category = ask(device, categoryCommand());
    const std::optional<EventPoller::Source> source =
        EventPoller::sourceOf(category->outputs().value(QStringLiteral("strResponse")).toString());
    ASSERT_TRUE(source) << int(device);
    sources[device] = *source;
    QString why;
    EXPECT_EQ(watchedSource(*category, device, &why).has_value(), device != kHopper);
    EXPECT_EQ(why.isEmpty(), device != kHopper) << why.toStdString();
  }
  EXPECT_EQ(sources[kValidator], EventPoller::Source::BillValidator);
  EXPECT_EQ(sources[kCoinAcceptor], EventPoller::Source::CoinAcceptor);
  EXPECT_EQ(sources[kHopper], EventPoller::Source::Hopper);
  QString why;
  EXPECT_FALSE(watchedSource(*ask(9, categoryCommand()), 9, &why));
  EXPECT_TRUE(why.startsWith(QStringLiteral("address 9 did not say what it is")))
      << why.toStdString();
  QHash<quint8, QString> coinIds;
  for (const BusCommand& command : coinIdCommands()) {
    const QString id = coinIdOf(*ask(kCoinAcceptor, command));
    if (!id.isEmpty()) coinIds.insert(static_cast<quint8>(command.inputs.value(0).toInt()), id);
  }
  EXPECT_EQ(coinIds.size(), 8) << "positions 9 to 16 are unused";

  EventPoller validator(&client_, kValidator, sources[kValidator]);
  EventPoller coins(&client_, kCoinAcceptor, sources[kCoinAcceptor]);
  EventPoller hopper(&client_, kHopper, sources[kHopper]);
  coins.setCoinIds(coinIds);
  Recorder v(validator), c(coins), h(hopper);
  QList<BusEvent> coinEvents;
  QObject::connect(&coins, &EventPoller::eventReceived,
                   [&](const BusEvent& e) { coinEvents.append(e); });
  for (EventPoller* poller : {&validator, &coins, &hopper}) {
    poller->setInterval(15);
    poller->start();
  }
  ASSERT_TRUE(runUntil([&] { return v.reads > 1 && c.reads > 1 && h.reads > 1; }));
  sim_.removeCashBox();
  sim_.insertCoin(5);
  sim_.insertCoin(12);  // no coin at position 12: refused with an error code, credit 0
  sim_.insertCoin(8);
  call(kHopper, "Dispense_Coins", {2});
  ASSERT_TRUE(
      runUntil([&] { return !v.said.isEmpty() && c.said.size() >= 3 && !h.said.isEmpty(); }));
  runUntil([] { return false; }, 100);
  EXPECT_TRUE(setUp.isEmpty()) << setUp.join(", ").toStdString();
  EXPECT_EQ(v.said, QStringList{"1 Cash Box Removed"});
  EXPECT_EQ(c.said, (QStringList{"1 Coin 5 (GB020A) accepted, sorter path 0", "2 Coin Rejected",
                                 "3 Coin 8 (GB200A) accepted, sorter path 0"}));
  EXPECT_EQ(h.said, QStringList{"1 Payout: 2 paid, 0 unpaid, 0 to pay"});
  // As every front end hands them on: the coin, its value and sorter path; an error is no coin.
  ASSERT_EQ(coinEvents.size(), 3);
  const QJsonObject credit = eventRecord(coinEvents[2]);
  EXPECT_EQ(credit.value("kind").toString(), QStringLiteral("credit"));
  EXPECT_EQ(credit.value("coin").toInt(), 8);
  EXPECT_EQ(credit.value("coinId").toString(), QStringLiteral("GB200A"));
  EXPECT_EQ(credit.value("value").toInt(), 200);
  EXPECT_EQ(credit.value("sorterPath").toInt(-1), 0);
  const QJsonObject refused = eventRecord(coinEvents[1]);
  EXPECT_EQ(refused.value("kind").toString(), QStringLiteral("status"));
  EXPECT_EQ(refused.value("b").toInt(), 1);
  EXPECT_FALSE(refused.contains(QStringLiteral("coin")));
  EXPECT_EQ(coinEvents[1].kind(), EventKind::Status);
}

}  // namespace
}  // namespace quennet
