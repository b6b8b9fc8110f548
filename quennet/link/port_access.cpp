#include "quennet/link/port_access.h"

#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <QFile>

#include "quennet/link/low_latency_p.h"
#include "quennet/link/quennet_error.h"

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

QString openFailureText(const QString& port, const LineError& error) {
  // QSerialPort refuses a port that another program holds (its lock file) with the same error as
  // one we may not use at all; a device we may read and write that still does not open is busy.
  const QByteArray file = QFile::encodeName(port);
  if (error.number == kErrPortInUse && ::access(file.constData(), R_OK | W_OK) == 0) {
    return QStringLiteral("cannot open %1: the port is busy (another program has it open)")
        .arg(port);
  }
  return QStringLiteral("cannot open %1: %2").arg(port, error.description);
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

QString commsErrorText(const QString& description) {
  return QStringLiteral("Comms Error: ") + description;
}

}  // namespace quennet
