#pragma once
// The host program's settings, shared by the main window and the options dialog and kept in
// "tolvar.ini".

#include <cstdint>

#include <QString>

#include "quennet/link/protocol_events.h"
#include "tolvar/mainwindow/traffic/capture_files.h"

namespace tolvar {

struct HostSettings {
  std::int16_t Commport = 1;
  std::int16_t PollInt = quennet::kDefaultPollIntervalMs;
  std::int16_t ShwMsg = 1;
  std::int16_t MsgEcho = 1;
  bool SnglStp = false;
  std::int16_t MsgFmt = 1;
  std::int16_t SlvAddr = quennet::kValidatorAddress;
  // Our extension: a named serial device (/dev/ttyUSB0); empty means the numbered port.
  QString PortName;
  // Our extension, the host link: the frame check (kCrc16 or kChecksum8) and a reply time-out
  // in milliseconds for every reply (0: the protocol's own waits).
  static constexpr std::int16_t kCrc16 = 16;
  static constexpr std::int16_t kChecksum8 = 8;
  static constexpr std::int16_t kMostReplyTimeout = 10000;
  std::int16_t Checksum = kCrc16;
  std::int16_t ReplyTimeout = 0;
  // Our extension, the continuous capture: the file it writes (empty: none runs), the size per
  // file in megabytes and the number of files kept. A capture running at exit runs at start.
  QString CaptureFile;
  std::int16_t CaptureSize = CaptureFiles::kDefaultMegabytes;
  std::int16_t CaptureCount = CaptureFiles::kDefaultFiles;
};

}  // namespace tolvar
