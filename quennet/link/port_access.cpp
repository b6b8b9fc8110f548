#include "quennet/link/port_access.h"

#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>

#include <QFile>

#include "quennet/link/low_latency_p.h"

namespace quennet {

QString serialPortGroup(const QString& device) {
  struct stat info {};
  const QByteArray path = QFile::encodeName(device);
  if (::stat(path.constData(), &info) == 0 &&
      (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
    if (const group* entry = ::getgrgid(info.st_gid)) return QString::fromLocal8Bit(entry->gr_name);
  }
  return QStringLiteral("dialout");
}

QString permissionDeniedText(const QString& device) {
  return QStringLiteral(
             "Permission denied: only members of group %1 may use this port. Run "
             "`sudo usermod -aG %1 $USER`, then log out and log in again.")
      .arg(serialPortGroup(device));
}

#ifdef __linux__
SerialIoctl kernelSerialIoctl() {
  return [](int fd, unsigned long request, serial_struct* info) {
    return ::ioctl(fd, request, info) == 0 ? 0 : errno;
  };
}

LowLatency requestLowLatency(int fd, const SerialIoctl& ioctl) {
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) != 0) return LowLatency::Unsupported;
  if (info.flags & ASYNC_LOW_LATENCY) return LowLatency::AlreadyOn;
  info.flags |= ASYNC_LOW_LATENCY;
  return ioctl(fd, TIOCSSERIAL, &info) == 0 ? LowLatency::Granted : LowLatency::Refused;
}
#endif

}  // namespace quennet
