// `quennet monitor` on what `bnvsim --capture` recorded of a real exchange with `quennet`.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "tools/cli_runner.h"

namespace quennet::cli {
namespace {

int runTool(const QStringList& arguments, QString* out) {
  QString errText;
  QTextStream outStream(out);
  QTextStream errStream(&errText);
  CliStreams streams{outStream, errStream};
  const int status = runCli(arguments, streams);
  EXPECT_TRUE(errText.isEmpty()) << errText.toStdString();
  return status;
}

QString lastWord(const QString& line) {
  return line.section(QLatin1Char(':'), 1).trimmed();
}

}  // namespace

TEST(Monitor, DecodesWhatTheSimulatorCapturedOfARealExchangeAsItsTracePrintedIt) {
  QTemporaryDir dir;
  const QString capture = dir.filePath(QStringLiteral("line.cap"));
  QProcess bnvsim;
  bnvsim.start(QCoreApplication::applicationDirPath() + QStringLiteral("/bnvsim"),
               {QStringLiteral("--capture"), capture, QStringLiteral("--trace")});
  ASSERT_TRUE(bnvsim.waitForStarted(5000));
  ASSERT_TRUE(bnvsim.waitForReadyRead(5000));
  const QString port = QString::fromLocal8Bit(bnvsim.readLine()).trimmed();

  QString inhibits;
  QString serial;
  ASSERT_EQ(runTool({"--port", port, "--echo", "SetInhibitStatus", "255,255"}, &inhibits), kExitOk);
  ASSERT_EQ(runTool({"--port", port, "--echo", "GetSerialNo"}, &serial), kExitOk);
  ::kill(static_cast<pid_t>(bnvsim.processId()), SIGTERM);
  ASSERT_TRUE(bnvsim.waitForFinished(5000));
  const QStringList trace =
      QString::fromLocal8Bit(bnvsim.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);

  QString json;
  ASSERT_EQ(runTool({"monitor", "--input", capture, "--json"}, &json), kExitOk);
  const QStringList lines = json.split(u'\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 4) << json.toStdString();
  QList<QJsonObject> frames;
  for (const QString& line : lines) frames.append(QJsonDocument::fromJson(line.toUtf8()).object());

  // Each command and its reply, with the bytes the tool itself reported sending and receiving.
  const QStringList serialLines = serial.split(u'\n');
  const QString serialSent = lastWord(serialLines.filter(QStringLiteral("sent:")).value(0));
  const QString serialReply = lastWord(serialLines.filter(QStringLiteral("reply:")).value(0));
  struct Expected {
    const char* dir;
    int dest;
    int src;
    int header;
    const char* name;
    QString data;
  };
  const Expected expected[] = {
      {"host", 40, 1, 231, "Modify inhibit status", QStringLiteral("FF FF")},
      {"device", 1, 40, 0, "ACK", QString()},
      {"host", 40, 1, 242, "Request serial number", QString()},
      {"device", 1, 40, 0, "Reply", serialReply.mid(12, 8)},
  };
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(lines[i].toStdString());
    const QJsonObject& f = frames[i];
    EXPECT_EQ(f.value("dir").toString(), QString::fromLatin1(expected[i].dir));
    EXPECT_EQ(f.value("dest").toInt(), expected[i].dest);
    EXPECT_EQ(f.value("src").toInt(), expected[i].src);
    EXPECT_EQ(f.value("header").toInt(), expected[i].header);
    EXPECT_EQ(f.value("name").toString(), QString::fromLatin1(expected[i].name));
    EXPECT_EQ(f.value("data").toString(), expected[i].data);
    EXPECT_TRUE(f.value("ok").toBool());
  }
  EXPECT_EQ(serialReply.size(), 23) << serialReply.toStdString();  // 8 bytes: 3 of data
  EXPECT_LT(frames[0].value("time").toDouble(), frames[1].value("time").toDouble());

  // The plain form is the one bnvsim --trace printed while it served, line for line; the
  // raw bytes at the end of each line are what the tool reported.
  QString plain;
  ASSERT_EQ(runTool({"monitor", "--input", capture}, &plain), kExitOk);
  const QStringList plainLines = plain.split(u'\n', Qt::SkipEmptyParts);
  EXPECT_EQ(plainLines, trace);
  ASSERT_EQ(plainLines.size(), 4);
  EXPECT_TRUE(plainLines[2].endsWith(QStringLiteral("| ") + serialSent))
      << plainLines[2].toStdString();
  EXPECT_TRUE(plainLines[3].contains(QStringLiteral("| ") + serialReply))
      << plainLines[3].toStdString();

  // The same bytes without their times still split into the same four frames.
  QFile file(capture);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  QByteArray raw;
  for (const QByteArray& line : file.readAll().split('\n').mid(1)) {
    for (const QByteArray& word : line.split(' ').mid(2))
      raw.append(static_cast<char>(word.toUInt(nullptr, 16)));
  }
  const QString rawPath = dir.filePath(QStringLiteral("line.bin"));
  QFile rawFile(rawPath);
  ASSERT_TRUE(rawFile.open(QIODevice::WriteOnly));
  ASSERT_EQ(rawFile.write(raw), raw.size());
  rawFile.close();
  QString fromRaw;
  ASSERT_EQ(runTool({"monitor", "--input", rawPath, "--json"}, &fromRaw), kExitOk);
  QStringList names;
  for (const QString& line : fromRaw.split(u'\n', Qt::SkipEmptyParts)) {
    names.append(QJsonDocument::fromJson(line.toUtf8()).object().value("name").toString());
  }
  EXPECT_EQ(names, (QStringList{"Modify inhibit status", "ACK", "Request serial number", "Reply"}));
}

// The loose bytes the devices send after an address poll are their answers, with the addresses
// in the order they came, whichever framing each device uses.
TEST(Monitor, AddressPollAnswersAreAnswersNotABrokenFrame) {
  QTemporaryDir dir;
  const QString capture = dir.filePath(QStringLiteral("poll.cap"));
  QProcess bnvsim;
  bnvsim.start(
      QCoreApplication::applicationDirPath() + QStringLiteral("/bnvsim"),
      {"--capture", capture, "--device", "coin-acceptor=checksum8", "--hopper", "--trace"});
  ASSERT_TRUE(bnvsim.waitForStarted(5000));
  ASSERT_TRUE(bnvsim.waitForReadyRead(5000));
  const QString port = QString::fromLocal8Bit(bnvsim.readLine()).trimmed();
  QString poll;
  ASSERT_EQ(runTool({"--port", port, "--echo", "AddressPoll"}, &poll), kExitOk);
  // bnvsim's trace reads each frame in the framing of the device it is for or from.
  QString serial;
  ASSERT_EQ(
      runTool({"--port", port, "--echo", "--checksum8", "--address", "2", "GetSerialNo"}, &serial),
      kExitOk);
  ::kill(static_cast<pid_t>(bnvsim.processId()), SIGTERM);
  ASSERT_TRUE(bnvsim.waitForFinished(5000));
  const QStringList trace =
      QString::fromLocal8Bit(bnvsim.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
  ASSERT_EQ(trace.size(), 5) << trace.join(u'\n').toStdString();
  EXPECT_TRUE(trace[3].contains(QStringLiteral("src 1 hdr 242 Request serial number  data []  ok")))
      << trace[3].toStdString();
  EXPECT_TRUE(trace[4].contains(QStringLiteral("src 2 hdr 0 Reply  data [")))
      << trace[4].toStdString();
  EXPECT_TRUE(trace[4].contains(QStringLiteral("]  ok"))) << trace[4].toStdString();

  QString json;
  ASSERT_EQ(runTool({"monitor", "--input", capture, "--json"}, &json), kExitOk);
  const QStringList lines = json.split(u'\n', Qt::SkipEmptyParts);
  // The CRC-16 poll reaches the hopper (after 12 ms) and the validator (after 160 ms), each
  // answer a burst of its own; the 8-bit coin acceptor cannot read it. (The 8-bit exchange after
  // them is not for a CRC-16 monitor.)
  ASSERT_GE(lines.size(), 3) << json.toStdString();
  QStringList heard;
  for (const QString& line : lines.mid(1, 2)) {
    SCOPED_TRACE(line.toStdString());
    const QJsonObject answers = QJsonDocument::fromJson(line.toUtf8()).object();
    EXPECT_EQ(answers.value("dir").toString(), QStringLiteral("device"));
    EXPECT_EQ(answers.value("name").toString(), QStringLiteral("Address answers"));
    EXPECT_TRUE(answers.value("ok").toBool());
    heard << answers.value("data").toString();
  }
  EXPECT_EQ(heard, (QStringList{"03", "28"}));
  QString plain;
  ASSERT_EQ(runTool({"monitor", "--input", capture}, &plain), kExitOk);
  EXPECT_FALSE(plain.contains(QStringLiteral("incomplete"))) << plain.toStdString();
  EXPECT_TRUE(plain.contains(QStringLiteral("Address answers"))) << plain.toStdString();
}

// A long decoding stops at once when a signal ends it or its output cannot be written any more,
// however much of the file is left: `quennet monitor --input big | head -1`, Ctrl-C. The file
// takes the decoder many seconds; each row must end well within one of them.
TEST(Monitor, ASignalOrAFailedWriteEndsTheDecodingOfAFile) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("noise.bin"));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  std::vector<quint32> noise(4 * 1024 * 1024);  // 16 MB
  QRandomGenerator(7).fillRange(noise.data(), noise.size());
  ASSERT_EQ(file.write(reinterpret_cast<const char*>(noise.data()),
                       static_cast<qint64>(noise.size() * sizeof(quint32))),
            static_cast<qint64>(noise.size() * sizeof(quint32)));
  file.close();

  int gone[2];
  ASSERT_EQ(::pipe(gone), 0);
  ::close(gone[0]);
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(null, 0);
  struct Row {
    const char* name;
    int target;  // the descriptor the tool's standard output becomes
    int signal;  // sent once the decoding runs; 0: none
    int status;
    const char* said;
  };
  const Row rows[] = {
      {"SIGINT", null, SIGINT, 130, "interrupted"},
      {"SIGTERM", null, SIGTERM, 143, "interrupted"},
      {"reader gone", gone[1], 0, kExitOutput, "standard output cannot be written"},
      {"full", full, 0, kExitOutput, "standard output cannot be written"},
  };
  for (const Row& row : rows) {
    QProcess tool;
    const int target = row.target;
    tool.setChildProcessModifier([target] {
      ::signal(SIGPIPE, SIG_IGN);
      ::dup2(target, STDOUT_FILENO);
    });
    tool.start(QCoreApplication::applicationDirPath() + QStringLiteral("/quennet"),
               {"monitor", "--input", path});
    ASSERT_TRUE(tool.waitForStarted(5000)) << row.name;
    if (row.signal != 0) {
      QThread::msleep(300);
      ASSERT_EQ(::kill(static_cast<pid_t>(tool.processId()), row.signal), 0) << row.name;
    }
    const bool ended = tool.waitForFinished(3000);
    if (!ended) {
      tool.kill();
      tool.waitForFinished(5000);
    }
    EXPECT_TRUE(ended) << row.name << ": decoded on";
    if (!ended) continue;
    EXPECT_EQ(tool.exitStatus(), QProcess::NormalExit) << row.name;
    EXPECT_EQ(tool.exitCode(), row.status) << row.name;
    EXPECT_TRUE(tool.readAllStandardError().contains(row.said)) << row.name;
  }
  ::close(gone[1]);
  ::close(full);
  ::close(null);
}

}  // namespace quennet::cli
