#pragma once
// A disk of its own for a service's journal: a small tmpfs mounted on a folder in a mount
// namespace that a holder process keeps (a user namespace too, so that no root is needed where
// the kernel lets users have one). A program started through wrapper() sees the disk at the
// folder; everybody else reaches it at outside(). Gone with the holder.

#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace quennet::testing {

class SmallDisk {
 public:
  SmallDisk() = default;
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  ~SmallDisk() {
    if (holder_.state() == QProcess::NotRunning) return;
    holder_.kill();
    holder_.waitForFinished();
  }

  // Mounts `kib` KiB of tmpfs on `folder` (which must exist). Empty when it is mounted, else why
  // not: a machine without user or mount namespaces.
  QString mount(const QString& folder, int kib) {
    folder_ = folder;
    holder_.start(QStringLiteral("unshare"),
                  {"-rm", "sh", "-c",
                   QStringLiteral("mount -t tmpfs -o size=%1k tmpfs \"$0\" && echo mounted && "
                                  "exec cat")
                       .arg(kib),
                   folder});
    if (!holder_.waitForReadyRead(20000) || !holder_.readLine().startsWith("mounted")) {
      const QString why = QString::fromLocal8Bit(holder_.readAllStandardError()).trimmed();
      holder_.kill();
      holder_.waitForFinished();
      return why.isEmpty() ? QStringLiteral("unshare did not mount") : why;
    }
    // Root enters the mount namespace alone: inside the user namespace too it would lose its say
    // over a terminal that a killed service left exclusive.
    const QString pid = QString::number(holder_.processId());
    wrapper_ = geteuid() == 0
                   ? QStringList{"nsenter", "-m", "-t", pid, "--"}
                   : QStringList{"nsenter", "--preserve-credentials", "-U", "-m", "-t", pid, "--"};
    outside_ = QStringLiteral("/proc/%1/root%2").arg(pid, folder_);
    return {};
  }
  bool mounted() const { return !wrapper_.isEmpty(); }
  // The command that runs a program inside the namespace, to be put before it.
  QStringList wrapper() const { return wrapper_; }
  // The disk's folder as seen from outside the namespace.
  QString outside() const { return outside_; }
  // The folder as programs inside see it.
  QString folder() const { return folder_; }

  // Writes until the disk takes no more; false when the filler could not even be created.
  bool fill() {
    QFile filler(fillerPath());
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Append)) return false;
    const QByteArray chunk(4096, '\0');
    while (filler.write(chunk) == chunk.size() && filler.flush()) {
    }
    return true;
  }
  // Room again: the filler is removed.
  bool clear() { return QFile::remove(fillerPath()); }

 private:
  QString fillerPath() const { return outside_ + QStringLiteral("/fill"); }

  QProcess holder_;
  QString folder_;
  QString outside_;
  QStringList wrapper_;
};

}  // namespace quennet::testing
