#include "bnvsim/pty_port.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bnvsim {

bool PtyPort::open(QString* error) {
  const auto failed = [&](const char* step) {
    if (error) *error = QStringLiteral("%1: %2").arg(QLatin1String(step), strerror(errno));
    close();
    return false;
  };
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0) return failed("posix_openpt");
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) return failed("unlockpt");
  char name[128] = {};
  if (ptsname_r(master_, name, sizeof name) != 0) return failed("ptsname");
  slaveKeeper_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveKeeper_ < 0) return failed(name);
  termios raw{};
  if (tcgetattr(slaveKeeper_, &raw) != 0) return failed("tcgetattr");
  cfmakeraw(&raw);
  cfsetspeed(&raw, B9600);
  if (tcsetattr(slaveKeeper_, TCSANOW, &raw) != 0) return failed("tcsetattr");
  slavePath_ = QString::fromLocal8Bit(name);
  return true;
}

void PtyPort::close() {
  if (slaveKeeper_ >= 0) ::close(slaveKeeper_);
  if (master_ >= 0) ::close(master_);
  slaveKeeper_ = master_ = -1;
}

}  // namespace bnvsim
