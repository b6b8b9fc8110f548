#pragma once
// `quennet monitor`: a passive decoder for a line another host drives, or for a capture of one.

#include <QString>

#include "tools/cli_runner.h"

namespace quennet::cli {

struct MonitorOptions {
  QString port;   // listen on this serial device...
  QString input;  // ...or read this capture (or raw bytes) instead
  bool crc = true;
  bool json = false;
};

// Prints one decoded line (or JSON object) per frame until the input ends, streams.keepRunning()
// says stop or the stop signal fires. Throws UsageError when the port or file cannot be opened.
int runMonitor(const MonitorOptions& options, CliStreams& streams);

}  // namespace quennet::cli
