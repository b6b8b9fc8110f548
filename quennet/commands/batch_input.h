#pragma once
// A batch of commands, one a line, as `quennet batch` reads it from standard input and Tolvar's
// script run from a file: the input cut into lines, and a line cut into its words and what it
// expects. Only a whole line (up to its newline) is a command: a writer cut off mid-line
// ("Dispense_Coins 2" of "Dispense_Coins 25") must not pay two coins. A line holds at most
// kMaxBatchLine bytes; a longer one is skipped as it streams in, so memory stays bounded and
// every byte is looked at once.
//
// A line's words are a command line's after the options. `#` at the start of a word begins a
// comment; a comment that starts with `expect` says what the line expects: `# expect ack` (the
// device acknowledged), `# expect nak` (it refused: a NAK or a refusal byte) or `# expect N`
// (result code N, acknowledged or not); words after it are a comment. Any other comment that
// begins with `expect` (`# expect: nak`, `#expect=nak`) is an error, as is a quote left open: the
// line is not run.

#include <cstddef>
#include <optional>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "quennet/quennet_export.h"

namespace quennet {

/// The longest line a batch runs, in bytes.
inline constexpr qsizetype kMaxBatchLine = 64 * 1024;

/// A line of the batch: its text, or why it is not run.
struct BatchLine {
  QString text;   ///< the line without its newline
  QString error;  ///< empty for a line to run
};

/// The input cut into lines as it streams in.
class QUENNET_EXPORT BatchLines {
 public:
  /// Bytes as they were read.
  void append(const char* data, qsizetype size);
  /// The next line the input holds, if a newline has ended one.
  std::optional<BatchLine> next();
  /// At the end of the input: the unfinished last line, as an error, when it holds more than
  /// blanks. Nothing after that.
  std::optional<BatchLine> finish();
  /// Bytes held for the line not yet ended (at most kMaxBatchLine).
  qsizetype pending() const { return buffer_.size() - start_; }

 private:
  QByteArray buffer_;
  qsizetype start_ = 0;    // where the current line begins in buffer_
  qsizetype scanned_ = 0;  // bytes of buffer_ already searched for a newline
  qsizetype skipped_ = 0;  // bytes of a too long line dropped so far
  bool overlong_ = false;
};

/// What a line expects of its command's outcome.
struct QUENNET_EXPORT ExpectedResult {
  /// `ack`, `nak` or a result code.
  enum class Kind { Acknowledged, Refused, Result };
  Kind kind = Kind::Acknowledged;  ///< what is expected
  int result = 0;                  ///< the code, for Kind::Result

  /// Whether an outcome meets it: the result code, whether a frame went out and whether the
  /// device acknowledged it.
  bool met(int result, bool sent, bool acknowledged) const;
  /// As a line writes it: "ack", "nak" or the code.
  QString text() const;
};

/// A line cut into what it runs and what it expects.
struct BatchCommand {
  QStringList words;                       ///< empty for a blank line or a comment alone
  std::optional<ExpectedResult> expected;  ///< from its `# expect` comment, if any
  QString error;  ///< an expectation that cannot be read, or an open quote: the line is not run
};
/// Cuts a line into its words and its expectation.
QUENNET_EXPORT BatchCommand parseBatchCommand(const QString& text);

}  // namespace quennet
