#pragma once
// "tolvar.ini": eleven "Key = value" lines (CR LF) plus our "PortName" line when a named port is
// in use. Reading keeps the default for any value that is not a number in its field's range.

#include <cstdint>
#include <optional>

#include <QSize>
#include <QString>

#include "tolvar/mainwindow/settings/host_settings.h"

namespace tolvar {

// Everything the file holds: the host settings plus the values that live in the window's boxes.
struct SettingsFileData {
  HostSettings settings;
  bool encrypt = false;
  // Key box text; the file keeps it as a number, so a short value is padded back to six digits.
  QString keyText = QStringLiteral("582604");
  bool keyRead = false;   // the file held a usable KeyCode line
  std::int32_t top = 0;   // twips
  std::int32_t left = 0;  // twips
};

// Reads `path` over the defaults; a missing file leaves all defaults. `screenTwips` bounds the
// stored window position.
SettingsFileData ReadSettings(const QString& path, QSize screenTwips);
// The same reading applied to the file's bytes.
SettingsFileData ParseSettings(const QByteArray& text, QSize screenTwips);

// The exact text WriteSettings puts in the file.
QByteArray settingsFileText(const SettingsFileData& data);

// False for a path that exists but is not a regular file (a FIFO, a device, a folder): such a
// path is neither read nor written.
bool isSettingsPathUsable(const QString& path);

// Replaces the file atomically (temporary file beside it, renamed into place). On failure the
// old file is untouched and `error` names the path and says why.
bool WriteSettings(const QString& path, const SettingsFileData& data, QString* error);

}  // namespace tolvar
