#include "tolvar/mainwindow/settings/settings_location.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace tolvar {

QString settingsFilePath(const QString& explicitPath, const QString& programFolder) {
  if (!explicitPath.isEmpty()) return QFileInfo(explicitPath).absoluteFilePath();
  const QString besideProgram = QDir(programFolder).filePath(QLatin1String(kSettingsFileName));
  const QFileInfo folder(programFolder);
  const QFileInfo existing(besideProgram);
  const bool usable = existing.exists() ? existing.isWritable() : folder.isWritable();
  if (usable) return besideProgram;
  const QString userFolder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
  return QDir(userFolder).filePath(QLatin1String(kSettingsFileName));
}

}  // namespace tolvar
