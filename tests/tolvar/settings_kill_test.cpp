// "tolvar.ini" under SIGKILL: a child writes the two versions in turn and is killed at random
// moments; the file left behind must always be one whole version.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <random>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "support/settings_versions.h"

extern char** environ;

namespace {

constexpr int kKills = 300;
constexpr int kLongestDelayUs = 8000;

QByteArray contents(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Starts the writer with its standard output on a pipe; returns once it has begun writing.
pid_t startWriter(const QString& path) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  const QByteArray pathBytes = path.toLocal8Bit();
  char* argv[] = {const_cast<char*>(QUENNET_SETTINGS_WRITER), const_cast<char*>(pathBytes.data()),
                  nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, QUENNET_SETTINGS_WRITER, &actions, nullptr, argv, environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  char started = 0;
  if (pid > 0 && ::read(pipeFds[0], &started, 1) != 1) pid = -1;
  ::close(pipeFds[0]);
  return pid;
}

}  // namespace

TEST(SettingsFileUnderKill, EveryKillLeavesOneWholeVersion) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath(QStringLiteral("tolvar.ini"));
  const auto versions = testsupport::settingsVersions();
  const QByteArray texts[2] = {tolvar::settingsFileText(versions[0]),
                               tolvar::settingsFileText(versions[1])};
  ASSERT_NE(texts[0].size(), texts[1].size());
  QString error;
  ASSERT_TRUE(tolvar::WriteSettings(path, versions[0], &error)) << error.toStdString();

  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayUs(0, kLongestDelayUs);
  int found[2] = {0, 0};
  int leftovers = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    const pid_t pid = startWriter(path);
    ASSERT_GT(pid, 0) << "cannot start " << QUENNET_SETTINGS_WRITER;
    usleep(static_cast<useconds_t>(delayUs(random)));
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    // A writer that stopped by itself was not killed mid-write at all.
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;

    const QByteArray now = contents(path);
    ASSERT_TRUE(now == texts[0] || now == texts[1])
        << "kill " << kill << " (seed " << seed << ") left " << now.size() << " bytes:\n"
        << now.toStdString();
    ++found[now == texts[1] ? 1 : 0];
    // A temporary file a kill left behind is not the settings file; clear it for the next round.
    for (const QString& name : QDir(dir.path()).entryList(QDir::Files)) {
      if (name != u"tolvar.ini") leftovers += QFile::remove(dir.filePath(name)) ? 1 : 0;
    }
  }
  // Both versions seen: the kills did land after writes had replaced the file.
  EXPECT_GT(found[0], 0);
  EXPECT_GT(found[1], 0);
  std::printf("%d kills: first version %d, second version %d, temporary files left %d\n", kKills,
              found[0], found[1], leftovers);
}
