#include "tools/batch_input.h"

#include <cstring>

namespace quennet::cli {

namespace {

QString tooLong(qsizetype size) {
  return QStringLiteral("line of %1 bytes is longer than %2: not run").arg(size).arg(kMaxBatchLine);
}

}  // namespace

void BatchLines::append(const char* data, qsizetype size) {
  // Drop what earlier lines used before the buffer grows, so it holds one line at most.
  if (start_ > 0) {
    buffer_.remove(0, start_);
    scanned_ -= start_;
    start_ = 0;
  }
  buffer_.append(data, size);
}

std::optional<BatchLine> BatchLines::next() {
  const char* const data = buffer_.constData();
  const auto* end = static_cast<const char*>(
      std::memchr(data + scanned_, '\n', static_cast<std::size_t>(buffer_.size() - scanned_)));
  if (!end) {
    scanned_ = buffer_.size();
    // A line past the limit is only counted from here on, never kept.
    if (pending() > kMaxBatchLine) {
      overlong_ = true;
      skipped_ += pending();
      buffer_.clear();
      start_ = scanned_ = 0;
    }
    return std::nullopt;
  }
  const qsizetype stop = end - data;
  const qsizetype length = stop - start_;
  BatchLine line;
  if (overlong_ || length > kMaxBatchLine) {
    line.error = tooLong(skipped_ + length);
  } else {
    line.text = QString::fromUtf8(data + start_, length);
  }
  overlong_ = false;
  skipped_ = 0;
  start_ = scanned_ = stop + 1;
  return line;
}

std::optional<BatchLine> BatchLines::finish() {
  const QByteArray rest = buffer_.mid(start_);
  const bool blank = rest.trimmed().isEmpty() && !overlong_;
  const qsizetype size = skipped_ + rest.size();
  buffer_.clear();
  start_ = scanned_ = skipped_ = 0;
  const bool overlong = overlong_;
  overlong_ = false;
  if (blank) return std::nullopt;
  if (overlong) return BatchLine{{}, tooLong(size)};
  return BatchLine{{}, QStringLiteral("last line has no newline (the input was cut off): not run")};
}

}  // namespace quennet::cli
