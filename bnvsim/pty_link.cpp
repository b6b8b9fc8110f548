#include "bnvsim/pty_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <QFile>

namespace bnvsim {

namespace {

QString reason(const QString& path, const char* what) {
  return QStringLiteral("cannot link %1: %2").arg(path, QLatin1String(what));
}

}  // namespace

bool PtyLink::create(const QString& path, const QString& target, QString* error) {
  remove();
  const QByteArray name = QFile::encodeName(path);
  struct stat info {};
  if (lstat(name.constData(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) {
      if (error) *error = reason(path, "it exists and is not a symbolic link");
      return false;
    }
    if (unlink(name.constData()) != 0 && errno != ENOENT) {
      if (error) *error = reason(path, strerror(errno));
      return false;
    }
  }
  // symlink() never overwrites: whatever appeared at the path meanwhile stays as it is.
  if (symlink(QFile::encodeName(target).constData(), name.constData()) != 0) {
    if (error) *error = reason(path, strerror(errno));
    return false;
  }
  path_ = path;
  target_ = target;
  return true;
}

void PtyLink::remove() {
  if (path_.isEmpty()) return;
  const QByteArray name = QFile::encodeName(path_);
  char buffer[4096];
  const ssize_t length = readlink(name.constData(), buffer, sizeof buffer);
  if (length > 0 && QFile::decodeName(QByteArray(buffer, static_cast<int>(length))) == target_) {
    unlink(name.constData());
  }
  path_.clear();
}

}  // namespace bnvsim
