#pragma once
// A pseudo-terminal pair for end-to-end tests: the host opens slaveName(), the test plays the
// device on the master side from a thread of its own.

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <QString>

// A serial device that does not exist, named for this process alone: the serial port takes a
// lock named after the device before it finds the device missing, so two test programs trying one
// name at the same moment would see "in use" instead of "no such port".
QString missingPortName();

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int masterFd() const { return master_; }
  QString slaveName() const { return QString::fromStdString(slaveName_); }
  void writeMaster(const std::vector<unsigned char>& bytes) const;
  // Reads what is waiting on the master side within `timeoutMs`.
  std::vector<unsigned char> readMaster(int timeoutMs) const;

 private:
  int master_ = -1;
  int slaveKeeper_ = -1;  // keeps the slave side alive between host opens
  std::string slaveName_;
};

// Plays a device on a PtyPair: collects host bytes until `frameComplete` says a frame is in,
// then writes what `answer` returns. Runs until destroyed.
class PtyResponder {
 public:
  using Answer = std::function<std::vector<unsigned char>(const std::vector<unsigned char>&)>;
  PtyResponder(const PtyPair& pty, Answer answer);
  ~PtyResponder();

 private:
  const PtyPair& pty_;
  Answer answer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
