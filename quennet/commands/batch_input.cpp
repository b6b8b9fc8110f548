#include "quennet/commands/batch_input.h"

#include <cstring>

#include <QProcess>
#include <QRegularExpression>

#include "quennet/link/link_engine.h"

namespace quennet {

namespace {

// The words of `# expect ack|nak|N`, read and written.
constexpr QLatin1StringView kExpectAck("ack");
constexpr QLatin1StringView kExpectNak("nak");
constexpr QLatin1StringView kExpectWord("expect");

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

bool ExpectedResult::met(int code, bool sent, bool acknowledged) const {
  switch (kind) {
    case Kind::Acknowledged:
      return code == kResultOk && sent && acknowledged;
    case Kind::Refused:
      return code == kResultOk && sent && !acknowledged;
    case Kind::Result:
      return code == result;
  }
  return false;
}

QString ExpectedResult::text() const {
  switch (kind) {
    case Kind::Acknowledged:
      return kExpectAck;
    case Kind::Refused:
      return kExpectNak;
    case Kind::Result:
      break;
  }
  return QString::number(result);
}

BatchCommand parseBatchCommand(const QString& text) {
  // Quotes as QProcess::splitCommand() reads them: a lone `"` opens or closes a quoted part, two
  // together are nothing and three are a literal quote. The comment starts at a `#` that begins
  // a word outside quotes.
  qsizetype comment = text.size();
  bool quoted = false;
  int quotes = 0;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == u'"') {
      quotes = quotes == 2 ? 0 : quotes + 1;
      continue;
    }
    if (quotes == 1) quoted = !quoted;
    quotes = 0;
    if (!quoted && text[i] == u'#' && (i == 0 || text[i - 1].isSpace())) {
      comment = i;
      break;
    }
  }
  if (quotes == 1) quoted = !quoted;
  BatchCommand command;
  if (quoted) {
    command.error = QStringLiteral("a quote is not closed: not run");
    return command;
  }
  command.words = QProcess::splitCommand(text.left(comment));
  // A comment that starts with `expect` is an expectation, or an error: a misspelt one must
  // never let the line pass unchecked.
  const QString note = text.mid(comment + 1).trimmed();
  if (!note.startsWith(kExpectWord, Qt::CaseInsensitive)) return command;
  const QStringList words = note.split(QRegularExpression(QStringLiteral("\\s+")));
  const QString what = words[0].size() == kExpectWord.size() ? words.value(1).toLower() : QString();
  bool number = false;
  const int code = what.toInt(&number);
  if (what == kExpectAck) {
    command.expected = ExpectedResult{};
  } else if (what == kExpectNak) {
    command.expected = ExpectedResult{ExpectedResult::Kind::Refused, 0};
  } else if (number) {
    command.expected = ExpectedResult{ExpectedResult::Kind::Result, code};
  }
  if (!command.expected) {
    command.words.clear();
    command.error = QStringLiteral("%1 takes %2, %3 or a result code: ")
                        .arg(kExpectWord, kExpectAck, kExpectNak) +
                    text.mid(comment).trimmed();
  }
  return command;
}

}  // namespace quennet
