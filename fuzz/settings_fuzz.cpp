// Fuzzes the "tolvar.ini" reader: any bytes must read into values the window can take, and what
// is written from them must read back the same. Input: bytes 0-3 the screen size in twips (two
// little-endian 16-bit extents), the rest is the file.
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include <QSize>

#include "tolvar/mainwindow/settings/settings_file.h"

namespace {

// The length the Tolvar key box accepts.
constexpr qsizetype kKeyBoxLength = 6;

// Names the broken invariant's line before the fuzzer records the input.
void check(bool condition, int line = __builtin_LINE()) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken at line %d\n", line);
  __builtin_trap();
}

void checkRanges(const tolvar::SettingsFileData& data, QSize screen) {
  const tolvar::HostSettings& s = data.settings;
  check(s.Commport >= 1 && s.Commport <= 255);
  check(s.PollInt >= 1);
  check(s.SlvAddr >= 0 && s.SlvAddr <= 255);
  check(s.MsgEcho == 0 || s.MsgEcho == 1);
  check(s.ShwMsg == 0 || s.ShwMsg == 1);
  check(data.keyText.size() >= 1 && data.keyText.size() <= kKeyBoxLength);
  check(std::all_of(data.keyText.begin(), data.keyText.end(),
                    [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }));
  check(data.top >= 0 && data.top <= screen.height());
  check(data.left >= 0 && data.left <= screen.width());
  check(s.PortName == s.PortName.trimmed());
}

bool same(const tolvar::SettingsFileData& a, const tolvar::SettingsFileData& b) {
  const tolvar::HostSettings& x = a.settings;
  const tolvar::HostSettings& y = b.settings;
  return x.Commport == y.Commport && x.PollInt == y.PollInt && x.ShwMsg == y.ShwMsg &&
         x.MsgEcho == y.MsgEcho && x.SnglStp == y.SnglStp && x.MsgFmt == y.MsgFmt &&
         x.SlvAddr == y.SlvAddr && x.PortName == y.PortName && a.encrypt == b.encrypt &&
         a.keyText == b.keyText && a.top == b.top && a.left == b.left;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const QSize screen(data[0] | data[1] << 8, data[2] | data[3] << 8);
  const QByteArray text(reinterpret_cast<const char*>(data + 4), static_cast<qsizetype>(size - 4));

  const tolvar::SettingsFileData read = tolvar::ParseSettings(text, screen);
  checkRanges(read, screen);
  // The written file always holds a key, so the second reading finds one.
  const tolvar::SettingsFileData again =
      tolvar::ParseSettings(tolvar::settingsFileText(read), screen);
  check(again.keyRead);
  check(same(read, again));
  return 0;
}
