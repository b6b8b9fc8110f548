#include "tolvar/mainwindow/settings/settings_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "tolvar/mainwindow/settings/number_text.h"

namespace tolvar {

namespace {

constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr qsizetype kKeyLength = 6;  // the key box's length
// Far more than the dozen short lines the file holds; anything beyond is not read.
constexpr qint64 kMaxSettingsBytes = 64 * 1024;

// Stores the value when it is a number within [low, high]; otherwise the field keeps what it had.
template <typename Field>
void readInto(Field& field, const QString& value, std::int64_t low, std::int64_t high) {
  if (const auto number = strictInteger(value, low, high)) field = static_cast<Field>(*number);
}

std::int32_t clampToScreen(const QString& value, std::int32_t current, int screenExtent) {
  const auto number = strictInteger(value, kInt32Min, kInt32Max);
  if (!number) return current;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(*number, 0, screenExtent));
}

void applyLine(SettingsFileData& data, const QString& key, const QString& value,
               QSize screenTwips) {
  HostSettings& s = data.settings;
  if (key == QLatin1String("Commport")) {
    readInto(s.Commport, value, 1, 255);
  } else if (key == QLatin1String("MsgFmt")) {
    readInto(s.MsgFmt, value, std::numeric_limits<std::int16_t>::min(),
             std::numeric_limits<std::int16_t>::max());
  } else if (key == QLatin1String("MsgEcho")) {
    readInto(s.MsgEcho, value, 0, 1);
  } else if (key == QLatin1String("SlvAddr")) {
    readInto(s.SlvAddr, value, 0, 255);
  } else if (key == QLatin1String("PollInt")) {
    readInto(s.PollInt, value, 1, std::numeric_limits<std::int16_t>::max());
  } else if (key == QLatin1String("Encrypt")) {
    if (const auto on = strictInteger(value, 0, 1)) data.encrypt = *on == 1;
  } else if (key == QLatin1String("KeyCode")) {
    // Digits only: the file holds the key as a number, the box as text of six digits, padded
    // when short and cut to its first six as the box itself cuts a longer text.
    const bool digits = !value.isEmpty() && std::all_of(value.begin(), value.end(), [](QChar c) {
      return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
    if (digits) {
      data.keyText = value.rightJustified(kKeyLength, QLatin1Char('0'), true);
      data.keyRead = true;
    }
  } else if (key == QLatin1String("ShwMsg")) {
    readInto(s.ShwMsg, value, 0, 1);
  } else if (key == QLatin1String("SnglStp")) {
    if (const auto on = strictInteger(value, 0, 1)) s.SnglStp = *on == 1;
  } else if (key == QLatin1String("FrmTop")) {
    data.top = clampToScreen(value, data.top, screenTwips.height());
  } else if (key == QLatin1String("FrmLft")) {
    data.left = clampToScreen(value, data.left, screenTwips.width());
  } else if (key == QLatin1String("PortName")) {
    s.PortName = value;
  } else if (key == QLatin1String("Checksum")) {
    if (const auto bits = strictInteger(value, HostSettings::kChecksum8, HostSettings::kCrc16);
        bits == HostSettings::kChecksum8 || bits == HostSettings::kCrc16) {
      s.Checksum = static_cast<std::int16_t>(*bits);
    }
  } else if (key == QLatin1String("ReplyTimeout")) {
    readInto(s.ReplyTimeout, value, 0, HostSettings::kMostReplyTimeout);
  } else if (key == QLatin1String("CaptureFile")) {
    s.CaptureFile = value;
  } else if (key == QLatin1String("CaptureSize")) {
    readInto(s.CaptureSize, value, 1, CaptureFiles::kMostMegabytes);
  } else if (key == QLatin1String("CaptureCount")) {
    readInto(s.CaptureCount, value, 1, CaptureFiles::kMostFiles);
  }
}

}  // namespace

bool isSettingsPathUsable(const QString& path) {
  const QFileInfo info(path);
  return !info.exists() || info.isFile();
}

SettingsFileData ReadSettings(const QString& path, QSize screenTwips) {
  // Opening a FIFO would wait for a writer, and a device such as /dev/zero never ends.
  if (!isSettingsPathUsable(path)) return {};
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return ParseSettings(file.read(kMaxSettingsBytes), screenTwips);
}

SettingsFileData ParseSettings(const QByteArray& text, QSize screenTwips) {
  SettingsFileData data;
  for (const QByteArray& bytes : text.split('\n')) {
    // Decoded as WriteSettings encodes (local 8-bit), so a non-ASCII PortName reads back intact.
    const QString line = QString::fromLocal8Bit(bytes).remove('\r');
    const qsizetype equals = line.indexOf('=');
    if (equals < 0) continue;
    applyLine(data, line.left(equals).trimmed(), line.mid(equals + 1).trimmed(), screenTwips);
  }
  return data;
}

QByteArray settingsFileText(const SettingsFileData& data) {
  const HostSettings& s = data.settings;
  const auto line = [](const char* key, auto value) {
    return QByteArray(key) + " = " + QByteArray::number(value) + "\r\n";
  };
  // The file keeps the key as a number: leading zeros go, the reader pads them back.
  const std::int64_t key =
      std::clamp<std::int64_t>(roundHalfEven(leadingValue(data.keyText)), kInt32Min, kInt32Max);
  QByteArray text;
  text += line("Commport", s.Commport);
  text += line("MsgFmt", s.MsgFmt);
  text += line("MsgEcho", s.MsgEcho);
  text += line("SlvAddr", s.SlvAddr);
  text += line("PollInt", s.PollInt);
  text += line("Encrypt", data.encrypt ? 1 : 0);
  text += line("KeyCode", static_cast<qlonglong>(key));
  text += line("ShwMsg", s.ShwMsg);
  text += line("SnglStp", s.SnglStp ? 1 : 0);
  text += line("FrmTop", data.top);
  text += line("FrmLft", data.left);
  if (!s.PortName.isEmpty()) text += "PortName = " + s.PortName.toLocal8Bit() + "\r\n";
  // The link lines only when they differ from the defaults: a file from a bench that never
  // changed them reads the same everywhere.
  if (s.Checksum != HostSettings::kCrc16) text += line("Checksum", s.Checksum);
  if (s.ReplyTimeout != 0) text += line("ReplyTimeout", s.ReplyTimeout);
  // The capture's lines while one runs.
  if (!s.CaptureFile.isEmpty()) {
    text += "CaptureFile = " + s.CaptureFile.toLocal8Bit() + "\r\n";
    text += line("CaptureSize", s.CaptureSize);
    text += line("CaptureCount", s.CaptureCount);
  }
  return text;
}

bool WriteSettings(const QString& path, const SettingsFileData& data, QString* error) {
  const auto fail = [&](const QString& why) {
    if (error) *error = path + QStringLiteral(": ") + why;
    return false;
  };
  // Renaming over a FIFO or a device node would replace it, not write to it.
  if (!isSettingsPathUsable(path)) return fail(QStringLiteral("not a regular file"));
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return fail(file.errorString());
  // QSaveFile renames the temporary file into place even when the flush inside commit() fails
  // (a full disk shows up there, the writes only filled Qt's buffer): flush and sync first and
  // check each step, so a failure leaves the old file where it was.
  const QByteArray text = settingsFileText(data);
  const bool written = file.write(text) == text.size() && file.flush();
  if (!written || (::fsync(file.handle()) != 0 && errno != EINVAL && errno != EROFS)) {
    const QString why = written ? QString::fromLocal8Bit(std::strerror(errno)) : file.errorString();
    file.cancelWriting();
    file.commit();  // removes the temporary file
    return fail(why);
  }
  if (!file.commit()) return fail(file.errorString());
  return true;
}

}  // namespace tolvar
