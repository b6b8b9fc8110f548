#pragma once
// The traffic pane's rows: the link's frame log, newest last, bounded to the newest N frames so
// a bench that polls for days keeps a flat memory. Frames arrive during a transaction and are
// shown in batches, so a fast poll loop does not repaint the table for every frame.

#include <cstdint>
#include <deque>
#include <vector>

#include <QAbstractTableModel>
#include <QDateTime>
#include <QSortFilterProxyModel>
#include <QTimer>

#include "quennet/link/frame_record.h"
#include "tolvar/mainwindow/traffic/table_file.h"

namespace tolvar {

class TrafficLog : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column {
    Time,
    Delta,  // since the frame before
    Direction,
    Destination,
    SourceOrCrc,
    Header,
    Name,
    Data,
    Result,
    Duration,
    Raw,
    kColumns
  };
  static constexpr int kDefaultLimit = 10'000;
  // A row's transaction result: its reply's, for the host frame too (kNoResult until it is in).
  static constexpr int kNoResult = 1000;

  explicit TrafficLog(QObject* parent = nullptr);

  // Takes a frame; it shows at the next batch, or when a pause ends: a pause freezes the rows
  // shown, never the capture.
  void append(const quennet::FrameRecord& record);
  // Shows the frames taken so far at once (the batch timer does this by itself); nothing while
  // paused.
  void flush();
  void setLimit(int rows);
  int limit() const { return limit_; }
  void setPaused(bool paused);
  bool paused() const { return paused_; }
  void clearLog();
  void setHexadecimal(bool hex);
  // The wall-clock time of a monotonic time stamp.
  QDateTime wallTime(std::int64_t monotonicUs) const;
  // A frame's cells as a saved log writes them, the time with its date; the reply's result is
  // on its own row.
  QStringList exportCells(const quennet::FrameRecord& record, std::int64_t deltaUs) const;
  // The time from the frame before to the last frame taken; -1 for the first.
  std::int64_t lastDeltaUs() const { return lastDeltaUs_; }
  bool hexadecimal() const { return hex_; }
  // The address a row's frame is about: the destination of a host frame, the device asked for a
  // reply; -1 when not known.
  int address(int row) const;
  quennet::FrameDirection direction(int row) const {
    return rows_[static_cast<std::size_t>(row)].record.direction;
  }
  int result(int row) const { return rows_[static_cast<std::size_t>(row)].result; }
  int header(int row) const;
  // The device refused the row's command: a NAK, or a refusal byte in its acknowledgement.
  bool refused(int row) const { return rows_[static_cast<std::size_t>(row)].refused; }
  // Frames taken but not shown yet.
  int pending() const { return static_cast<int>(pending_.size()); }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  struct Row {
    quennet::FrameRecord record;
    int result = kNoResult;
    bool refused = false;  // the reply, for the host frame too, refused the command
    std::int64_t deltaUs = -1;
  };
  QString text(const Row& row, int column, bool withDate = false) const;

  std::deque<Row> rows_;
  std::vector<Row> pending_;
  std::int64_t lastTimeUs_ = -1;
  std::int64_t lastDeltaUs_ = -1;
  QTimer batch_;
  int limit_ = kDefaultLimit;
  bool paused_ = false;
  bool hex_ = true;
  // Monotonic and wall-clock time taken together once, to show times of day.
  std::int64_t monotonicOriginUs_ = 0;
  QDateTime wallOrigin_;
};

// Filters the log by header (a command and the replies to it), by result (a refusal, a NAK or a
// refusal byte with result 0, counts as a failure), by address and by direction, and can hide
// the event polls.
class TrafficFilter : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  enum class Results { All, Ok, Busy, Timeout, Checksum, Refused, Failed };
  static constexpr int kAllHeaders = -1;

  explicit TrafficFilter(TrafficLog* log, QObject* parent = nullptr);
  void setHeader(int header);
  void setResults(Results results);
  static constexpr int kAllAddresses = -1;
  void setAddress(int address);
  enum class Directions { Both, Host, Device };
  void setDirections(Directions directions);
  // The event buffer reads a poll loop repeats, and their replies.
  void setHidePolls(bool hide);
  static bool isPoll(int header);

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

 private:
  TrafficLog* log_;
  int header_ = kAllHeaders;
  Results results_ = Results::All;
  int address_ = kAllAddresses;
  Directions directions_ = Directions::Both;
  bool hidePolls_ = false;
};

}  // namespace tolvar
