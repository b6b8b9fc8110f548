#include "quennetd/journal_seen.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace quennetd {

QString seenPath(const DaemonOptions& options) {
  const QFileInfo journal(options.journal);
  const QString dir = options.stateDir.isEmpty() ? journal.absolutePath() : options.stateDir;
  return QDir(dir).filePath(journal.fileName() + QStringLiteral(".seen"));
}

std::optional<JournalSeen> readSeen(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  const QJsonObject o = QJsonDocument::fromJson(file.read(4096)).object();
  const QString id = o.value(QLatin1String("journal")).toString();
  if (id.isEmpty()) return std::nullopt;
  return JournalSeen{id, o.value(QLatin1String("writes")).toInteger()};
}

bool writeSeen(const QString& path, const JournalSeen& seen) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  file.write(
      QJsonDocument(QJsonObject{{"journal", seen.id}, {"writes", static_cast<double>(seen.writes)}})
          .toJson(QJsonDocument::Compact));
  return file.commit();
}

QString journalRefusal(const QString& journal, const std::optional<JournalSeen>& found,
                       const JournalSeen& last) {
  const QString start = QStringLiteral("; --accept-journal starts on it all the same");
  if (!found) {
    return QStringLiteral(
               "the journal %1 is gone (last seen: id %2, %3 writes): deleted or "
               "moved%4")
        .arg(journal, last.id)
        .arg(last.writes)
        .arg(start);
  }
  if (found->id != last.id) {
    return QStringLiteral(
               "the journal %1 is not the one last written (id %2, last seen %3): "
               "replaced%4")
        .arg(journal, found->id, last.id, start);
  }
  if (found->writes < last.writes) {
    return QStringLiteral("the journal %1 is an older copy (%2 writes, last seen %3)%4")
        .arg(journal)
        .arg(found->writes)
        .arg(last.writes)
        .arg(start);
  }
  return {};
}

}  // namespace quennetd
