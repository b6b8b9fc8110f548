#pragma once
// The host's own count of what became of its requests, read from the frame log: replies that
// never came, NAKs, BUSY answers, replies with a bad checksum, and how long the device took. The
// validator keeps counters of its own ("Read Rx"); these are the other end's.

#include <cstdint>

#include <QString>

#include "quennet/link/frame_record.h"

namespace tolvar {

class HostCounts {
 public:
  // Counts one record; only the device's side of a transaction counts.
  void count(const quennet::FrameRecord& record);
  void clear() { *this = HostCounts(); }

  int replies() const { return replies_; }
  int timeouts() const { return timeouts_; }
  int naks() const { return naks_; }
  int busy() const { return busy_; }
  int badChecksums() const { return badChecksums_; }
  // The last reply's time from the frame sent, -1 before the first.
  std::int64_t lastLatencyUs() const { return lastLatencyUs_; }
  std::int64_t mostLatencyUs() const { return mostLatencyUs_; }

  // "Host: 2 t/o, 0 NAK, 1 BUSY, 0 chk, 12.5 ms", short enough for a status bar panel.
  QString text() const;
  // The same in words: "2 time-outs, 0 NAK, 1 BUSY, 0 bad checksums; last reply 12.5 ms, most
  // 40.1 ms".
  QString description() const;

 private:
  int replies_ = 0;
  int timeouts_ = 0;
  int naks_ = 0;
  int busy_ = 0;
  int badChecksums_ = 0;
  std::int64_t lastLatencyUs_ = -1;
  std::int64_t mostLatencyUs_ = -1;
};

}  // namespace tolvar
