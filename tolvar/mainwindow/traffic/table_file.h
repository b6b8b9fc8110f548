#pragma once
// A table the bench shows and saves (the traffic rows, the event history, a script run's report):
// saved as CSV for a name ending in ".csv", else as tab-separated text, one row a line after the
// column titles, the file replaced whole or not at all; copied as tab-separated lines; followed
// to its newest row.

#include <functional>
#include <vector>

#include <QString>
#include <QStringList>

class QAbstractItemView;
class QCheckBox;

namespace tolvar {

class UiServices;

// A cell as a saved table writes it (a time with its date) where it differs from the shown one.
inline constexpr int kExportRole = Qt::UserRole + 1;

// False with the reason in `error` when the file could not be written. A text file starts with
// the `notes`, each on a line of its own after "# "; a CSV file holds the table only.
bool saveTable(const QString& path, const QStringList& titles, const std::vector<QStringList>& rows,
               QString* error, const QStringList& notes = {});
// "Save…" of a table: asks through `ui` for a text or CSV file (a name of `stem` and the date and
// time is offered) and writes it with `write`; a failure says `what` could not be written where.
void saveTableAs(UiServices& ui, const QString& title, const QString& stem, const QString& what,
                 const std::function<bool(const QString& path, QString* error)>& write);
// Follow: the newest row of `view` in view while `follow` is ticked, once per batch of rows. A
// user who scrolls up to read unticks it; scrolling back to the end, or ticking it, takes it up.
void followNewest(QAbstractItemView& view, QCheckBox& follow);
// The rows as tab-separated lines, as the clipboard takes them.
QString tableText(const std::vector<QStringList>& rows);

}  // namespace tolvar
