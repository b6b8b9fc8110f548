// The tool in-process against a small CRC device with an echoing line on a pseudo-terminal.
#include <signal.h>

#include <atomic>
#include <optional>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include "quennet/commands/dispatch.h"
#include "quennet/link/frame.h"
#include "quennet/link/qt_serial_line.h"
#include "support/pty_pair.h"
#include "tools/cli_runner.h"

namespace quennet::cli {
namespace {

using Bytes = std::vector<unsigned char>;

// A CRC reply from address 40 to the host.
Bytes crcReply(unsigned char header, const Bytes& data) {
  Bytes covered = {1, static_cast<unsigned char>(data.size()), header};
  covered.insert(covered.end(), data.begin(), data.end());
  const std::uint16_t crc = crc16Xmodem(covered);
  // The CRC's low byte takes the source address's place, its high byte follows the data.
  Bytes frame = covered;
  frame.insert(frame.begin() + 2, static_cast<unsigned char>(crc & 0xFF));
  frame.push_back(static_cast<unsigned char>(crc >> 8));
  return frame;
}

struct ToolRun {
  int status = -1;
  QString out;
  QString err;
};

ToolRun runTool(const QStringList& args) {
  ToolRun run;
  QTextStream out(&run.out);
  QTextStream err(&run.err);
  CliStreams streams{out, err};
  run.status = runCli(args, streams);
  return run;
}

class CliRun : public ::testing::Test {
 protected:
  // Echoes each frame (unless the line has no `echo`) and answers with `reply`; counts the
  // frames seen.
  void device(Bytes reply, bool echo = true) {
    responder_ = std::make_unique<PtyResponder>(pty_, [this, reply, echo](const Bytes& frame) {
      ++frames_;
      Bytes answer = echo ? frame : Bytes{};
      answer.insert(answer.end(), reply.begin(), reply.end());
      return answer;
    });
  }
  // The line is said to echo: the tool sends no poll at open to learn it.
  QStringList args(const QStringList& rest) const {
    return QStringList{"--port", pty_.slaveName(), "--echo"} + rest;
  }

  PtyPair pty_;
  std::unique_ptr<PtyResponder> responder_;
  std::atomic<int> frames_{0};
};

TEST_F(CliRun, PlainOutputShowsOutputsResultAndFrames) {
  device(crcReply(0, {0x01, 0x02, 0x03}));
  const ToolRun run = runTool(args({"GetSerialNo"}));
  EXPECT_EQ(run.status, kExitOk) << run.err.toStdString();
  EXPECT_TRUE(run.err.isEmpty());
  const QStringList lines = run.out.split(u'\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 4) << run.out.toStdString();
  EXPECT_EQ(lines[0], QStringLiteral("strResponse: 0066051"));
  EXPECT_EQ(lines[1], QStringLiteral("result: 0 (OK)"));
  EXPECT_TRUE(lines[2].startsWith(QStringLiteral("sent: 28 00 "))) << lines[2].toStdString();
  EXPECT_TRUE(lines[2].contains(QStringLiteral(" F2 "))) << "header 242";
  EXPECT_TRUE(lines[3].startsWith(QStringLiteral("reply: 01 03 "))) << lines[3].toStdString();

  // A port named by a file in the current folder is that file, not /dev/NAME. Not told whether
  // the line echoes, the call still puts its one frame on the line and nothing else.
  const QString link = QStringLiteral("cli-run-port-%1").arg(QCoreApplication::applicationPid());
  ASSERT_TRUE(QFile::link(pty_.slaveName(), link));
  const int before = frames_;
  const ToolRun here = runTool({"--port", link, "GetSerialNo"});
  QFile::remove(link);
  EXPECT_EQ(here.status, kExitOk) << here.err.toStdString();
  EXPECT_TRUE(here.out.contains(QStringLiteral("result: 0 (OK)\n"))) << here.out.toStdString();
  EXPECT_EQ(frames_, before + 1) << "no frame the caller did not ask for";

  // A line without echo: the reply is taken and named, still from the one frame.
  device(crcReply(0, {0x01, 0x02, 0x03}), false);
  const ToolRun bare = runTool({"--port", pty_.slaveName(), "GetSerialNo"});
  EXPECT_EQ(bare.status, kExitOk) << bare.out.toStdString();
  EXPECT_TRUE(bare.out.contains(QStringLiteral("result: 0 (OK (no echo on this line))\n")))
      << bare.out.toStdString();
  EXPECT_EQ(frames_, before + 2);
}

TEST_F(CliRun, JsonCarriesEveryKeyAndArraysOfNumbers) {
  device(crcReply(0, {7, 8, 9}));
  const ToolRun run = runTool(args({"--address", "3", "--json", "GetCommsStatus"}));
  EXPECT_EQ(run.status, kExitOk);
  QJsonParseError error;
  const QJsonObject o = QJsonDocument::fromJson(run.out.toUtf8(), &error).object();
  ASSERT_EQ(error.error, QJsonParseError::NoError) << run.out.toStdString();
  EXPECT_EQ(o.value("method").toString(), QStringLiteral("GetCommsStatus"));
  EXPECT_EQ(o.value("result").toInt(-9), 0);
  EXPECT_EQ(o.value("status").toString(), QStringLiteral("OK"));
  EXPECT_EQ(o.value("outputs").toObject().value("Rx_Errors").toVariant().toList(),
            (QVariantList{7, 8, 9}));
  EXPECT_TRUE(o.value("sent").toString().startsWith(QStringLiteral("03 00 ")));
  EXPECT_TRUE(o.value("reply").toString().startsWith(QStringLiteral("01 03 ")));
  EXPECT_TRUE(o.value("acknowledged").toBool());

  // Arrays carry the bytes the device sent, not the zeros of a fixed size.
  device(crcReply(0, {5}));
  const ToolRun mode = runTool(args({"--json", "GetAddrMode"}));
  const QJsonObject m = QJsonDocument::fromJson(mode.out.toUtf8()).object();
  EXPECT_EQ(m.value("outputs").toObject().value("AddrMode").toVariant().toList(),
            (QVariantList{5}));
  EXPECT_TRUE(runTool(args({"GetAddrMode"})).out.startsWith(QStringLiteral("AddrMode: 5\n")));
}

TEST_F(CliRun, NonZeroResultsExitOne) {
  device(crcReply(6, {}));
  const ToolRun busy = runTool(args({"--json", "SendPoll"}));
  EXPECT_EQ(busy.status, kExitResult);
  const QJsonObject o = QJsonDocument::fromJson(busy.out.toUtf8()).object();
  EXPECT_EQ(o.value("result").toInt(), -1);
  EXPECT_EQ(o.value("status").toString(), QStringLiteral("BUSY"));

  // ModifyBillID returns 0 and sends nothing: no device acknowledged it, and the tool says so.
  for (const bool json : {false, true}) {
    const ToolRun unsent =
        runTool(args(json ? QStringList{"--json", "ModifyBillID"} : QStringList{"ModifyBillID"}));
    EXPECT_EQ(unsent.status, kExitNothingSent) << unsent.out.toStdString();
    if (json) {
      const QJsonObject u = QJsonDocument::fromJson(unsent.out.toUtf8()).object();
      EXPECT_EQ(u.value("result").toInt(-9), 0);
      EXPECT_EQ(u.value("acknowledged"), QJsonValue(false)) << unsent.out.toStdString();
      EXPECT_EQ(u.value("status").toString(), failureText(Failure::NothingSent));
      EXPECT_EQ(u.value("sent").toString(), QString());
    } else {
      EXPECT_TRUE(unsent.out.contains(
          QStringLiteral("result: 0 (%1)\nsent: \n").arg(failureText(Failure::NothingSent))))
          << unsent.out.toStdString();
    }
  }
  EXPECT_EQ(frames_, 1) << "ModifyBillID sent nothing";

  // A command without data refused by NAK keeps result 0, but exits 3 and says so.
  device(crcReply(5, {}));
  const ToolRun refused = runTool(args({"--json", "SetMasterInhibit", "1"}));
  EXPECT_EQ(refused.status, kExitRefused);
  const QJsonObject r = QJsonDocument::fromJson(refused.out.toUtf8()).object();
  EXPECT_EQ(r.value("result").toInt(-9), 0);
  EXPECT_EQ(r.value("acknowledged"), QJsonValue(false)) << refused.out.toStdString();

  // So does a route the validator refused with data in an ACK frame.
  device(crcReply(0, {255}));
  const ToolRun route = runTool(args({"--json", "RouteBill", "1"}));
  EXPECT_EQ(route.status, kExitRefused);
  const QJsonObject o2 = QJsonDocument::fromJson(route.out.toUtf8()).object();
  EXPECT_EQ(o2.value("result").toInt(-9), 0);
  EXPECT_EQ(o2.value("outputs").toObject().value("Response").toString(),
            QStringLiteral("Cannot Route Note"));
  EXPECT_EQ(o2.value("acknowledged"), QJsonValue(false)) << route.out.toStdString();
}

TEST_F(CliRun, UsageErrorsExitTwoWithOneLineAndNoTraffic) {
  device(crcReply(0, {}));
  const QString nul = QStringLiteral("2") + QChar(0) + QStringLiteral("5");
  const QList<QStringList> bad = {{"SendPoll", "1"},
                                  {"RouteBill", "300"},
                                  {"RouteBill", "-1"},
                                  {"RequestBillID", "17"},
                                  {"RequestCoinID", "17"},
                                  {"ChangeKey", "1,2"},
                                  {"ChangeKey", ""},
                                  {"Dispense_Coins", nul},
                                  {"Dispense_Coins", "2 5"},
                                  {"SetMasterInhibit", "one"},
                                  {"RequestScaleFactor", QStringLiteral("G\u00e9")},
                                  {"SetInhibitStatus"},
                                  {"SetInhibitStatus", "255,256"},
                                  {"SetInhibitStatus", "255"},
                                  {"RequestScaleFactor", "G"},
                                  {"SetInhibitStatus", "1,2,3"},
                                  {"OperateMotors", "0,0,0,7"},
                                  {"ChangeKey", "1,2,3,4"},
                                  {"RequestScaleFactor", "GBX"},
                                  {"NoSuchMethod"},
                                  {}};
  // Told the line echoes or not, and on a port that does not exist: the input is refused
  // before the port is opened, so the error is the input's, never the port's.
  const QString missing = QStringLiteral("/nonexistent/tty");
  for (const QStringList& rest : bad) {
    for (const QStringList& line :
         {args({}), QStringList{"--port", pty_.slaveName()}, QStringList{"--port", missing}}) {
      const ToolRun run = runTool(line + rest);
      const std::string name = (line + rest).join(u' ').toStdString();
      EXPECT_EQ(run.status, kExitUsage) << name;
      EXPECT_TRUE(run.out.isEmpty()) << name;
      EXPECT_EQ(run.err.count(u'\n'), 1) << name << ": " << run.err.toStdString();
      EXPECT_FALSE(run.err.contains(missing)) << name << ": " << run.err.toStdString();
    }
  }
  EXPECT_EQ(frames_, 0);
  EXPECT_EQ(runTool({"--port", "/nonexistent/tty", "SendPoll"}).status, kExitUsage);
}

// Each batch line with what its answer carries: the frame's first bytes, or words of the error.
struct BatchRow {
  QString line;
  QString sent;
  QString error;
  QJsonValue pass = QJsonValue::Undefined;  // a line that expects: whether it met it
  QString status = QStringLiteral("OK");    // a line run: its status; acknowledged when "OK"
};

TEST_F(CliRun, BatchAnswersEveryLineInOrderAndGoesOnAfterABadOne) {
  device(crcReply(0, {}));
  const QList<BatchRow> rows = {
      {"SendPoll", "28 00 ", ""},
      {"--address 3 SendPoll", "03 00 ", ""},
      {"SetInhibitStatus 255,255", "28 02 ", ""},
      {"NoSuchMethod", "", "unknown method NoSuchMethod"},
      {"SetInhibitStatus 255,256", "", "256 lies outside 0..255"},
      {"SendPoll 1", "", "SendPoll takes 0 argument(s)"},
      {"--port /dev/null SendPoll", "", "cannot change the port"},
      {"events", "", "a batch line is a method"},
      {"--bogus SendPoll", "", "unknown option --bogus"},
      {"SendPoll \"1 2\"", "", "1 given"},
      {"  ", "", ""},
      {"# a comment alone", "", ""},
      {"SendPoll 1# two words", "", "3 given"},
      {"SendPoll # expect maybe", "", "expect takes ack, nak or a result code"},
      {"SendPoll # expect", "", "expect takes"},
      {"SetInhibitStatus \"1,#2\" # expect 0", "", "'#2' is not a decimal number"},
      {"SendPoll # expect: nak", "", "expect takes ack, nak or a result code: # expect: nak"},
      {"SendPoll #expect=nak", "", "expect takes"},
      {"SendPoll #  EXPECTED to pass", "", "expect takes"},
      {"SendPoll \"unterminated # expect ack", "", "quote is not closed"},
      {"SendPoll \"\"\"", "", "1 given"},
      {QStringLiteral("Dispense_Coins 2") + QChar(0), "", "is not a decimal number"},
      {QStringLiteral("Dispense_Coins 2") + QChar(0) + QStringLiteral(" 5"), "", "2 given"},
      {"RequestBillID 17", "", "RequestBillID: Note number above 16"},
      {"ChangeKey 1,2", "", "ChangeKey: Key too short"},
      {"RouteBill 300", "", "300 lies outside 0..255"},
      {"ModifyBillID", "", "", QJsonValue::Undefined, failureText(Failure::NothingSent)},
      {"SendPoll  # Expect ACK", "28 00 ", "", true},
      {"--address 3 SendPoll #expect 2", "03 00 ", "", false},
      {"SendPoll # expect nak   as inhibited", "28 00 ", "", false},
      {"--json SendPoll", "28 00 ", ""},
  };
  int next = 0;
  QString out;
  QString err;
  QTextStream outStream(&out);
  QTextStream errStream(&err);
  CliStreams streams{outStream, errStream};
  streams.readLine = [&]() -> std::optional<BatchLine> {
    if (next == rows.size()) return std::nullopt;
    return BatchLine{rows[next++].line, {}};
  };
  EXPECT_EQ(runCli(args({"batch"}), streams), kExitResult);
  EXPECT_TRUE(err.isEmpty()) << err.toStdString();
  const QStringList answers = out.split(u'\n', Qt::SkipEmptyParts);
  int answer = 0;
  for (int k = 0; k < rows.size(); ++k) {
    const BatchRow& row = rows[k];
    // A blank line has no answer.
    if (row.sent.isEmpty() && row.error.isEmpty() && row.status == u"OK") continue;
    ASSERT_LT(answer, answers.size()) << out.toStdString();
    QJsonParseError parse;
    const QJsonObject o = QJsonDocument::fromJson(answers[answer++].toUtf8(), &parse).object();
    ASSERT_EQ(parse.error, QJsonParseError::NoError) << row.line.toStdString();
    if (row.error.isEmpty()) {
      EXPECT_EQ(o.value("result").toInt(-9), 0) << row.line.toStdString();
      EXPECT_EQ(o.value("status").toString(), row.status) << row.line.toStdString();
      EXPECT_EQ(o.value("acknowledged").toBool(), row.status == u"OK") << row.line.toStdString();
      EXPECT_TRUE(o.value("sent").toString().startsWith(row.sent)) << row.line.toStdString();
      EXPECT_TRUE(o.contains("reply") && o.contains("outputs") && o.contains("method"));
      EXPECT_EQ(o.value("pass"), row.pass) << row.line.toStdString();
    } else {
      EXPECT_EQ(o.value("line").toInt(), k + 1) << row.line.toStdString();
      EXPECT_TRUE(o.value("error").toString().contains(row.error))
          << row.line.toStdString() << ": " << o.value("error").toString().toStdString();
    }
  }
  EXPECT_EQ(answer, answers.size()) << out.toStdString();
  EXPECT_EQ(frames_, 7) << "bad lines send nothing";

  // A line that misses what it expects fails the batch though its result was 0; every line
  // answered with result 0 and none expecting more: the batch exits 0.
  next = static_cast<int>(rows.size()) - 2;
  out.clear();
  EXPECT_EQ(runCli(args({"batch"}), streams), kExitResult) << out.toStdString();
  next = static_cast<int>(rows.size()) - 1;
  out.clear();
  EXPECT_EQ(runCli(args({"batch"}), streams), kExitOk) << out.toStdString();
  // A refusal is no success: a line the device answers with NAK fails the batch unless it
  // expects it.
  device(crcReply(5, {}));
  for (const auto& [line, status] :
       {std::pair{"SendPoll", kExitResult}, std::pair{"SendPoll # expect nak", kExitOk},
        std::pair{"ModifyBillID", kExitResult}, std::pair{"ModifyBillID # expect 0", kExitOk},
        std::pair{"ModifyBillID # expect ack", kExitResult}}) {
    bool given = false;
    streams.readLine = [&, text = QString::fromLatin1(line)]() -> std::optional<BatchLine> {
      if (std::exchange(given, true)) return std::nullopt;
      return BatchLine{text, {}};
    };
    out.clear();
    EXPECT_EQ(runCli(args({"batch"}), streams), status) << line << ": " << out.toStdString();
  }
}

TEST_F(CliRun, ASignalEndsAWaitAtOnceAndClosesThePort) {
  // The stacker cycle waits 8 s on this silent line; each signal must end it far sooner.
  for (const int signal : {SIGINT, SIGTERM}) {
    QProcess tool;
    tool.start(QCoreApplication::applicationDirPath() + QStringLiteral("/quennet"),
               args({"CycleStacker"}));
    ASSERT_TRUE(tool.waitForStarted(5000));
    QThread::msleep(400);
    QElapsedTimer clock;
    clock.start();
    ASSERT_EQ(::kill(static_cast<pid_t>(tool.processId()), signal), 0);
    ASSERT_TRUE(tool.waitForFinished(3000));
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_EQ(tool.exitStatus(), QProcess::NormalExit) << "the tool handles the signal";
    EXPECT_EQ(tool.exitCode(), 128 + signal);
    EXPECT_TRUE(tool.readAllStandardError().contains("interrupted"));
  }
  // Closed cleanly: the port is free for the next program.
  QtSerialLine line;
  line.setDeviceName(pty_.slaveName());
  EXPECT_TRUE(line.open()) << line.lastError().description.toStdString();
}

TEST(CliInfo, ListAndHelpNeedNoPort) {
  const ToolRun list = runTool({"--list"});
  EXPECT_EQ(list.status, kExitOk);
  const QStringList lines = list.out.split(u'\n', Qt::SkipEmptyParts);
  EXPECT_EQ(lines.size(), 62);
  EXPECT_TRUE(lines.contains(QStringLiteral(
      "SetInhibitStatus(Device: Byte, Inhibits: ByteArray[2], out Response: Text)")));
  const ToolRun json = runTool({"--list", "--json"});
  const QJsonArray methods = QJsonDocument::fromJson(json.out.toUtf8()).array();
  ASSERT_EQ(methods.size(), 62) << json.out.left(200).toStdString();
  EXPECT_EQ(methods[0].toObject().value("name").toString(), QStringLiteral("SendPoll"));
  const ToolRun help = runTool({"--help"});
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_TRUE(help.out.contains(QStringLiteral("events [--interval MS]")));
}

}  // namespace
}  // namespace quennet::cli
