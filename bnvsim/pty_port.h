#pragma once
// The pseudo-terminal pair the simulator serves: the master side is ours, the slave side is the
// host's serial port.

#include <QString>

namespace bnvsim {

class PtyPort {
 public:
  PtyPort() = default;
  ~PtyPort() { close(); }
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  bool open(QString* error);
  void close();
  int masterFd() const { return master_; }
  QString slavePath() const { return slavePath_; }

 private:
  int master_ = -1;
  // Held open so the master never sees a hang-up while no host has the slave open, and so the
  // slave stays in raw mode between hosts.
  int slaveKeeper_ = -1;
  QString slavePath_;
};

}  // namespace bnvsim
