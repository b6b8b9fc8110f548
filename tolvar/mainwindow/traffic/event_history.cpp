#include "tolvar/mainwindow/traffic/event_history.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include "tolvar/mainwindow/panes/event_texts.h"
#include "tolvar/mainwindow/services/ui_services.h"
#include "tolvar/mainwindow/traffic/table_file.h"

namespace tolvar {

namespace {

constexpr int kCounterWrap = 255;

// The counter `back` events before `now`, on the 1..255 cycle.
int counterBefore(int now, int back) {
  return ((now - 1 - back) % kCounterWrap + kCounterWrap) % kCounterWrap + 1;
}

// lblEvent shows nothing for codes it has no text for; the history says what they were.
EventDisplay historyText(std::uint8_t a, std::uint8_t b) {
  EventDisplay shown = decodeEvent(a, b);
  if (shown.text.isEmpty()) {
    shown.text = a == 0 ? QStringLiteral("Status %1").arg(b)
                        : QStringLiteral("Note %1 route %2").arg(a).arg(b);
  }
  return shown;
}

}  // namespace

void EventHistoryModel::record(std::span<const std::uint8_t, 11> buffer, const QDateTime& time) {
  const std::uint8_t now = buffer[0];
  const QByteArray read(reinterpret_cast<const char*>(buffer.data()),
                        static_cast<qsizetype>(buffer.size()));
  if (!started_) {
    started_ = true;
    reader_.restart();
    reader_.read(read);
    lastCounter_ = now;
    addRows({{time,
              QString::number(now),
              QStringLiteral("Watching from event counter %1").arg(now),
              {}}});
    return;
  }
  const quennet::EventReading reading = reader_.read(read);
  if (reading.kind == quennet::EventReading::Kind::Question) {
    emit wantsInhibitStatus();
    return;
  }
  show(read, reading, time);
}

void EventHistoryModel::linkLost(const QString& why, const QDateTime& time) {
  if (!started_) return;
  addRows({{time, QString(), QStringLiteral("Link lost: ") + why, kEventRed}});
}

void EventHistoryModel::answer(std::optional<bool> everyNoteInhibited, const QDateTime& time) {
  const QByteArray read = reader_.question();
  if (read.isEmpty()) return;
  show(read, reader_.answer(everyNoteInhibited), time);
}

void EventHistoryModel::show(const QByteArray& read, const quennet::EventReading& reading,
                             const QDateTime& time) {
  using Kind = quennet::EventReading::Kind;
  const int now = static_cast<quint8>(read[0]);
  std::vector<Row> rows;
  switch (reading.kind) {
    case Kind::Unchanged:
    case Kind::First:
    case Kind::Question:
      return;
    case Kind::Inconsistent:
      addRows({{time, QString::number(now),
                QStringLiteral("Inconsistent read: counter %1 after %2, the events did not move "
                               "with it; read again")
                    .arg(now)
                    .arg(lastCounter_),
                kEventRed}});
      return;
    case Kind::Reset:
      rows.push_back({time,
                      QString::number(now),
                      QStringLiteral("Validator reset: event counter back at %1").arg(now),
                      {}});
      break;
    case Kind::Events:
      break;
  }
  const int moved = reading.fresh + reading.lost;
  if (reading.lost > 0) {
    const int first = counterBefore(now, moved - 1);
    const int last = counterBefore(now, reading.fresh);
    rows.push_back(
        {time,
         reading.lost == 1 ? QString::number(first) : QStringLiteral("%1..%2").arg(first).arg(last),
         reading.lost == 1 ? QStringLiteral("1 event lost")
                           : QStringLiteral("%1 events lost").arg(reading.lost),
         kEventRed});
  }
  for (int back = reading.fresh - 1; back >= 0; --back) {
    const auto index = static_cast<qsizetype>(2 * back + 1);
    const EventDisplay shown =
        historyText(static_cast<quint8>(read[index]), static_cast<quint8>(read[index + 1]));
    rows.push_back({time, QString::number(counterBefore(now, back)), shown.text, shown.colour});
  }
  lastCounter_ = static_cast<std::uint8_t>(now);
  if (!rows.empty()) addRows(std::move(rows));
}

void EventHistoryModel::addRows(std::vector<Row> rows) {
  const int incoming = static_cast<int>(rows.size());
  const int excess =
      std::min(static_cast<int>(rows_.size()), static_cast<int>(rows_.size()) + incoming - limit_);
  if (excess > 0) {
    beginRemoveRows({}, 0, excess - 1);
    rows_.erase(rows_.begin(), rows_.begin() + excess);
    endRemoveRows();
  }
  const int first = static_cast<int>(rows_.size());
  beginInsertRows({}, first, first + incoming - 1);
  for (Row& row : rows) rows_.push_back(std::move(row));
  endInsertRows();
}

void EventHistoryModel::setLimit(int rows) {
  limit_ = std::max(1, rows);
  if (static_cast<int>(rows_.size()) <= limit_) return;
  const int excess = static_cast<int>(rows_.size()) - limit_;
  beginRemoveRows({}, 0, excess - 1);
  rows_.erase(rows_.begin(), rows_.begin() + excess);
  endRemoveRows();
}

int EventHistoryModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int EventHistoryModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

QVariant EventHistoryModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const Row& row = rows_[static_cast<std::size_t>(index.row())];
  if (role == Qt::ForegroundRole && index.column() == Text && row.colour.isValid()) {
    return row.colour;
  }
  if (role != Qt::DisplayRole && role != kExportRole) return {};
  switch (index.column()) {
    case Time:
      return row.time.toString(role == kExportRole ? QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")
                                                   : QStringLiteral("hh:mm:ss.zzz"));
    case Counter:
      return row.counter;
    default:
      return row.text;
  }
}

QVariant EventHistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kTitles[kColumns] = {"Time", "Event #", "Event"};
  return QString::fromLatin1(kTitles[section]);
}

EventHistory::EventHistory(QWidget* parent)
    : QTreeView(parent), model_(new EventHistoryModel(this)) {
  setObjectName(QStringLiteral("eventHistory"));
  setModel(model_);
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  header()->setStretchLastSection(true);
  // It shares its dock with the traffic table, which sets the dock's height; a few rows at the
  // least, so the window with the dock still fits a short screen.
  setMinimumHeight(2 * (fontMetrics().height() + 2));
  const int digit = fontMetrics().horizontalAdvance(QLatin1Char('0'));
  setColumnWidth(EventHistoryModel::Time, 14 * digit);
  setColumnWidth(EventHistoryModel::Counter, 9 * digit);
}

EventHistoryPane::EventHistoryPane(UiServices& ui, QWidget* parent)
    : QWidget(parent), ui_(ui), view_(new EventHistory(this)) {
  setObjectName(QStringLiteral("eventHistoryPane"));
  follow = new QCheckBox(QStringLiteral("Follow"), this);
  follow->setChecked(true);
  follow->setToolTip(QStringLiteral("Keep the newest event in view; scrolling up stops it"));
  copyAll = new QPushButton(QStringLiteral("Copy All"), this);
  copyAll->setToolTip(QStringLiteral("Every row as tab-separated lines, times with their dates"));
  save = new QPushButton(QStringLiteral("Save…"), this);
  save->setToolTip(QStringLiteral("Save every row to a text or CSV file"));
  auto* controls = new QHBoxLayout;
  controls->addWidget(follow);
  controls->addStretch(1);
  controls->addWidget(copyAll);
  controls->addWidget(save);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addLayout(controls);
  layout->addWidget(view_);

  connect(copyAll, &QPushButton::clicked, this,
          [this] { QApplication::clipboard()->setText(allText()); });
  connect(save, &QPushButton::clicked, this, &EventHistoryPane::saveAs);
  followNewest(*view_, *follow);
}

std::vector<QStringList> EventHistoryPane::rows() const {
  const QAbstractItemModel* model = view_->model();
  std::vector<QStringList> rows;
  rows.reserve(static_cast<std::size_t>(model->rowCount()));
  for (int row = 0; row < model->rowCount(); ++row) {
    QStringList cells;
    for (int column = 0; column < EventHistoryModel::kColumns; ++column) {
      cells << model->index(row, column).data(kExportRole).toString();
    }
    rows.push_back(std::move(cells));
  }
  return rows;
}

QString EventHistoryPane::allText() const {
  return tableText(rows());
}

bool EventHistoryPane::saveHistory(const QString& path, QString* error) const {
  QStringList titles;
  for (int column = 0; column < EventHistoryModel::kColumns; ++column) {
    titles << view_->model()->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
  }
  return saveTable(path, titles, rows(), error);
}

void EventHistoryPane::saveAs() {
  saveTableAs(ui_, QStringLiteral("Save Event History"), QStringLiteral("tolvar-events"),
              QStringLiteral("The event history"),
              [this](const QString& path, QString* error) { return saveHistory(path, error); });
}

}  // namespace tolvar
