// The tool against the virtual validator: in-process for the event watch, and once as a
// separate process for the exit status and output a script sees.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include "bnvsim/simulator.h"
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
    const int status = runCli(QStringList{"--port", sim_.slavePath()} + rest, streams);
    if (err) *err = errText;
    return status;
  }

  bnvsim::Simulator sim_{bnvsim::SimulatorOptions{}};
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
            QStringLiteral("1234567"));

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

TEST_F(CliOnSimulator, AsAProcess) {
  QProcess tool;
  tool.start(QCoreApplication::applicationDirPath() + QStringLiteral("/quennet"),
             {"--port", sim_.slavePath(), "--json", "SendPoll"});
  ASSERT_TRUE(tool.waitForFinished(5000));
  EXPECT_EQ(tool.exitCode(), kExitOk) << tool.readAllStandardError().toStdString();
  const QJsonObject o = QJsonDocument::fromJson(tool.readAllStandardOutput()).object();
  EXPECT_EQ(o.value("result").toInt(-9), 0);
  EXPECT_EQ(o.value("outputs").toObject().value("strResponse").toString(), QStringLiteral("ACK"));

  tool.start(QCoreApplication::applicationDirPath() + QStringLiteral("/quennet"),
             {"--port", sim_.slavePath(), "RouteBill"});
  ASSERT_TRUE(tool.waitForFinished(5000));
  EXPECT_EQ(tool.exitCode(), kExitUsage);
  EXPECT_EQ(tool.readAllStandardError().count('\n'), 1);
}

}  // namespace
}  // namespace quennet::cli
