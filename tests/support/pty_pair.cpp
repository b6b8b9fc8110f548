#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

QString missingPortName() {
  return QStringLiteral("/dev/quennet-no-such-port-%1").arg(::getpid());
}

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    throw std::runtime_error("cannot open a pseudo-terminal");
  }
  slaveName_ = ptsname(master_);
  slaveKeeper_ = ::open(slaveName_.c_str(), O_RDWR | O_NOCTTY);
  termios tio{};
  tcgetattr(slaveKeeper_, &tio);
  cfmakeraw(&tio);
  tcsetattr(slaveKeeper_, TCSANOW, &tio);
}

PtyPair::~PtyPair() {
  if (slaveKeeper_ >= 0) ::close(slaveKeeper_);
  if (master_ >= 0) ::close(master_);
}

void PtyPair::writeMaster(const std::vector<unsigned char>& bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::vector<unsigned char> PtyPair::readMaster(int timeoutMs) const {
  std::vector<unsigned char> out;
  pollfd pfd{master_, POLLIN, 0};
  while (::poll(&pfd, 1, timeoutMs) > 0 && (pfd.revents & POLLIN)) {
    unsigned char buf[512];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
    timeoutMs = 5;
  }
  return out;
}

PtyResponder::PtyResponder(const PtyPair& pty, Answer answer)
    : pty_(pty), answer_(std::move(answer)) {
  thread_ = std::thread([this] {
    std::vector<unsigned char> pending;
    while (!stop_) {
      pollfd pfd{pty_.masterFd(), POLLIN, 0};
      if (::poll(&pfd, 1, 20) <= 0 || !(pfd.revents & POLLIN)) continue;
      unsigned char buf[512];
      const ssize_t n = ::read(pty_.masterFd(), buf, sizeof buf);
      if (n <= 0) continue;
      pending.insert(pending.end(), buf, buf + n);
      // A ccTalk frame is complete at N + 5 bytes.
      while (pending.size() >= 2 && pending.size() >= static_cast<std::size_t>(pending[1]) + 5) {
        const std::size_t length = static_cast<std::size_t>(pending[1]) + 5;
        std::vector<unsigned char> frame(pending.begin(),
                                         pending.begin() + static_cast<long>(length));
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
        pty_.writeMaster(answer_(frame));
      }
    }
  });
}

PtyResponder::~PtyResponder() {
  stop_ = true;
  thread_.join();
}
