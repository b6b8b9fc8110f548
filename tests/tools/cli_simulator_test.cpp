// The tool against the virtual validator: in-process for the event watch, and once as a
// separate process for the exit status and output a script sees.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <optional>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "bnvsim/simulator.h"
#include "quennet/commands/dispatch.h"
#include "quennet/link/qt_serial_line.h"
#include "tools/cli_runner.h"

namespace quennet::cli {
namespace {

class CliOnSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    QString error;
    ASSERT_TRUE(sim_.start(&error)) << error.toStdString();
  }
  int run(
      const QStringList& rest, QString* out, QString* err = nullptr,
      std::function<bool()> keepRunning = [] { return true; }) {
    QString errText;
    QTextStream outStream(out);
    QTextStream errStream(&errText);
    CliStreams streams{outStream, errStream, std::move(keepRunning)};
    // The virtual validator echoes; said so, no poll at open uses up a fault a test injects.
    const QStringList echo = knownEcho_ ? QStringList{"--echo"} : QStringList{};
    const QString port = otherBus_ ? otherBus_->slavePath() : sim_.slavePath();
    const int status = runCli(QStringList{"--port", port} + echo + rest, streams);
    if (err) *err = errText;
    return status;
  }

  bnvsim::Simulator sim_{bnvsim::SimulatorOptions{}};
  // When set, the tool runs on this bus instead of sim_'s.
  bnvsim::Simulator* otherBus_ = nullptr;
  bool knownEcho_ = true;
};

TEST_F(CliOnSimulator, CommandsPlainAndJson) {
  QString out;
  EXPECT_EQ(run({"SetInhibitStatus", "255,255"}, &out), kExitOk);
  EXPECT_TRUE(out.startsWith(QStringLiteral("Response: ACK\nresult: 0 (OK)\n")))
      << out.toStdString();
  EXPECT_EQ(sim_.inhibitMask(), (std::array<std::uint8_t, 2>{255, 255}));

  out.clear();
  EXPECT_EQ(run({"--json", "GetSerialNo"}, &out), kExitOk);
  const QJsonObject o = QJsonDocument::fromJson(out.toUtf8()).object();
  EXPECT_EQ(o.value("outputs").toObject().value("strResponse").toString(),
            QStringLiteral("8902162"));
  EXPECT_EQ(o.value("serial").toString(), QStringLiteral("1234567")) << "as the label reads it";

  out.clear();
  sim_.injectFault(bnvsim::Fault::Busy);
  EXPECT_EQ(run({"SendPoll"}, &out), kExitResult);
  EXPECT_TRUE(out.contains(QStringLiteral("result: -1 (BUSY)"))) << out.toStdString();
}

TEST_F(CliOnSimulator, EncryptedWithTheSharedKey) {
  bnvsim::LineOptions line;
  line.encryption = true;
  line.key = QStringLiteral("582604");
  sim_.setLineOptions(line);
  QString out;
  EXPECT_EQ(run({"--key", "582604", "GetManfctrID"}, &out), kExitOk) << out.toStdString();
  EXPECT_TRUE(out.startsWith(QStringLiteral("strResponse: QNT\n"))) << out.toStdString();
  out.clear();
  EXPECT_EQ(run({"--key", "582605", "GetManfctrID"}, &out), kExitResult);
}

// Not told whether the line echoes, the tool sends only the frames asked for and learns the echo
// from the replies: a whole reply without the echo is taken and named, and a batch keeps what the
// first one showed for the lines after.
TEST_F(CliOnSimulator, TheEchoIsLearntFromTheRepliesWithoutAFrameOfItsOwn) {
  const auto batch = [&](const QStringList& lines, QStringList* statuses) {
    qsizetype next = 0;
    QString out;
    QString err;
    QTextStream outStream(&out);
    QTextStream errStream(&err);
    CliStreams streams{outStream, errStream};
    streams.readLine = [&]() -> std::optional<BatchLine> {
      if (next == lines.size()) return std::nullopt;
      return BatchLine{lines[next++], {}};
    };
    const int status = runCli({"--port", sim_.slavePath(), "batch"}, streams);
    for (const QString& line : out.split(u'\n', Qt::SkipEmptyParts)) {
      statuses->append(QJsonDocument::fromJson(line.toUtf8()).object().value("status").toString());
    }
    return status;
  };
  const QString named = QStringLiteral("OK (no echo on this line)");
  knownEcho_ = false;
  for (const bool echo : {false, true}) {
    SCOPED_TRACE(echo ? "echo" : "no echo");
    bnvsim::LineOptions line = sim_.lineOptions();
    line.echo = echo;
    sim_.setLineOptions(line);
    const QString first = echo ? QStringLiteral("OK") : named;
    int frames = sim_.framesReceived();
    QString out;
    EXPECT_EQ(run({"--json", "GetSerialNo"}, &out), kExitOk);
    EXPECT_EQ(QJsonDocument::fromJson(out.toUtf8()).object().value("status").toString(), first);
    EXPECT_EQ(sim_.framesReceived(), frames + 1) << "no poll before the call";

    frames = sim_.framesReceived();
    QStringList statuses;
    EXPECT_EQ(batch({"SendPoll", "GetSerialNo", "SetInhibitStatus 255,255"}, &statuses), kExitOk);
    EXPECT_EQ(statuses, (QStringList{first, "OK", "OK"}));
    EXPECT_EQ(sim_.framesReceived(), frames + 3) << "one frame a line";

    // Told the line echoes, every reply without the echo is taken and named.
    for (const char* method : {"SendPoll", "GetSerialNo"}) {
      out.clear();
      EXPECT_EQ(run({"--json", "--echo", method}, &out), kExitOk) << method;
      const QJsonObject o = QJsonDocument::fromJson(out.toUtf8()).object();
      EXPECT_EQ(o.value("status").toString(), first) << method;
      EXPECT_EQ(o.value("result").toInt(-9), 0) << method;
    }
  }
}

// A device that answers BUSY k times: the call goes out again up to --busy-retries times, each a
// frame on the line; one that stays silent after a reset is waited for in a batch.
TEST_F(CliOnSimulator, BusyRetriesAndTheWaitAfterASlowResetOnTheWire) {
  const struct {
    int busy;
    int retries;
    int result;
    int frames;
  } rows[] = {{2, 0, -1, 1}, {2, 1, -1, 2}, {2, 2, 0, 3}, {2, 5, 0, 3}, {0, 5, 0, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "busy " << row.busy << ", retries " << row.retries);
    ASSERT_TRUE(sim_.setBusyReplies(bnvsim::SimulatorOptions{}.validatorAddress, row.busy));
    const int before = sim_.framesReceived();
    QString out;
    run({"--json", "--busy-retries", QString::number(row.retries), "--busy-pause", "20",
         "GetSerialNo"},
        &out);
    const QJsonObject o = QJsonDocument::fromJson(out.toUtf8()).object();
    EXPECT_EQ(o.value("result").toInt(-9), row.result) << out.toStdString();
    EXPECT_EQ(o.value("busyRetries").toInt(0), row.frames - 1);
    EXPECT_EQ(sim_.framesReceived(), before + row.frames);
    ASSERT_TRUE(sim_.setBusyReplies(bnvsim::SimulatorOptions{}.validatorAddress, 0));
  }

  // ResetDevice, then GetSerialNo at once: the device is silent for 1.5 s after its ACK.
  ASSERT_TRUE(sim_.setResetSilence(bnvsim::SimulatorOptions{}.validatorAddress, 1500));
  const auto batch = [&](const QStringList& options) {
    const QStringList lines = {"ResetDevice", "GetSerialNo"};
    qsizetype next = 0;
    QString out;
    QString err;
    QTextStream outStream(&out);
    QTextStream errStream(&err);
    CliStreams streams{outStream, errStream};
    streams.readLine = [&]() -> std::optional<BatchLine> {
      if (next == lines.size()) return std::nullopt;
      return BatchLine{lines[next++], {}};
    };
    runCli(QStringList{"--port", sim_.slavePath(), "--echo"} + options + QStringList{"batch"},
           streams);
    QList<int> results;
    for (const QString& line : out.split(u'\n', Qt::SkipEmptyParts)) {
      results.append(QJsonDocument::fromJson(line.toUtf8()).object().value("result").toInt(-9));
    }
    return results;
  };
  int before = sim_.framesReceived();
  EXPECT_EQ(batch({}), (QList<int>{0, 0}));
  EXPECT_GT(sim_.framesReceived(), before + 2) << "polls while the device came back";
  // Back at once, then slow again for the next reset.
  ASSERT_TRUE(sim_.setResetSilence(bnvsim::SimulatorOptions{}.validatorAddress, 0));
  ASSERT_TRUE(sim_.setResetSilence(bnvsim::SimulatorOptions{}.validatorAddress, 1500));
  before = sim_.framesReceived();
  EXPECT_EQ(batch({"--reset-wait", "0"}), (QList<int>{0, kResultTimeout}));
  EXPECT_EQ(sim_.framesReceived(), before + 2) << "no poll";
}

// A kiosk's bus: an encrypted CRC-16 validator, an 8-bit coin acceptor, a CRC-16 hopper. scan
// finds each device in its own framing and says what it is; without the key the validator hears
// nothing; a device that answers the poll but no command is there, its mode unknown.
TEST(CliScan, FindsEachDeviceInItsOwnFramingOnAMixedBus) {
  bnvsim::SimulatorOptions kiosk;
  kiosk.coinAcceptor = true;
  kiosk.hopper = true;
  kiosk.validatorFraming = bnvsim::Framing{true, true, QStringLiteral("123456")};
  kiosk.coinAcceptorFraming = bnvsim::Framing{false, false, {}};
  bnvsim::Simulator sim(kiosk);
  QString error;
  ASSERT_TRUE(sim.start(&error)) << error.toStdString();
  const auto scan = [&](const QStringList& options, QString* out) {
    QString err;
    QTextStream outStream(out);
    QTextStream errStream(&err);
    CliStreams streams{outStream, errStream};
    return runCli(QStringList{"--port", sim.slavePath(), "--echo"} + options + QStringList{"scan"} +
                      QStringList{"--json"},
                  streams);
  };
  const QString validator = QStringLiteral("40 encrypted Bill Validator QNT QBV1 1234567");
  const QString coins = QStringLiteral("2 checksum8 Coin Acceptor QNT QCA1 420017");
  const QString hopper = QStringLiteral("3 crc16 Payout QNT QHP1 700301");
  const struct {
    const char* what;
    QStringList options;
    int busyHopper;
    QStringList devices;
  } rows[] = {
      {"with the key", {"--key", "123456"}, 0, {coins, hopper, validator}},
      {"a hopper that answers only BUSY",
       {"--key", "123456"},
       1,
       {coins, QStringLiteral("3 unknown    "), validator}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(sim.setBusyReplies(3, row.busyHopper));
    QString out;
    EXPECT_EQ(scan(row.options, &out), kExitOk) << out.toStdString();
    QStringList devices;
    for (const QJsonValue& value : QJsonDocument::fromJson(out.toUtf8()).array()) {
      const QJsonObject o = value.toObject();
      devices << QStringList{QString::number(o.value("address").toInt()),
                             o.value("mode").toString(),
                             o.value("category").toString(),
                             o.value("manufacturer").toString(),
                             o.value("product").toString(),
                             o.value("serial").toString()}
                     .join(u' ');
    }
    EXPECT_EQ(devices, row.devices) << out.toStdString();
  }
  // The text form, one labelled line a device; without the key the validator hears nothing.
  ASSERT_TRUE(sim.setBusyReplies(3, 0));
  QString text;
  QString err;
  QTextStream outStream(&text);
  QTextStream errStream(&err);
  CliStreams streams{outStream, errStream};
  EXPECT_EQ(runCli({"--port", sim.slavePath(), "--echo", "scan"}, streams), kExitOk);
  EXPECT_EQ(text.split(u'\n', Qt::SkipEmptyParts),
            (QStringList{"address: 2  mode: checksum8  category: Coin Acceptor  manufacturer: QNT"
                         "  product: QCA1  serial: 420017",
                         "address: 3  mode: crc16  category: Payout  manufacturer: QNT  product: "
                         "QHP1  serial: 700301"}));
}

// The virtual validator's own capture of the line against what the tool prints: "sent" and
// "reply" are those bytes for every method with a text output, in clear and encrypted frames.
TEST(CliOnCapturedLine, SentAndReplyAreTheBytesOnTheLine) {
  QTemporaryDir dir;
  bnvsim::SimulatorOptions options;
  options.hopper = true;
  options.coinAcceptor = true;
  options.capturePath = dir.filePath(QStringLiteral("line.capture"));
  bnvsim::Simulator sim(options);
  QString error;
  ASSERT_TRUE(sim.start(&error)) << error.toStdString();
  // Arguments where a method takes any; the address where it is not the validator's.
  const QMap<QString, QStringList> arguments = {{"SetMasterInhibit", {"1"}},
                                                {"SetInhibitStatus", {"255,255"}},
                                                {"RouteBill", {"1"}},
                                                {"RequestBillID", {"1"}},
                                                {"SetBillOperatingMode", {"1"}},
                                                {"ModifyBillScty", {"1", "0"}},
                                                {"AddressChange", {"40"}},
                                                {"OperateMotors", {"0,0,0"}},
                                                {"Dispense_Coins", {"1", "--address", "3"}},
                                                {"Enable_Hopper", {"--address", "3"}},
                                                {"Disable_Hopper", {"--address", "3"}},
                                                {"Hopper_Stop", {"--address", "3"}},
                                                {"RequestCoinID", {"1", "--address", "2"}}};
  // The last host frame in the capture and the device's answer after it.
  const auto readExchange = [&] {
    QFile file(options.capturePath);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    QStringList sent;
    QStringList reply;
    const QList<QByteArray> lines = file.readAll().split('\n');
    bool inReply = true;
    for (auto at = lines.crbegin(); at != lines.crend(); ++at) {
      const QStringList words = QString::fromLatin1(*at).split(u' ', Qt::SkipEmptyParts);
      if (words.size() < 3) continue;
      if (words[1] == u"host") {
        inReply = false;
        sent = words.mid(2) + sent;
      } else if (words[1] == u"device" && inReply) {
        reply = words.mid(2) + reply;
      } else if (!inReply) {
        break;
      }
    }
    return std::pair{sent.join(u' '), reply.join(u' ')};
  };
  // The simulator's thread writes the capture line of its answer after the bytes went out, so the
  // tool may have the reply before the capture does: wait a little for it.
  const auto lastExchange = [&] {
    auto exchange = readExchange();
    for (int tries = 0; exchange.second.isEmpty() && tries < 200; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      exchange = readExchange();
    }
    return exchange;
  };
  int checked = 0;
  for (const bool encrypted : {false, true}) {
    bnvsim::LineOptions line = sim.lineOptions();
    line.encryption = encrypted;
    line.key = QStringLiteral("582604");
    sim.setLineOptions(line);
    for (const MethodInfo& info : methodTable()) {
      const QList<ParamInfo> outputs = info.outputs();
      const bool text = std::any_of(outputs.begin(), outputs.end(),
                                    [](const ParamInfo& p) { return p.type == ParamType::Text; });
      if (!text || !info.hasDevice() || info.name == u"AddressRandom" ||
          info.name == u"ChangeKey") {
        continue;
      }
      QStringList words{"--port", sim.slavePath(), "--json"};
      if (encrypted)
        words << "--key"
              << "582604";
      const QStringList args = arguments.value(info.name);
      const qsizetype options = args.indexOf(QStringLiteral("--address"));
      if (options >= 0) words += args.mid(options);
      words << info.name << args.mid(0, options < 0 ? args.size() : options);
      QString out;
      QString err;
      QTextStream outStream(&out);
      QTextStream errStream(&err);
      CliStreams streams{outStream, errStream};
      runCli(words, streams);
      const QJsonObject o = QJsonDocument::fromJson(out.toUtf8()).object();
      const auto [sent, reply] = lastExchange();
      EXPECT_EQ(o.value("result").toInt(-9), 0) << info.name.toStdString() << err.toStdString();
      EXPECT_EQ(o.value("sent").toString(), sent) << info.name.toStdString();
      EXPECT_EQ(o.value("reply").toString(), reply) << info.name.toStdString();
      EXPECT_EQ(o.contains(QStringLiteral("replyClear")), encrypted) << info.name.toStdString();
      if (encrypted) {
        EXPECT_NE(o.value("replyClear").toString(), reply) << info.name.toStdString();
      }
      ++checked;
    }
  }
  EXPECT_EQ(checked, 2 * 29);
}

TEST_F(CliOnSimulator, EventWatchPrintsEachNewEvent) {
  QString out;
  ASSERT_EQ(run({"SetInhibitStatus", "255,255"}, &out), kExitOk);
  out.clear();
  QElapsedTimer clock;
  clock.start();
  int polls = 0;
  // Insert a note once the watch is running, then let it see two more polls.
  const auto keepRunning = [&] {
    if (++polls == 3) sim_.insertNote(3);
    return clock.elapsed() < 900;
  };
  QString err;
  EXPECT_EQ(run({"events", "--interval", "50"}, &out, &err, keepRunning), kExitOk)
      << err.toStdString();
  EXPECT_TRUE(out.contains(QStringLiteral(": Note 3 in escrow.\n"))) << out.toStdString();
  EXPECT_EQ(out.count(QStringLiteral("Note 3 in escrow.")), 1) << "printed once";
}

// The watch with `script` run at each poll (1 is the read that learns the counter); it stops
// before poll `polls`. Notes are enabled and, unless `escrow`, stacked straight away.
struct Watch {
  int status = -1;
  QString out;
  QString err;
};

class EventWatchOnSimulator : public CliOnSimulator {
 protected:
  // `device`: the tool's options ahead of the command (an address, a framing).
  Watch watch(const QStringList& extra, int polls, const std::function<void(int)>& script,
              bool escrow = false, const QStringList& device = {}) {
    Watch w;
    EXPECT_EQ(run({"SetInhibitStatus", "255,255"}, &w.out), kExitOk);
    EXPECT_EQ(run({"SetBillOperatingMode", escrow ? "3" : "1"}, &w.out), kExitOk);
    w.out.clear();
    int poll = 0;
    const auto keepRunning = [&] {
      if (++poll >= polls) return false;
      script(poll);
      return true;
    };
    w.status = run(device + QStringList{"events", "--interval", "60"} + extra, &w.out, &w.err,
                   keepRunning);
    return w;
  }
};

TEST_F(EventWatchOnSimulator, OnlyNewEventsAndLossesAreReported) {
  sim_.insertNote(1);  // before the watch: history, not news
  const Watch w = watch({"--json"}, 4, [&](int poll) {
    if (poll == 2) {
      for (int note = 1; note <= 8; ++note) sim_.insertNote(note);
    }
  });
  EXPECT_EQ(w.status, kExitOk) << w.err.toStdString();
  const QStringList lines = w.out.split(u'\n', Qt::SkipEmptyParts);
  // Eight events between two reads: the buffer shows the last five, three are reported lost.
  ASSERT_EQ(lines.size(), 6) << w.out.toStdString();
  EXPECT_EQ(QJsonDocument::fromJson(lines[0].toUtf8()).object().value("lost").toInt(), 3);
  EXPECT_TRUE(lines[1].contains(QStringLiteral("Note 4 stacked."))) << lines[1].toStdString();
  EXPECT_TRUE(lines[5].contains(QStringLiteral("Note 8 stacked."))) << lines[5].toStdString();
  EXPECT_TRUE(w.err.contains(QStringLiteral("3 event(s) lost"))) << w.err.toStdString();

  // Asked for, the buffer's events at start are printed too.
  const Watch all = watch({"--from-start"}, 2, [](int) {});
  EXPECT_EQ(all.out.count(QStringLiteral(" stacked.")), 5) << all.out.toStdString();
}

TEST_F(EventWatchOnSimulator, AResetWithEventsBeforeTheNextReadIsOneLineThenTheEvents) {
  // The counter at 5 goes back to 2, or stays at 2, with empty pairs behind the two new events.
  for (const int before : {5, 2}) {
    const Watch w = watch({"--json", "--inhibits", "255,255"}, 7, [&](int poll) {
      if (poll == 2) {
        for (int i = 0; i < before; ++i) i % 2 ? sim_.insertCashBox() : sim_.removeCashBox();
      }
      if (poll == 3) {
        sim_.reset();
        sim_.cheat();
        sim_.removeCashBox();
      }
    });
    EXPECT_EQ(w.status, kExitOk) << w.err.toStdString();
    const QStringList lines = w.out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), before + 3) << w.out.toStdString();
    const QJsonObject reset = QJsonDocument::fromJson(lines[before].toUtf8()).object();
    EXPECT_TRUE(reset.value("reset").toBool()) << lines[before].toStdString();
    EXPECT_EQ(reset.value("counter").toInt(), 2);
    EXPECT_EQ(QJsonDocument::fromJson(lines[before + 1].toUtf8()).object().value("counter"), 1);
    EXPECT_EQ(QJsonDocument::fromJson(lines[before + 2].toUtf8()).object().value("counter"), 2);
    EXPECT_FALSE(w.out.contains(QStringLiteral("Re-Enabled"))) << w.out.toStdString();
    EXPECT_FALSE(w.err.contains(QStringLiteral("lost"))) << w.err.toStdString();
    // The reset device refuses every note until the watch enables it again.
    EXPECT_EQ(sim_.masterInhibit(), 1);
    EXPECT_EQ(sim_.inhibitMask(), (std::array<std::uint8_t, 2>{255, 255}));
  }
}

TEST_F(EventWatchOnSimulator, FailedReadsYieldNoEventAndAreReported) {
  const Watch w = watch({}, 7, [&](int poll) {
    if (poll == 2) sim_.injectFault(bnvsim::Fault::Nak, 3);
  });
  EXPECT_EQ(w.status, kExitOk);
  EXPECT_TRUE(w.out.isEmpty()) << w.out.toStdString();
  EXPECT_TRUE(w.err.contains(QStringLiteral("3 reads failed in a row"))) << w.err.toStdString();
  EXPECT_TRUE(w.err.contains(QStringLiteral("reading again"))) << w.err.toStdString();
}

TEST_F(EventWatchOnSimulator, RouteStacksEveryNoteThatReachesEscrow) {
  const Watch w = watch(
      {"--route", "stack"}, 5,
      [&](int poll) {
        if (poll == 2) sim_.insertNote(3);
      },
      true);
  EXPECT_EQ(w.status, kExitOk) << w.err.toStdString();
  EXPECT_TRUE(w.out.contains(QStringLiteral("Note 3 in escrow.\nRoute stack note 3: ACK\n")))
      << w.out.toStdString();
  EXPECT_TRUE(w.out.contains(QStringLiteral("Note 3 stacked."))) << w.out.toStdString();
  EXPECT_FALSE(sim_.noteInEscrow());
}

TEST_F(EventWatchOnSimulator, ACoinAcceptorsCoinsComeWithTheirValuesAndAHopperIsRefused) {
  bnvsim::SimulatorOptions kiosk;
  kiosk.coinAcceptor = true;
  kiosk.hopper = true;
  kiosk.coinAcceptorFraming = bnvsim::Framing{};
  kiosk.coinAcceptorFraming->crc = false;  // the 8-bit checksum of most coin acceptors
  bnvsim::Simulator bus(kiosk);
  QString error;
  ASSERT_TRUE(bus.start(&error)) << error.toStdString();
  otherBus_ = &bus;
  // Coin 4 (10p), coin 12 (no such coin: refused), coin 8 (200p), and coin 3 while the
  // acceptor is reset, in master inhibit again until the watch enables it once more.
  const QStringList acceptor{"--address", "2", "--checksum8"};
  const Watch w = watch(
      {"--json", "--inhibits", "255,255"}, 8,
      [&](int poll) {
        if (poll == 2) {
          bus.insertCoin(4);
          bus.insertCoin(12);
          bus.insertCoin(8);
        }
        if (poll == 4) bus.reset();
        if (poll == 6) bus.insertCoin(3);
      },
      false, acceptor);
  EXPECT_EQ(w.status, kExitOk) << w.err.toStdString();
  QList<QJsonObject> records;
  for (const QString& line : w.out.split(u'\n', Qt::SkipEmptyParts)) {
    records.append(QJsonDocument::fromJson(line.toUtf8()).object());
  }
  ASSERT_EQ(records.size(), 5) << w.out.toStdString();
  const struct {
    int coin;  // 0: an error code, no coin
    const char* coinId;
    int value;
    int error;
  } expected[] = {{4, "GB010A", 10, 0}, {0, "", 0, 1}, {8, "GB200A", 200, 0}};
  for (int i = 0; i < 3; ++i) {
    const QJsonObject& r = records[i];
    EXPECT_EQ(r.value("coin").toInt(), expected[i].coin) << i;
    EXPECT_EQ(r.value("coinId").toString(), QString::fromLatin1(expected[i].coinId)) << i;
    EXPECT_EQ(r.value("value").toInt(), expected[i].value) << i;
    EXPECT_EQ(r.value("kind").toString(), expected[i].coin ? "credit" : "status") << i;
    EXPECT_EQ(r.value("b").toInt(), expected[i].error) << i;
    EXPECT_EQ(r.value("sorterPath").toInt(-1), expected[i].coin ? 0 : -1) << i;
  }
  EXPECT_TRUE(records[3].value("reset").toBool()) << w.out.toStdString();
  EXPECT_EQ(records[4].value("coinId").toString(), QStringLiteral("GB005A")) << w.out.toStdString();
  EXPECT_EQ(records[4].value("counter").toInt(), 1);

  // In words; and a device a watch cannot read is named, not polled for ever.
  const Watch words = watch(
      {}, 4,
      [&](int poll) {
        if (poll == 2) bus.insertCoin(6);
      },
      false, acceptor);
  EXPECT_EQ(words.out, QStringLiteral("Event 2: Coin 6 (GB050A) accepted, sorter path 0\n"));
  for (const QString& address : {QStringLiteral("3"), QStringLiteral("9")}) {
    int polls = 0;
    QString out;
    QString err;
    EXPECT_EQ(run({"--address", address, "events"}, &out, &err, [&] { return ++polls < 50; }),
              kExitResult)
        << address.toStdString();
    EXPECT_EQ(polls, 0) << "nothing is read";
    EXPECT_TRUE(out.isEmpty()) << out.toStdString();
  }
  QString err;
  QString out;
  run({"--address", "3", "events"}, &out, &err);
  EXPECT_EQ(err, QStringLiteral("events: address 3 is a Payout: a watch reads bill validators and "
                                "coin acceptors\n"));
  otherBus_ = nullptr;
}

TEST_F(CliOnSimulator, RefusedEnableAndBusyPortAreErrors) {
  QString out;
  QString err;
  // The watch asks the device what it is first, then enables it: a refusal of either ends it.
  // The enable's refusal waits behind a reply said twice, on a line the tool is told repeats.
  const struct {
    std::vector<bnvsim::Fault> faults;
    QStringList options;
    const char* said;
  } refusals[] = {
      {{bnvsim::Fault::Nak}, {}, "events: address 40 did not say what it is (GetEqptID): NACK\n"},
      {{bnvsim::Fault::Twice, bnvsim::Fault::Nak},
       {"--repeat-guard", "100"},
       "did not accept the enable command: NACK"},
  };
  for (const auto& refusal : refusals) {
    for (const bnvsim::Fault fault : refusal.faults) sim_.injectFault(fault);
    EXPECT_EQ(run(refusal.options + QStringList{"events"}, &out, &err), kExitResult)
        << refusal.said;
    EXPECT_TRUE(err.contains(QString::fromLatin1(refusal.said))) << err.toStdString();
    EXPECT_TRUE(out.isEmpty()) << out.toStdString();
  }

  QtSerialLine holder;
  holder.setDeviceName(sim_.slavePath());
  ASSERT_TRUE(holder.open());
  EXPECT_EQ(run({"SendPoll"}, &out, &err), kExitUsage);
  EXPECT_TRUE(err.contains(QStringLiteral("the port is busy"))) << err.toStdString();
}

TEST_F(CliOnSimulator, AsAProcess) {
  QProcess tool;
  tool.start(QCoreApplication::applicationDirPath() + QStringLiteral("/quennet"),
             {"--port", sim_.slavePath(), "--echo", "--json", "SendPoll"});
  ASSERT_TRUE(tool.waitForFinished(5000));
  EXPECT_EQ(tool.exitCode(), kExitOk) << tool.readAllStandardError().toStdString();
  const QJsonObject o = QJsonDocument::fromJson(tool.readAllStandardOutput()).object();
  EXPECT_EQ(o.value("result").toInt(-9), 0);
  EXPECT_EQ(o.value("outputs").toObject().value("strResponse").toString(), QStringLiteral("ACK"));

  tool.start(QCoreApplication::applicationDirPath() + QStringLiteral("/quennet"),
             {"--port", sim_.slavePath(), "--echo", "RouteBill"});
  ASSERT_TRUE(tool.waitForFinished(5000));
  EXPECT_EQ(tool.exitCode(), kExitUsage);
  EXPECT_EQ(tool.readAllStandardError().count('\n'), 1);

  // A batch reads standard input to its end; a last line without its newline was cut off and
  // is not sent, but answered.
  tool.start(QCoreApplication::applicationDirPath() + QStringLiteral("/quennet"),
             {"--port", sim_.slavePath(), "--echo", "batch"});
  ASSERT_TRUE(tool.waitForStarted(5000));
  const int framesBefore = sim_.framesReceived();
  tool.write("SetInhibitStatus 255,255\nGetSerialNo");
  tool.closeWriteChannel();
  ASSERT_TRUE(tool.waitForFinished(5000));
  EXPECT_EQ(tool.exitCode(), kExitResult) << tool.readAllStandardError().toStdString();
  const QList<QByteArray> lines = tool.readAllStandardOutput().split('\n');
  ASSERT_EQ(lines.size(), 3);
  EXPECT_EQ(QJsonDocument::fromJson(lines[0]).object().value("method").toString(),
            QStringLiteral("SetInhibitStatus"));
  const QJsonObject cut = QJsonDocument::fromJson(lines[1]).object();
  EXPECT_EQ(cut.value("line").toInt(), 2);
  EXPECT_TRUE(cut.value("error").toString().contains(QStringLiteral("no newline")));
  EXPECT_EQ(sim_.framesReceived(), framesBefore + 1);
  EXPECT_EQ(sim_.inhibitMask(), (std::array<std::uint8_t, 2>{255, 255}));
}

// Standard output that takes no more: a full device, or a pipe whose reader has gone while
// SIGPIPE is ignored (as under a service manager). The answer that fails ends the run with its
// own status before the next command reaches the device.
TEST_F(CliOnSimulator, OutputThatCannotBeWrittenStopsTheRun) {
  int gone[2];
  ASSERT_EQ(::pipe(gone), 0);
  ::close(gone[0]);
  struct Row {
    const char* name;
    int target;  // the descriptor the tool's standard output becomes
    QStringList args;
    QByteArray input;
    int frames;
  };
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  const QList<Row> rows = {
      {"full, one call", full, {"GetSerialNo"}, {}, 1},
      {"full, batch", full, {"batch"}, "SendPoll\nSendPoll\nSendPoll\n", 1},
      {"reader gone, batch", gone[1], {"batch"}, "SendPoll\nSendPoll\nSendPoll\n", 1},
      {"reader gone, help", gone[1], {"--help"}, {}, 0},
  };
  for (const Row& row : rows) {
    QProcess tool;
    const int target = row.target;
    tool.setChildProcessModifier([target] {
      ::signal(SIGPIPE, SIG_IGN);
      ::dup2(target, STDOUT_FILENO);
    });
    const int framesBefore = sim_.framesReceived();
    tool.start(QCoreApplication::applicationDirPath() + QStringLiteral("/quennet"),
               QStringList{"--port", sim_.slavePath(), "--echo"} + row.args);
    ASSERT_TRUE(tool.waitForStarted(5000)) << row.name;
    tool.write(row.input);
    tool.closeWriteChannel();
    ASSERT_TRUE(tool.waitForFinished(5000)) << row.name;
    EXPECT_EQ(tool.exitStatus(), QProcess::NormalExit) << row.name;
    EXPECT_EQ(tool.exitCode(), kExitOutput) << row.name;
    EXPECT_TRUE(tool.readAllStandardError().contains("standard output cannot be written"))
        << row.name;
    EXPECT_EQ(sim_.framesReceived(), framesBefore + row.frames) << row.name;
  }
  ::close(full);
  ::close(gone[1]);
}

TEST_F(CliOnSimulator, APortThisUserMayNotOpenSaysTheFix) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
  const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/quennet");
  const QByteArray path = QFile::encodeName(program);
  QProcess tool;
  // As user nobody; a build folder that nobody may enter leaves nothing to test.
  tool.setChildProcessModifier([path] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(99);
    if (::access(path.constData(), X_OK) != 0) ::_exit(77);
  });
  tool.start(program, {"--port", sim_.slavePath(), "SendPoll"});
  ASSERT_TRUE(tool.waitForFinished(5000));
  if (tool.exitCode() == 77) GTEST_SKIP() << "user nobody may not run " << path.constData();
  EXPECT_EQ(tool.exitCode(), kExitUsage);
  const QString err = QString::fromUtf8(tool.readAllStandardError());
  EXPECT_TRUE(err.contains(permissionDeniedText(sim_.slavePath()))) << err.toStdString();
  EXPECT_TRUE(err.contains(QStringLiteral("sudo usermod -aG "))) << err.toStdString();
}

}  // namespace
}  // namespace quennet::cli
