#include "tools/bus_monitor.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>

#include "quennet/link/frame_splitter.h"
#include "quennet/link/frame_text.h"
#include "quennet/link/line_capture.h"
#include "quennet/link/qt_serial_line.h"
#include "tools/cli_options.h"
#include "tools/stop_signal.h"

namespace quennet::cli {

namespace {

// How often a quiet line looks at keepRunning.
constexpr int kQuietSliceMs = 100;

class Printer {
 public:
  Printer(bool json, QTextStream& out) : json_(json), out_(out) {}

  void print(std::vector<FrameRecord>& records) {
    for (FrameRecord& record : records) {
      pairing_.label(record);
      const double seconds = static_cast<double>(record.timeUs) / 1e6;
      if (json_) {
        out_ << QJsonDocument(frameJson(record, seconds)).toJson(QJsonDocument::Compact);
      } else {
        out_ << frameLine(record, seconds);
      }
      out_ << Qt::endl;
    }
    records.clear();
  }

 private:
  bool json_;
  QTextStream& out_;
  FramePairing pairing_;
};

// Read a block at a time, so a file of any size decodes in bounded memory.
constexpr qint64 kReadBlock = 64 * 1024;

// A decoding nobody reads any more, or one a signal ended, stops at once: after the first write
// that fails (a reader gone, a full disk) or at SIGINT or SIGTERM, however much input is left.
bool decodingStopped(CliStreams& streams) {
  return (streams.stop && streams.stop->check()) || outputFailed(streams);
}

int decodeFile(const MonitorOptions& options, CliStreams& streams) {
  QFile file(options.input);
  if (!file.open(QIODevice::ReadOnly)) {
    throw UsageError(QStringLiteral("cannot read %1: %2").arg(options.input, file.errorString()));
  }
  FrameSplitter splitter(options.crc);
  Printer printer(options.json, streams.out);
  std::vector<FrameRecord> records;
  const QByteArray first(kCaptureFirstLine);
  if (file.peek(first.size()) == first) {
    // A capture: one time-stamped chunk a line.
    qint64 number = 0;
    while (!file.atEnd() && !decodingStopped(streams)) {
      const QByteArray line = file.readLine().trimmed();
      ++number;
      if (number == 1 || line.isEmpty() || line.startsWith('#')) continue;
      const auto chunk = parseCaptureLine(line);
      if (!chunk) {
        throw UsageError(QStringLiteral("%1: line %2 of the capture does not read")
                             .arg(options.input)
                             .arg(number));
      }
      splitter.feed(byteSpan(chunk->bytes), chunk->timeUs, records);
      printer.print(records);
    }
  } else {
    // Raw bytes with no times: one burst.
    while (!file.atEnd() && !decodingStopped(streams)) {
      const QByteArray block = file.read(kReadBlock);
      if (block.isEmpty()) break;
      splitter.feed(byteSpan(block), 0, records);
      printer.print(records);
    }
  }
  if (decodingStopped(streams)) return kExitResult;
  splitter.finish(records);
  printer.print(records);
  return kExitOk;
}

int listen(const MonitorOptions& options, CliStreams& streams) {
  QtSerialLine line;
  line.setDeviceName(options.port);
  line.setSettings(QStringLiteral("9600,n,8,1"));
  if (!line.open()) {
    throw UsageError(
        QStringLiteral("cannot open %1: %2").arg(options.port, line.lastError().description));
  }
  FrameSplitter splitter(options.crc);
  Printer printer(options.json, streams.out);
  std::vector<FrameRecord> records;
  QElapsedTimer clock;
  clock.start();
  const auto nowUs = [&clock] { return clock.nsecsElapsed() / 1000; };
  // A decoding nobody can read any more is not worth listening for.
  const auto stopped = [&streams] {
    return !streams.keepRunning() || (streams.stop && streams.stop->check()) ||
           outputFailed(streams);
  };
  while (!stopped()) {
    // Wake when a pending partial frame is due to be dropped, or after a quiet slice.
    qint64 waitMs = kQuietSliceMs;
    if (const auto due = splitter.deadline()) {
      waitMs = std::clamp<qint64>((*due - nowUs()) / 1000 + 1, 0, kQuietSliceMs);
    }
    line.waitForBytes(1, QDeadlineTimer(waitMs, Qt::PreciseTimer));
    if (!line.isOpen() || line.lastError().isError()) {
      splitter.finish(records);
      printer.print(records);
      streams.err << "monitor: " << line.lastError().description << Qt::endl;
      return kExitResult;
    }
    if (const int count = line.bytesAvailable(); count > 0) {
      const QByteArray bytes = line.read(count);
      splitter.feed(byteSpan(bytes), nowUs(), records);
    }
    splitter.expire(nowUs(), records);
    printer.print(records);
  }
  splitter.finish(records);
  printer.print(records);
  return kExitOk;
}

}  // namespace

int runMonitor(const MonitorOptions& options, CliStreams& streams) {
  if (!options.input.isEmpty()) return decodeFile(options, streams);
  if (options.port.isEmpty()) {
    throw UsageError(QStringLiteral("monitor needs --port PATH or --input FILE"));
  }
  return listen(options, streams);
}

}  // namespace quennet::cli
