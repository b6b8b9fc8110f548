#include "quennetd/instance_lock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include <QCryptographicHash>

namespace quennetd {

namespace {

// The name hashed, so that any length fits the socket address.
sockaddr_un addressOf(const QString& name, socklen_t* length) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const QByteArray path =
      "quennetd/" + QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256).toHex();
  // sun_path[0] stays 0: the abstract namespace, nothing in the file system.
  std::memcpy(address.sun_path + 1, path.constData(), static_cast<std::size_t>(path.size()));
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
  return address;
}

}  // namespace

InstanceLock::~InstanceLock() {
  release();
}

void InstanceLock::release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool InstanceLock::acquire(const QString& name, pid_t* holder, QString* error) {
  release();
  *holder = 0;
  socklen_t length = 0;
  const sockaddr_un address = addressOf(name, &length);
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
  }
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
      ::listen(fd_, 1) == 0)
    return true;
  const int why = errno;
  release();
  if (why != EADDRINUSE) {
    *error = QString::fromLocal8Bit(std::strerror(why));
    return false;
  }
  // Held: the holder's process id comes with a connection to its socket.
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::connect(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
        ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) {
      *holder = peer.pid;
    }
    ::close(probe);
  }
  return false;
}

}  // namespace quennetd
