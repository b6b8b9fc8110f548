#include "quennet/link/line_capture.h"

#include <cmath>

#include <QList>

namespace quennet {

namespace {}  // namespace

std::optional<CaptureChunk> parseCaptureLine(const QByteArray& line) {
  const QList<QByteArray> words = line.simplified().split(' ');
  if (words.size() < 2) return std::nullopt;
  CaptureChunk chunk;
  bool ok = false;
  const double seconds = words[0].toDouble(&ok);
  if (!ok || seconds < 0) return std::nullopt;
  chunk.timeUs = std::llround(seconds * 1e6);
  if (words[1] == "host") {
    chunk.direction = FrameDirection::Host;
  } else if (words[1] == "device") {
    chunk.direction = FrameDirection::Device;
  } else if (words[1] != "line") {
    return std::nullopt;
  }
  for (qsizetype i = 2; i < words.size(); ++i) {
    const uint byte = words[i].toUInt(&ok, 16);
    if (!ok || byte > 0xFF || words[i].size() > 2) return std::nullopt;
    chunk.bytes.append(static_cast<char>(byte));
  }
  return chunk;
}

QByteArray captureLine(const CaptureChunk& chunk) {
  QByteArray line = QByteArray::number(static_cast<double>(chunk.timeUs) / 1e6, 'f', 6);
  switch (chunk.direction) {
    case FrameDirection::Host:
      line += " host";
      break;
    case FrameDirection::Device:
      line += " device";
      break;
    case FrameDirection::Unknown:
      line += " line";
      break;
  }
  for (char byte : chunk.bytes) {
    line += ' ';
    line +=
        QByteArray::number(static_cast<std::uint8_t>(byte), 16).rightJustified(2, '0').toUpper();
  }
  return line;
}

std::optional<std::vector<CaptureChunk>> parseCapture(const QByteArray& content, QString* error) {
  std::vector<CaptureChunk> chunks;
  if (!content.startsWith(kCaptureFirstLine)) {
    chunks.push_back(CaptureChunk{0, FrameDirection::Unknown, content});
    return chunks;
  }
  const QList<QByteArray> lines = content.split('\n');
  for (qsizetype n = 1; n < lines.size(); ++n) {
    const QByteArray line = lines[n].trimmed();
    if (line.isEmpty() || line.startsWith('#')) continue;
    const auto chunk = parseCaptureLine(line);
    if (!chunk) {
      if (error) *error = QStringLiteral("line %1 of the capture does not read").arg(n + 1);
      return std::nullopt;
    }
    chunks.push_back(*chunk);
  }
  return chunks;
}

}  // namespace quennet
