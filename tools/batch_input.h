#pragma once
// Standard input of `quennet batch` cut into lines. Only a whole line (up to its newline) is a
// command: a writer cut off mid-line ("Dispense_Coins 2" of "Dispense_Coins 25") must not pay
// two coins. A line holds at most kMaxBatchLine bytes; a longer one is skipped as it streams in,
// so memory stays bounded and every byte is looked at once.

#include <cstddef>
#include <optional>

#include <QByteArray>
#include <QString>

namespace quennet::cli {

inline constexpr qsizetype kMaxBatchLine = 64 * 1024;

// A line of the batch: its text, or why it is not run.
struct BatchLine {
  QString text;
  QString error;  // empty for a line to run
};

class BatchLines {
 public:
  // Bytes as they were read.
  void append(const char* data, qsizetype size);
  // The next line the input holds, if a newline has ended one.
  std::optional<BatchLine> next();
  // At the end of the input: the unfinished last line, as an error, when it holds more than
  // blanks. Nothing after that.
  std::optional<BatchLine> finish();
  // Bytes held for the line not yet ended (at most kMaxBatchLine).
  qsizetype pending() const { return buffer_.size() - start_; }

 private:
  QByteArray buffer_;
  qsizetype start_ = 0;    // where the current line begins in buffer_
  qsizetype scanned_ = 0;  // bytes of buffer_ already searched for a newline
  qsizetype skipped_ = 0;  // bytes of a too long line dropped so far
  bool overlong_ = false;
};

}  // namespace quennet::cli
