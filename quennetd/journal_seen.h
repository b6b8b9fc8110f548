#pragma once
// What the service last saw of its journal, kept outside it in the state directory: the
// journal's id and how many writes it had taken. A journal deleted (another file, another id) or
// put back from an older copy (the same id, fewer writes) is told from the one last written, so
// that the service never takes a device's buffer for history on a journal that forgot it.

#include <optional>

#include <QString>

#include "quennetd/daemon_options.h"

namespace quennetd {

struct JournalSeen {
  QString id;
  qint64 writes = 0;
};

// The state file of the journal `options` name: "<state-dir>/<journal's file name>.seen".
QString seenPath(const DaemonOptions& options);
std::optional<JournalSeen> readSeen(const QString& path);
// Written whole or not at all (a new file renamed over the old).
bool writeSeen(const QString& path, const JournalSeen& seen);

// Why the journal at `journal` may not be used after `last` was seen; empty when it may. `found`
// is what the file holds, none when there is no file.
QString journalRefusal(const QString& journal, const std::optional<JournalSeen>& found,
                       const JournalSeen& last);

}  // namespace quennetd
