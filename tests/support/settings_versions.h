#pragma once
// Two settings files that differ in length and in most lines, so that a file cut short or
// mixed from both is never mistaken for either.

#include <array>

#include "tolvar/mainwindow/settings/settings_file.h"

namespace testsupport {

inline std::array<tolvar::SettingsFileData, 2> settingsVersions() {
  tolvar::SettingsFileData first;
  tolvar::SettingsFileData second;
  second.settings.Commport = 4;
  second.settings.PollInt = 1500;
  second.settings.SlvAddr = 41;
  second.settings.SnglStp = true;
  second.settings.PortName =
      QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART-if00-port0");
  second.encrypt = true;
  second.keyText = QStringLiteral("123456");
  second.top = 1500;
  second.left = 3000;
  return {first, second};
}

}  // namespace testsupport
