// "tolvar.ini" read from bytes: inputs the settings fuzzer turned up, kept as regular tests.
#include <gtest/gtest.h>

#include "tolvar/mainwindow/settings/settings_file.h"

using tolvar::ParseSettings;
using tolvar::SettingsFileData;

namespace {

const QSize kScreen(1920 * 15, 1080 * 15);

}  // namespace

TEST(SettingsReader, KeyLongerThanTheKeyBoxIsCutToItsFirstSixDigits) {
  const SettingsFileData data = ParseSettings("KeyCode = 58582604\r\n", kScreen);
  EXPECT_EQ(data.keyText, "585826");
  EXPECT_TRUE(data.keyRead);
  EXPECT_EQ(ParseSettings("KeyCode = 0000123456\r\n", kScreen).keyText, "000012");
}

TEST(SettingsReader, NonAsciiPortNameReadsBackAsWritten) {
  SettingsFileData data;
  data.settings.PortName = QStringLiteral("/dev/serial/by-id/usb-Gerät_Ø-port0");
  const SettingsFileData back = ParseSettings(tolvar::settingsFileText(data), kScreen);
  EXPECT_EQ(back.settings.PortName, data.settings.PortName);
}
