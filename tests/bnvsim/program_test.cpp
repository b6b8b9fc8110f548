// The bnvsim program as a separate process, and the console commands it runs.
#include <functional>
#include <memory>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "bnvsim/console.h"
#include "bnvsim/line_reader.h"
#include "bnvsim/pty_link.h"
#include "quennet/commands/command_set.h"
#include "quennet/link/qt_serial_line.h"

using namespace bnvsim;

namespace {

QString programPath() {
  return QCoreApplication::applicationDirPath() + QStringLiteral("/bnvsim");
}

QString readLine(QProcess& process) {
  while (!process.canReadLine()) {
    if (!process.waitForReadyRead(5000)) return {};
  }
  return QString::fromLocal8Bit(process.readLine()).trimmed();
}

}  // namespace

TEST(Program, ServesOnThePrintedPathUntilSignalledEvenAfterInputEnds) {
  QTemporaryDir dir;
  const QString link = dir.filePath(QStringLiteral("validator"));
  QProcess process;
  process.start(programPath(), {QStringLiteral("--link"), link, QStringLiteral("--address"),
                                QStringLiteral("50")});
  ASSERT_TRUE(process.waitForStarted(5000)) << process.errorString().toStdString();
  const QString slave = readLine(process);
  ASSERT_TRUE(slave.startsWith(QStringLiteral("/dev/pts/"))) << slave.toStdString();
  EXPECT_EQ(QFileInfo(link).symLinkTarget(), slave);

  process.write("insert 3\n");
  EXPECT_EQ(readLine(process), QStringLiteral("ok: note returned, master inhibit on"));
  // A megabyte line without a newline is thrown away once, and the next line still runs.
  process.write(QByteArray(1 << 20, 'x') + "\nstatus\n");
  EXPECT_TRUE(readLine(process).startsWith(QStringLiteral("line too long")));
  EXPECT_TRUE(readLine(process).contains(QStringLiteral("event counter 1")));
  process.closeWriteChannel();  // a pipe ending is not the operator leaving

  quennet::CommandSet host;
  auto line = std::make_unique<quennet::QtSerialLine>();
  line->setDeviceName(link);
  host.setLine(std::move(line));
  host.setChecksumType(quennet::CHKSM_16BIT);
  host.setCommsEcho(true);
  ASSERT_TRUE(host.line()->open());
  QString reply;
  EXPECT_EQ(host.SendPoll(50, reply), 0);
  EXPECT_EQ(reply, QStringLiteral("ACK"));
  // Master inhibit is on at power-up, so the inserted note came back as status 0.
  std::vector<std::uint8_t> events(11, 0xEE);
  host.LoadFrame(50, 159);
  ASSERT_EQ(host.TransactBytes(events, 11), 0);
  EXPECT_EQ(events[0], 1);
  EXPECT_EQ(events[1], 0);
  EXPECT_EQ(events[2], 0);
  host.line()->close();

  process.terminate();
  ASSERT_TRUE(process.waitForFinished(5000));
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(process.exitCode(), 0);
  EXPECT_FALSE(QFileInfo::exists(link));
}

TEST(Program, HelpNamesEveryOption) {
  QProcess process;
  process.start(programPath(), {QStringLiteral("--help")});
  ASSERT_TRUE(process.waitForFinished(5000));
  const QString help = QString::fromLocal8Bit(process.readAllStandardOutput());
  for (const char* option :
       {"--link", "--address", "--no-echo", "--checksum8", "--encrypt", "--key", "--pacing",
        "--reply-delay", "--escrow-timeout", "--hopper", "--coin-acceptor", "--device", "--busy",
        "--slow-reset", "--no-stacker", "--fault", "--trace", "--hopper-rate", "--hopper-code"}) {
    EXPECT_TRUE(help.contains(QLatin1String(option))) << option;
  }
  for (const QStringList& bad :
       {QStringList{"--key", "12ab56"}, QStringList{"--fault", "busy=nan"},
        QStringList{"--fault", "busy=inf"}, QStringList{"--escrow-timeout", "-1"},
        QStringList{"--reply-delay", "99999999999"}, QStringList{"--device", "printer"},
        QStringList{"--device", "hopper=crc8"}, QStringList{"--device", "hopper=checksum8:123456"},
        QStringList{"--device", "validator=encrypted:12345"}, QStringList{"--busy", "40"},
        QStringList{"--busy", "2=1"}, QStringList{"--slow-reset", "1=100"},
        QStringList{"--slow-reset", "40=-5"}, QStringList{"--hopper-rate", "-1"},
        QStringList{"--hopper-rate", "1001"}, QStringList{"--hopper-rate", "fast"},
        QStringList{"--hopper-code", "16777216"}, QStringList{"--hopper-code", "label"}}) {
    process.start(programPath(), bad);
    ASSERT_TRUE(process.waitForFinished(5000));
    EXPECT_NE(process.exitCode(), 0) << bad.join(' ').toStdString();
    EXPECT_TRUE(process.readAllStandardError().startsWith("bnvsim: "));
  }
}

TEST(Program, LinkReplacesOnlyASymbolicLinkAndRemovesOnlyItsOwn) {
  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("file"));
  QFile keep(file);
  ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
  keep.write("keep me");
  keep.close();
  for (const QString& taken : {file, dir.path()}) {
    QProcess process;
    process.start(programPath(), {QStringLiteral("--link"), taken});
    ASSERT_TRUE(process.waitForFinished(5000));
    EXPECT_NE(process.exitCode(), 0);
    EXPECT_TRUE(process.readAllStandardError().contains("not a symbolic link"));
  }
  ASSERT_TRUE(keep.open(QIODevice::ReadOnly));
  EXPECT_EQ(keep.readAll(), "keep me");
  EXPECT_TRUE(QFileInfo(dir.path()).isDir());

  const QString path = dir.filePath(QStringLiteral("validator"));
  ASSERT_TRUE(QFile::link(file, path));  // a stale link from an earlier run
  PtyLink link;
  QString error;
  ASSERT_TRUE(link.create(path, QStringLiteral("/dev/pts/999"), &error)) << error.toStdString();
  EXPECT_EQ(QFileInfo(path).symLinkTarget(), QStringLiteral("/dev/pts/999"));
  // Another program took the path meanwhile: its link stays.
  ASSERT_TRUE(QFile::remove(path));
  ASSERT_TRUE(QFile::link(file, path));
  link.remove();
  EXPECT_EQ(QFileInfo(path).symLinkTarget(), file);
}

TEST(Console, CommandsDriveTheSimulator) {
  Simulator simulator;
  Console console(simulator);
  EXPECT_TRUE(console.execute(QStringLiteral("help")).contains(QStringLiteral("insert N")));
  EXPECT_EQ(console.execute(QStringLiteral("echo off")), QStringLiteral("ok"));
  EXPECT_EQ(console.execute(QStringLiteral("key 123456")), QStringLiteral("ok"));
  EXPECT_EQ(console.execute(QStringLiteral("encrypt on")), QStringLiteral("ok"));
  EXPECT_EQ(console.execute(QStringLiteral("delay 25")), QStringLiteral("ok"));
  const LineOptions line = simulator.lineOptions();
  EXPECT_FALSE(line.echo);
  EXPECT_TRUE(line.encryption);
  EXPECT_EQ(line.key, QStringLiteral("123456"));
  EXPECT_EQ(line.replyDelayMs, 25);
  EXPECT_TRUE(line.crc);
  for (const char* bad :
       {"key 12345", "fault sideways", "fault busy -1", "fault busy 200000000", "fault busy nan",
        "probability nak 2", "probability nak nan", "probability nak inf", "insert x",
        "cashbox sideways", "echo maybe", "delay 2000000000"}) {
    EXPECT_TRUE(console.execute(QLatin1String(bad)).startsWith(QStringLiteral("usage"))) << bad;
  }
  EXPECT_TRUE(console.execute(QStringLiteral("dance")).startsWith(QStringLiteral("unknown")));
  EXPECT_EQ(console.execute(QStringLiteral("fault BUSY 2")), QStringLiteral("ok"));
  EXPECT_EQ(console.execute(QStringLiteral("fault nak 998")), QStringLiteral("ok"));
  EXPECT_TRUE(
      console.execute(QStringLiteral("fault late 1")).startsWith(QStringLiteral("refused")));
  EXPECT_EQ(console.execute(QStringLiteral("probability noise 0.25")), QStringLiteral("ok"));
  EXPECT_EQ(console.execute(QStringLiteral("selftest 39")), QStringLiteral("ok"));
  QString status = console.execute(QStringLiteral("status"));
  EXPECT_TRUE(status.contains(QStringLiteral("escrow empty")));
  EXPECT_TRUE(
      status.contains(QStringLiteral("faults: busy x2, nak x998, noise p=0.25, self test 39")))
      << status.toStdString();
  EXPECT_EQ(console.execute(QStringLiteral("fault nak 0")), QStringLiteral("ok"));
  EXPECT_TRUE(
      console.execute(QStringLiteral("status")).contains(QStringLiteral("faults: busy x2, noise")));
  console.execute(QStringLiteral("fault clear"));
  EXPECT_TRUE(console.execute(QStringLiteral("status")).contains(QStringLiteral("faults: none")));

  for (const char* bad : {"busy 40", "busy x 1", "busy 40 -1", "busy 40 1001", "slowreset 40 -1",
                          "slowreset 40 700000"}) {
    EXPECT_TRUE(console.execute(QLatin1String(bad)).startsWith(QStringLiteral("usage"))) << bad;
  }
  EXPECT_TRUE(console.execute(QStringLiteral("busy 3 1")).startsWith(QStringLiteral("no device")));
  EXPECT_EQ(console.execute(QStringLiteral("busy 40 3")), QStringLiteral("ok"));
  EXPECT_EQ(console.execute(QStringLiteral("slowreset 40")), QStringLiteral("ok"));
  status = console.execute(QStringLiteral("status"));
  EXPECT_TRUE(status.contains(QStringLiteral(
      "validator at 40: CRC-16 encrypted (key 123456) (the line's), busy x3, silent 1500 ms after "
      "a reset")))
      << status.toStdString();

  EXPECT_FALSE(console.quitRequested());
  console.execute(QStringLiteral("quit"));
  EXPECT_TRUE(console.quitRequested());
}

TEST(Console, InsertSaysWhatBecameOfTheNote) {
  Simulator simulator;
  ASSERT_TRUE(simulator.start());
  Console console(simulator);
  EXPECT_EQ(console.execute(QStringLiteral("insert 2")),
            QStringLiteral("ok: note returned, master inhibit on"));
  quennet::CommandSet host;
  auto line = std::make_unique<quennet::QtSerialLine>();
  line->setDeviceName(simulator.slavePath());
  host.setLine(std::move(line));
  host.setChecksumType(quennet::CHKSM_16BIT);
  host.setCommsEcho(true);
  ASSERT_TRUE(host.line()->open());
  QString reply;
  const std::uint8_t all[] = {0xFF, 0xFF};
  ASSERT_EQ(host.SetInhibitStatus(40, all, reply), 0);
  ASSERT_EQ(host.SetMasterInhibit(40, 1, reply), 0);
  EXPECT_EQ(console.execute(QStringLiteral("insert 2")),
            QStringLiteral("ok: GB0010A held in escrow"));
  // The bezel is blocked while a note waits in escrow, and the operator is told so.
  EXPECT_TRUE(console.execute(QStringLiteral("insert 3"))
                  .startsWith(QStringLiteral("refused: GB0010A is held in escrow")));
  EXPECT_TRUE(console.execute(QStringLiteral("status"))
                  .contains(QStringLiteral("escrow holding GB0010A, event counter 2")));
  console.execute(QStringLiteral("reset"));
  EXPECT_EQ(simulator.inhibitMask(), (std::array<std::uint8_t, 2>{0, 0}));
  EXPECT_EQ(console.execute(QStringLiteral("insert 2")),
            QStringLiteral("ok: note returned, master inhibit on"));
}

// Every operator call says what it did as a console line: that line, run by the console on a
// second simulator, answers the same and leaves it in the same state, refusals included.
TEST(Operator, EachCallIsTheConsoleLineItNames) {
  Simulator called;
  Simulator typed;
  ASSERT_TRUE(called.start());
  ASSERT_TRUE(typed.start());
  Operator hands(called);
  Console console(typed);
  Console calledStatus(called);
  const std::function<Done(Operator&)> calls[] = {
      [](Operator& o) { return o.insertNote(2); },
      [](Operator& o) { return o.insertUnknownNote(); },
      [](Operator& o) { return o.removeCashBox(); },
      [](Operator& o) { return o.insertCashBox(); },
      [](Operator& o) { return o.jam(); },
      [](Operator& o) { return o.cheat(); },
      [](Operator& o) { return o.stackerFull(); },
      [](Operator& o) { return o.setSelfTestCode(39); },
      [](Operator& o) { return o.spoilReplies(Fault::Busy, 2); },
      [](Operator& o) { return o.spoilReplies(Fault::WrongLength, 3); },
      [](Operator& o) { return o.spoilReplies(Fault::Busy, 0); },
      [](Operator& o) { return o.spoilReplies(Fault::Late, kMaxQueuedFaults + 1); },
      [](Operator& o) { return o.spoilAtRandom(Fault::Noise, 0.25); },
      [](Operator& o) { return o.setEcho(false); },
      [](Operator& o) { return o.setPacing(true); },
      [](Operator& o) { return o.setEncryption(true); },
      [](Operator& o) { return o.setKey(QStringLiteral("123456")); },
      [](Operator& o) { return o.setKey(QStringLiteral("12")); },
      [](Operator& o) { return o.setReplyDelay(25); },
      [](Operator& o) { return o.setReplyDelay(kMaxSettingMs + 1); },
      [](Operator& o) { return o.answerBusy(40, 3); },
      [](Operator& o) { return o.answerBusy(3, 1); },
      [](Operator& o) { return o.slowReset(40, 100); },
      [](Operator& o) { return o.setCrc(false); },
      [](Operator& o) { return o.clearFaults(); },
      [](Operator& o) { return o.powerCycle(); },
  };
  QStringList refused;
  for (const auto& call : calls) {
    const Done done = call(hands);
    SCOPED_TRACE(done.action.toStdString());
    EXPECT_EQ(console.execute(done.action), done.answer);
    EXPECT_EQ(console.execute(QStringLiteral("status")),
              calledStatus.execute(QStringLiteral("status")));
    if (done.answer != QLatin1String("ok")) refused << done.answer;
  }
  // The calls that could not be done said why; the rest were done.
  EXPECT_EQ(refused,
            QStringList({"ok: note returned, master inhibit on",
                         "ok: note returned, not a note of this validator",
                         "usage: fault KIND [COUNT 0..1000] or fault clear",
                         "usage: key DIGITS (six decimal digits)", "usage: delay MS (0..600000)",
                         "no device at address 3", "ok: no faults"}));
}

TEST(Console, ALineOverTheLimitIsDroppedOnceWhereverTheInputBreaks) {
  LineReader reader;
  const std::string longest(LineReader::kMaxLineLength, 'a');
  auto pieces = reader.feed(longest + "\n");
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].line, longest);
  EXPECT_TRUE(reader.feed(std::string(1000, 'b')).empty());
  pieces = reader.feed(std::string(25, 'b'));  // one past the limit
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_TRUE(pieces[0].tooLong);
  EXPECT_TRUE(reader.feed(std::string(5000, 'b')).empty());  // told once only
  pieces = reader.feed("bbb\nstatus\nins");
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].line, "status");
  pieces = reader.feed("ert 3\n");
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].line, "insert 3");
}
