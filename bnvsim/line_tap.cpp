#include "bnvsim/line_tap.h"

#include <cmath>
#include <cstdio>

#include "quennet/link/frame_text.h"
#include "quennet/link/line_capture.h"

namespace bnvsim {

LineTap::LineTap(QString capturePath, bool trace)
    : capturePath_(std::move(capturePath)), trace_(trace) {}

std::int64_t LineTap::sinceStartUs(double nowMs) const {
  return std::llround((nowMs - startMs_) * 1000);
}

bool LineTap::open(double nowMs, QString* error) {
  startMs_ = nowMs;
  if (capturePath_.isEmpty()) return true;
  capture_.setFileName(capturePath_);
  const QByteArray first = QByteArray(quennet::kCaptureFirstLine) + '\n';
  if (!capture_.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      capture_.write(first) != first.size() || !capture_.flush()) {
    if (error)
      *error = QStringLiteral("cannot write %1: %2").arg(capturePath_, capture_.errorString());
    capture_.close();
    return false;
  }
  return true;
}

void LineTap::host(std::span<const std::uint8_t> bytes, double nowMs, bool crc) {
  take(quennet::FrameDirection::Host, bytes, nowMs, crc);
}

void LineTap::device(std::span<const std::uint8_t> bytes, double nowMs, bool crc) {
  take(quennet::FrameDirection::Device, bytes, nowMs, crc);
}

void LineTap::take(quennet::FrameDirection direction, std::span<const std::uint8_t> bytes,
                   double nowMs, bool crc) {
  if (bytes.empty()) return;
  const std::int64_t timeUs = sinceStartUs(nowMs);
  if (capture_.isOpen() && !captureFailed_) {
    const QByteArray line =
        quennet::captureLine({timeUs, direction,
                              QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<qsizetype>(bytes.size()))}) +
        '\n';
    // Flushed line by line, so a capture read while we serve is whole up to its last line.
    if (capture_.write(line) != line.size() || !capture_.flush()) {
      captureFailed_ = true;
      std::fprintf(stderr, "bnvsim: capture stopped: %s\n", qPrintable(capture_.errorString()));
    }
  }
  if (!trace_) return;
  if (crc != crc_) {
    // The frame kind changed from the console: what was pending belongs to the old kind.
    splitter_.finish(records_);
    splitter_ = quennet::FrameSplitter(crc);
    crc_ = crc;
  }
  splitter_.feed(bytes, timeUs, records_);
  trace();
}

void LineTap::expire(double nowMs) {
  if (!trace_) return;
  splitter_.expire(sinceStartUs(nowMs), records_);
  trace();
}

std::optional<double> LineTap::deadlineMs() const {
  const auto due = splitter_.deadline();
  if (!due) return std::nullopt;
  return startMs_ + static_cast<double>(*due) / 1000;
}

void LineTap::finish() {
  if (trace_) {
    splitter_.finish(records_);
    trace();
  }
  capture_.close();
}

void LineTap::trace() {
  for (quennet::FrameRecord& record : records_) {
    pairing_.label(record);
    const QString line = quennet::frameLine(record, static_cast<double>(record.timeUs) / 1e6);
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
  }
  if (!records_.empty()) std::fflush(stderr);
  records_.clear();
}

}  // namespace bnvsim
