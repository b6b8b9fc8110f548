#pragma once
// What the virtual validator sees on its line, for --capture and --trace: the host's bytes as
// they arrive and the devices' bytes as they leave. The echo is left out: on a shared wire it is
// the host's own bytes, seen once.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <QFile>
#include <QString>

#include "quennet/link/frame_splitter.h"

namespace bnvsim {

class LineTap {
 public:
  // `capturePath` empty: no capture; `trace`: decoded frames to standard error.
  LineTap(QString capturePath, bool trace);

  bool active() const { return trace_ || !capturePath_.isEmpty(); }
  // Opens the capture file; false with a reason when it cannot be written.
  bool open(double nowMs, QString* error);
  void host(std::span<const std::uint8_t> bytes, double nowMs, bool crc);
  void device(std::span<const std::uint8_t> bytes, double nowMs, bool crc);
  // A frame broken off by the inter-byte gap is traced once the gap has passed.
  void expire(double nowMs);
  std::optional<double> deadlineMs() const;
  void finish();

 private:
  void take(quennet::FrameDirection direction, std::span<const std::uint8_t> bytes, double nowMs,
            bool crc);
  void trace();
  std::int64_t sinceStartUs(double nowMs) const;

  QString capturePath_;
  bool trace_;
  QFile capture_;
  bool captureFailed_ = false;
  double startMs_ = 0;
  bool crc_ = true;
  quennet::FrameSplitter splitter_{true};
  quennet::FramePairing pairing_;
  std::vector<quennet::FrameRecord> records_;
};

}  // namespace bnvsim
