#pragma once
// Where "tolvar.ini" lives: beside the program when that folder is writable, else in the
// per-user configuration folder (installed programs sit in read-only folders on Linux).

#include <QString>

namespace tolvar {

inline constexpr char kSettingsFileName[] = "tolvar.ini";

// `explicitPath` (from --settings) wins when given.
QString settingsFilePath(const QString& explicitPath, const QString& programFolder);

}  // namespace tolvar
