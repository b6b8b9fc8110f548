// "tolvar.ini": reading over defaults, rejecting bad values, the exact text written, and the
// old file surviving a failed write.
#include <sys/resource.h>

#include <csignal>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "tolvar/mainwindow/settings/settings_file.h"
#include "tolvar/mainwindow/settings/settings_location.h"

using tolvar::ReadSettings;
using tolvar::SettingsFileData;

namespace {

const QSize kScreen(1920 * 15, 1080 * 15);

SettingsFileData readText(const QByteArray& text) {
  QTemporaryDir dir;
  const QString path = dir.filePath("tolvar.ini");
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(text);
  file.close();
  return ReadSettings(path, kScreen);
}

}  // namespace

TEST(SettingsFile, MissingFileGivesTheDefaults) {
  const SettingsFileData data = ReadSettings("/nonexistent/tolvar.ini", kScreen);
  EXPECT_EQ(data.settings.Commport, 1);
  EXPECT_EQ(data.settings.PollInt, 200);
  EXPECT_EQ(data.settings.ShwMsg, 1);
  EXPECT_EQ(data.settings.MsgEcho, 1);
  EXPECT_FALSE(data.settings.SnglStp);
  EXPECT_EQ(data.settings.SlvAddr, 40);
  EXPECT_EQ(data.keyText, "582604");
  EXPECT_EQ(data.top, 0);
  EXPECT_EQ(data.left, 0);
}

TEST(SettingsFile, LinesAreTrimmedKeysExactAndTheLaterLineWins) {
  const SettingsFileData data = readText(
      "no equals sign here\r\n\r\n   PollInt   =   150   \r\npollint = 99\r\nUnknown = 7\r\n"
      "SlvAddr = 12\r\nSlvAddr = 41\r\nKeyCode = 1234\r\nEncrypt = 1\r\nSnglStp = 1\r\n"
      "PortName = /dev/ttyUSB0\r\n");
  EXPECT_EQ(data.settings.PollInt, 150);
  EXPECT_EQ(data.settings.SlvAddr, 41);
  EXPECT_EQ(data.keyText, "001234");
  EXPECT_TRUE(data.encrypt);
  EXPECT_TRUE(data.settings.SnglStp);
  EXPECT_EQ(data.settings.PortName, "/dev/ttyUSB0");
}

TEST(SettingsFile, WindowPositionIsClampedToTheScreen) {
  SettingsFileData data = readText("FrmTop = -300\r\nFrmLft = 99999999\r\n");
  EXPECT_EQ(data.top, 0);
  EXPECT_EQ(data.left, kScreen.width());
  data = readText("FrmTop = 99999999\r\nFrmLft = 1200\r\n");
  EXPECT_EQ(data.top, kScreen.height());
  EXPECT_EQ(data.left, 1200);
}

TEST(SettingsFile, BadValuesAreRejectedAndTheDefaultKept) {
  const SettingsFileData data = readText(
      "Commport = x\r\nEncrypt = 5\r\nSlvAddr = 300\r\nPollInt = 0\r\nShwMsg = 2\r\n"
      "SnglStp = yes\r\nKeyCode = 12ab56\r\nMsgEcho = -1\r\nFrmTop = up\r\n"
      "Checksum = 12\r\nReplyTimeout = 10001\r\nCaptureSize = 0\r\nCaptureCount = 1001\r\n");
  EXPECT_EQ(data.settings.Commport, 1);
  EXPECT_FALSE(data.encrypt);
  EXPECT_EQ(data.settings.SlvAddr, 40);
  EXPECT_EQ(data.settings.PollInt, 200);
  EXPECT_EQ(data.settings.ShwMsg, 1);
  EXPECT_FALSE(data.settings.SnglStp);
  EXPECT_EQ(data.keyText, "582604");
  EXPECT_EQ(data.settings.MsgEcho, 1);
  EXPECT_EQ(data.top, 0);
  EXPECT_EQ(data.settings.Checksum, tolvar::HostSettings::kCrc16);
  EXPECT_EQ(data.settings.ReplyTimeout, 0);
  EXPECT_EQ(data.settings.CaptureSize, 10);
  EXPECT_EQ(data.settings.CaptureCount, 10);
  // A fraction is a number: it is rounded, not refused.
  EXPECT_EQ(readText("PollInt = 150.6\r\n").settings.PollInt, 151);
}

TEST(SettingsFile, WrittenInTheExactLineFormat) {
  SettingsFileData data;
  data.keyText = "001234";
  data.top = 1500;
  data.left = -45;
  EXPECT_EQ(tolvar::settingsFileText(data),
            QByteArray("Commport = 1\r\nMsgFmt = 1\r\nMsgEcho = 1\r\nSlvAddr = 40\r\n"
                       "PollInt = 200\r\nEncrypt = 0\r\nKeyCode = 1234\r\nShwMsg = 1\r\n"
                       "SnglStp = 0\r\nFrmTop = 1500\r\nFrmLft = -45\r\n"));
  data.settings.PortName = "/dev/ttyUSB0";
  EXPECT_TRUE(
      tolvar::settingsFileText(data).endsWith("FrmLft = -45\r\nPortName = /dev/ttyUSB0\r\n"));
  // The host link's lines follow, only where they differ from the defaults.
  data.settings.Checksum = tolvar::HostSettings::kChecksum8;
  data.settings.ReplyTimeout = 900;
  EXPECT_TRUE(tolvar::settingsFileText(data).endsWith(
      "PortName = /dev/ttyUSB0\r\nChecksum = 8\r\nReplyTimeout = 900\r\n"));

  // What was written reads back to the same values.
  QTemporaryDir dir;
  data.settings.SnglStp = true;
  data.encrypt = true;
  ASSERT_TRUE(tolvar::WriteSettings(dir.filePath("tolvar.ini"), data, nullptr));
  const SettingsFileData back = ReadSettings(dir.filePath("tolvar.ini"), kScreen);
  EXPECT_EQ(back.keyText, "001234");
  EXPECT_TRUE(back.settings.SnglStp);
  EXPECT_TRUE(back.encrypt);
  EXPECT_EQ(back.top, 1500);
  EXPECT_EQ(back.left, 0);
  EXPECT_EQ(back.settings.PortName, "/dev/ttyUSB0");
  EXPECT_EQ(back.settings.Checksum, tolvar::HostSettings::kChecksum8);
  EXPECT_EQ(back.settings.ReplyTimeout, 900);
}

TEST(SettingsFile, FailedWriteKeepsTheOldFile) {
  QTemporaryDir dir;
  const QString path = dir.filePath("tolvar.ini");
  const QByteArray old = "PollInt = 150\r\n";
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(old);
  }
  // Nothing may be created in the folder; root ignores permissions, so mark it immutable too.
  QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner);
  const bool immutable = QProcess::execute("chattr", {"+i", dir.path()}) == 0;
  QFile probe(dir.filePath("probe"));
  if (probe.open(QIODevice::WriteOnly)) {
    probe.remove();
    QProcess::execute("chattr", {"-i", dir.path()});
    GTEST_SKIP() << "cannot make a folder unwritable here";
  }
  QString error;
  const bool written = tolvar::WriteSettings(path, SettingsFileData{}, &error);
  if (immutable) QProcess::execute("chattr", {"-i", dir.path()});
  QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  EXPECT_FALSE(written);
  EXPECT_FALSE(error.isEmpty());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), old);
}

// The disk fills up part-way through the file: the bytes only reach Qt's buffer at first, and
// the flush fails after a few of them are on disk. The old file must stay, and no temporary
// file may be left behind. A file size limit plays the full disk.
TEST(SettingsFile, ADiskFullPartWayKeepsTheOldFile) {
  QTemporaryDir dir;
  const QString path = dir.filePath("tolvar.ini");
  const QByteArray old = "PollInt = 150\r\n";
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(old);
  }
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit full{20, limit.rlim_max};
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  QString error;
  const bool written = tolvar::WriteSettings(path, SettingsFileData{}, &error);
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(written);
  EXPECT_TRUE(error.startsWith(path + ": ")) << error.toStdString();
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), old);
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"tolvar.ini"});
}

// Paths that are not regular files are not opened: /dev/zero never ends.
TEST(SettingsFile, ADeviceIsNeitherReadNorWritten) {
  EXPECT_EQ(ReadSettings("/dev/zero", kScreen).settings.PollInt, 200);
  QString error;
  EXPECT_FALSE(tolvar::WriteSettings("/dev/zero", SettingsFileData{}, &error));
  EXPECT_EQ(error, "/dev/zero: not a regular file");
}

TEST(SettingsLocation, ExplicitPathThenProgramFolderThenUserFolder) {
  QTemporaryDir dir;
  EXPECT_EQ(tolvar::settingsFilePath(dir.filePath("mine.ini"), "/usr/bin"),
            dir.filePath("mine.ini"));
  EXPECT_EQ(tolvar::settingsFilePath({}, dir.path()), QDir(dir.path()).filePath("tolvar.ini"));
  const QString unusable = tolvar::settingsFilePath({}, "/nonexistent/program/folder");
  EXPECT_TRUE(unusable.endsWith("/tolvar.ini"));
  EXPECT_FALSE(unusable.startsWith("/nonexistent"));
}
