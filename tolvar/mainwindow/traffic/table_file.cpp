#include "tolvar/mainwindow/traffic/table_file.h"

#include <memory>

#include <QAbstractItemView>
#include <QCheckBox>
#include <QDateTime>
#include <QSaveFile>
#include <QScrollBar>
#include <QTimer>

#include "tolvar/mainwindow/services/ui_services.h"

namespace tolvar {

namespace {

QByteArray csvField(const QString& text) {
  return '"' + QString(text).replace(u'"', QStringLiteral("\"\"")).toUtf8() + '"';
}

}  // namespace

bool saveTable(const QString& path, const QStringList& titles, const std::vector<QStringList>& rows,
               QString* error, const QStringList& notes) {
  const bool csv = path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive);
  QSaveFile file(path);
  const auto failed = [&] {
    if (error) *error = file.errorString();
    file.cancelWriting();
    return false;
  };
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return failed();
  const auto writeRow = [&](const QStringList& cells) {
    QByteArray line;
    for (qsizetype column = 0; column < cells.size(); ++column) {
      if (column > 0) line += csv ? ',' : '\t';
      line += csv ? csvField(cells[column]) : cells[column].toUtf8();
    }
    line += '\n';
    return file.write(line) == line.size();
  };
  for (const QString& note : csv ? QStringList() : notes) {
    const QByteArray line = "# " + note.toUtf8() + '\n';
    if (file.write(line) != line.size()) return failed();
  }
  if (!writeRow(titles)) return failed();
  for (const QStringList& row : rows) {
    if (!writeRow(row)) return failed();
  }
  if (!file.commit()) {
    if (error) *error = file.errorString();
    return false;
  }
  return true;
}

void saveTableAs(UiServices& ui, const QString& title, const QString& stem, const QString& what,
                 const std::function<bool(const QString& path, QString* error)>& write) {
  const QString proposed =
      QStringLiteral("%1-%2.txt")
          .arg(stem, QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-hhmmss")));
  const QString path =
      ui.saveFileName(title, QStringLiteral("Text (*.txt);;CSV (*.csv)"), proposed);
  if (path.isEmpty()) return;
  QString error;
  if (write(path, &error)) return;
  ui.messageBox(QStringLiteral("%1 could not be written to %2.\r\n").arg(what, path) + error,
                kMessageTitle, MsgIcon::Exclamation);
}

void followNewest(QAbstractItemView& view, QCheckBox& follow) {
  QObject::connect(&follow, &QCheckBox::toggled, &view, [&view](bool on) {
    if (on) view.scrollToBottom();
  });
  QObject::connect(view.verticalScrollBar(), &QScrollBar::actionTriggered, &follow,
                   [&view, &follow] {
                     const QScrollBar* bar = view.verticalScrollBar();
                     follow.setChecked(bar->sliderPosition() >= bar->maximum());
                   });
  auto pending = std::make_shared<bool>(false);
  QObject::connect(view.model(), &QAbstractItemModel::rowsInserted, &view,
                   [&view, &follow, pending] {
                     if (*pending || !follow.isChecked()) return;
                     *pending = true;
                     QTimer::singleShot(0, &view, [&view, &follow, pending] {
                       *pending = false;
                       if (follow.isChecked() && view.isVisible()) view.scrollToBottom();
                     });
                   });
}

QString tableText(const std::vector<QStringList>& rows) {
  QString text;
  for (const QStringList& row : rows) text += row.join(QLatin1Char('\t')) + QLatin1Char('\n');
  return text;
}

}  // namespace tolvar
