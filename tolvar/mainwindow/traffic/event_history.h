#pragma once
// Every event the validator reports, oldest first: each poll's new events (not only the newest),
// a row for events that fell out of the five-event buffer between two polls, and a row for a
// counter back at 0 (a reset or power-up). Bounded to the newest rows, like the traffic pane.
// The pane around it follows the newest row, copies and saves.

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include <QAbstractTableModel>
#include <QByteArray>
#include <QColor>
#include <QDateTime>
#include <QTreeView>

#include "quennet/bus/event_reading.h"

class QCheckBox;
class QPushButton;

namespace tolvar {

class UiServices;

class EventHistoryModel : public QAbstractTableModel {
  Q_OBJECT

 signals:
  // A read only the validator's inhibit status can settle: it was reset, or its counter wrapped.
  void wantsInhibitStatus();

 public:
  enum Column { Time, Counter, Text, kColumns };
  static constexpr int kDefaultLimit = 10'000;

  explicit EventHistoryModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

  // An event buffer as read (counter, then five pairs newest first) at `time`. The first read
  // after start() only notes the counter, with a row saying so: what the buffer held before
  // happened at no known time and is neither shown again nor counted as lost.
  // A read whose counter and pairs disagree adds a row saying so and no events. One that only
  // the validator can tell from a counter that wrapped (a reset) raises wantsInhibitStatus(); the
  // inhibit status read after it settles the read (answer()).
  void record(std::span<const std::uint8_t, 11> buffer, const QDateTime& time);
  // The inhibit status read while a question is out: whether every note is inhibited, as after a
  // reset; nothing when the read failed.
  void answer(std::optional<bool> everyNoteInhibited, const QDateTime& time);
  bool asking() const { return reader_.asking(); }
  // The next read starts the history afresh (polling starts).
  void start() { started_ = false; }
  // The port went (closed, or failed under a command): a row saying so, in red, once the
  // history has begun. Events the device reports meanwhile show at the next read that reaches it.
  void linkLost(const QString& why, const QDateTime& time);
  void setLimit(int rows);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  struct Row {
    QDateTime time;
    QString counter;
    QString text;
    QColor colour;
  };
  void addRows(std::vector<Row> rows);
  // The rows of a read the event reader has read.
  void show(const QByteArray& read, const quennet::EventReading& reading, const QDateTime& time);

  std::deque<Row> rows_;
  std::uint8_t lastCounter_ = 0;
  bool started_ = false;
  quennet::EventReader reader_;
  int limit_ = kDefaultLimit;
};

class EventHistory : public QTreeView {
  Q_OBJECT

 public:
  explicit EventHistory(QWidget* parent = nullptr);
  EventHistoryModel& history() { return *model_; }

 private:
  EventHistoryModel* model_;
};

// The history with what a bench keeps open all day needs: Follow (the newest row in view; a
// user who scrolls up stops it), Copy All and "Save…" to a text or CSV file.
class EventHistoryPane : public QWidget {
  Q_OBJECT

 public:
  explicit EventHistoryPane(UiServices& ui, QWidget* parent = nullptr);
  EventHistory* view() { return view_; }
  // Every row, as Copy All puts them on the clipboard: tab-separated, times with their dates.
  QString allText() const;
  // Writes every row (CSV for a name ending in ".csv"), whole or not at all.
  bool saveHistory(const QString& path, QString* error) const;
  // "Save…": asks for a file (a time-stamped name is offered), with a message on failure.
  void saveAs();

  QCheckBox* follow;
  QPushButton* copyAll;
  QPushButton* save;

 private:
  std::vector<QStringList> rows() const;

  UiServices& ui_;
  EventHistory* view_;
};

}  // namespace tolvar
