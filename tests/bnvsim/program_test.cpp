// The bnvsim program as a separate process, and the console commands it runs.
#include <memory>

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "bnvsim/console.h"
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
  EXPECT_EQ(readLine(process), QStringLiteral("ok"));
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
  host.CommandBuffer.at(1) = 50;
  host.CommandBuffer.at(2) = 0;
  host.CommandBuffer.at(4) = 159;
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
        "--reply-delay", "--hopper", "--coin-acceptor", "--no-stacker", "--fault", "--trace"}) {
    EXPECT_TRUE(help.contains(QLatin1String(option))) << option;
  }
  process.start(programPath(), {QStringLiteral("--key"), QStringLiteral("12ab56")});
  ASSERT_TRUE(process.waitForFinished(5000));
  EXPECT_NE(process.exitCode(), 0);
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
  for (const char* bad : {"key 12345", "fault sideways", "fault busy 0", "probability nak 2",
                          "insert x", "cashbox sideways", "echo maybe"}) {
    EXPECT_TRUE(console.execute(QLatin1String(bad)).startsWith(QStringLiteral("usage"))) << bad;
  }
  EXPECT_TRUE(console.execute(QStringLiteral("dance")).startsWith(QStringLiteral("unknown")));
  EXPECT_EQ(console.execute(QStringLiteral("fault BUSY 2")), QStringLiteral("ok"));
  EXPECT_TRUE(console.execute(QStringLiteral("status")).contains(QStringLiteral("escrow empty")));
  EXPECT_FALSE(console.quitRequested());
  console.execute(QStringLiteral("quit"));
  EXPECT_TRUE(console.quitRequested());
}
