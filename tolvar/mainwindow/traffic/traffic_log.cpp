#include "tolvar/mainwindow/traffic/traffic_log.h"

#include <chrono>

#include <QBrush>

#include "quennet/link/cctalk_codes.h"
#include "quennet/link/frame_text.h"
#include "quennet/link/header_names.h"
#include "quennet/link/link_engine.h"
#include "quennet/link/protocol.h"
#include "tolvar/mainwindow/panes/event_texts.h"

namespace tolvar {

namespace {

constexpr int kBatchMs = 100;

std::int64_t monotonicNowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// A reply that refuses the command: a NAK (whatever the command waited for), or an
// acknowledgement that carries a refusal byte.
bool refusedReply(const quennet::FrameRecord& record) {
  if (record.direction != quennet::FrameDirection::Device || record.durationUs < 0 ||
      !record.frame.complete) {
    return false;
  }
  return record.frame.header == quennet::kHeaderNak ||
         (record.status == quennet::FrameStatus::Ok && record.result == quennet::kResultOk &&
          !record.acknowledged);
}

bool failed(const quennet::FrameRecord& record) {
  return record.status != quennet::FrameStatus::Ok ||
         (record.direction == quennet::FrameDirection::Device &&
          record.result == quennet::kResultBusy) ||
         refusedReply(record);
}

}  // namespace

TrafficLog::TrafficLog(QObject* parent)
    : QAbstractTableModel(parent),
      monotonicOriginUs_(monotonicNowUs()),
      wallOrigin_(QDateTime::currentDateTime()) {
  batch_.setSingleShot(true);
  batch_.setInterval(kBatchMs);
  connect(&batch_, &QTimer::timeout, this, &TrafficLog::flush);
}

QDateTime TrafficLog::wallTime(std::int64_t monotonicUs) const {
  return wallOrigin_.addMSecs((monotonicUs - monotonicOriginUs_) / 1000);
}

void TrafficLog::append(const quennet::FrameRecord& record) {
  lastDeltaUs_ = lastTimeUs_ >= 0 ? record.timeUs - lastTimeUs_ : -1;
  lastTimeUs_ = record.timeUs;
  pending_.push_back(Row{record, kNoResult, false, lastDeltaUs_});
  // Frames that would scroll out at the next batch anyway are not kept until then.
  if (static_cast<int>(pending_.size()) > limit_) {
    pending_.erase(pending_.begin(), pending_.end() - limit_);
  }
  if (!paused_ && !batch_.isActive()) batch_.start();
}

void TrafficLog::setPaused(bool paused) {
  paused_ = paused;
  if (!paused_) flush();
}

void TrafficLog::flush() {
  batch_.stop();
  if (paused_ || pending_.empty()) return;
  const int incoming = static_cast<int>(pending_.size());
  const int dropped = std::max(0, static_cast<int>(rows_.size()) + incoming - limit_);
  if (dropped > 0) {
    const int fromRows = std::min(dropped, static_cast<int>(rows_.size()));
    beginRemoveRows({}, 0, fromRows - 1);
    rows_.erase(rows_.begin(), rows_.begin() + fromRows);
    endRemoveRows();
  }
  const int first = static_cast<int>(rows_.size());
  beginInsertRows({}, first, first + incoming - 1);
  for (Row& row : pending_) {
    if (row.record.durationUs >= 0 && row.record.direction == quennet::FrameDirection::Device) {
      row.result = row.record.result;
      row.refused = refusedReply(row.record);
      // The host frame of the same transaction filters with its reply's result.
      if (!rows_.empty() && rows_.back().record.direction == quennet::FrameDirection::Host &&
          rows_.back().result == kNoResult) {
        rows_.back().result = row.result;
        rows_.back().refused = row.refused;
      }
    }
    rows_.push_back(std::move(row));
  }
  pending_.clear();
  endInsertRows();
  if (first > 0) {
    // The host frame just before the batch may have taken its reply's result.
    emit dataChanged(index(first - 1, 0), index(first - 1, kColumns - 1));
  }
}

void TrafficLog::setLimit(int rows) {
  limit_ = std::max(1, rows);
  flush();
  if (static_cast<int>(rows_.size()) > limit_) {
    const int excess = static_cast<int>(rows_.size()) - limit_;
    beginRemoveRows({}, 0, excess - 1);
    rows_.erase(rows_.begin(), rows_.begin() + excess);
    endRemoveRows();
  }
}

void TrafficLog::clearLog() {
  beginResetModel();
  rows_.clear();
  pending_.clear();
  endResetModel();
}

void TrafficLog::setHexadecimal(bool hex) {
  if (hex == hex_) return;
  hex_ = hex;
  if (!rows_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, kColumns - 1));
}

QStringList TrafficLog::exportCells(const quennet::FrameRecord& record,
                                    std::int64_t deltaUs) const {
  const Row row{record, kNoResult, false, deltaUs};
  QStringList cells;
  for (int column = 0; column < kColumns; ++column) cells << text(row, column, true);
  return cells;
}

int TrafficLog::header(int row) const {
  const quennet::FrameRecord& r = rows_[static_cast<std::size_t>(row)].record;
  if (r.direction == quennet::FrameDirection::Device) return r.requestHeader;
  return r.frame.complete ? r.frame.header : -1;
}

int TrafficLog::address(int row) const {
  const quennet::FrameRecord& r = rows_[static_cast<std::size_t>(row)].record;
  if (r.direction == quennet::FrameDirection::Device) return r.peer;
  return r.frame.complete ? r.frame.destination : -1;
}

int TrafficLog::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TrafficLog::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

QString TrafficLog::text(const Row& row, int column, bool withDate) const {
  const quennet::FrameRecord& r = row.record;
  const bool frame = r.frame.complete;
  const auto number = [this](int value) {
    return hex_ ? QString::number(value, 16).toUpper() : QString::number(value);
  };
  switch (column) {
    case Time:
      return wallTime(r.timeUs).toString(withDate ? QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")
                                                  : QStringLiteral("hh:mm:ss.zzz"));
    case Delta:
      return row.deltaUs >= 0 ? QString::number(static_cast<double>(row.deltaUs) / 1000, 'f', 1)
                              : QString();
    case Direction:
      return r.direction == quennet::FrameDirection::Host ? QStringLiteral("Host >")
                                                          : QStringLiteral("< Device");
    // Addresses in decimal, as the address box takes them.
    case Destination:
      return frame ? QString::number(r.frame.destination) : QString();
    case SourceOrCrc:
      if (!frame) return {};
      // A CRC is two bytes: in hexadecimal all four digits.
      if (!r.frame.crcMode) return QString::number(r.frame.source);
      return hex_ ? QStringLiteral("CRC %1").arg(r.frame.crc, 4, 16, QLatin1Char('0')).toUpper()
                  : QStringLiteral("CRC %1").arg(r.frame.crc);
    case Header:
      return frame ? number(r.frame.header) : QString();
    case Name:
      // A reply names the command it answers, as the line monitor does.
      if (r.direction == quennet::FrameDirection::Device && r.requestHeader >= 0) {
        return QStringLiteral("%1 ← %2").arg(
            quennet::frameName(r), quennet::headerName(static_cast<std::uint8_t>(r.requestHeader)));
      }
      return quennet::frameName(r);
    case Data:
      return quennet::bytesText(r.frame.data, hex_);
    case Result:
      if (r.direction != quennet::FrameDirection::Device) return {};
      return QStringLiteral("%1 %2").arg(r.result).arg(r.caption);
    case Duration:
      return r.direction == quennet::FrameDirection::Device && r.durationUs >= 0
                 ? QString::number(static_cast<double>(r.durationUs) / 1000, 'f', 1)
                 : QString();
    case Raw:
      return quennet::bytesText(r.raw, hex_);
    default:
      return {};
  }
}

QVariant TrafficLog::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const Row& row = rows_[static_cast<std::size_t>(index.row())];
  if (role == Qt::DisplayRole) return text(row, index.column());
  if (role == kExportRole) return text(row, index.column(), true);
  if (role == Qt::ForegroundRole && failed(row.record)) return QBrush(kEventRed);
  return {};
}

QVariant TrafficLog::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const kTitles[kColumns] = {"Time", "+ms",  "Dir",    "Dest", "Src/CRC", "Hdr",
                                                "Name", "Data", "Result", "ms",   "Frame"};
  return QString::fromLatin1(kTitles[section]);
}

TrafficFilter::TrafficFilter(TrafficLog* log, QObject* parent)
    : QSortFilterProxyModel(parent), log_(log) {
  setSourceModel(log);
}

void TrafficFilter::setHeader(int header) {
  header_ = header;
  invalidateFilter();
}

void TrafficFilter::setResults(Results results) {
  results_ = results;
  invalidateFilter();
}

void TrafficFilter::setAddress(int address) {
  address_ = address;
  invalidateFilter();
}

void TrafficFilter::setDirections(Directions directions) {
  directions_ = directions;
  invalidateFilter();
}

void TrafficFilter::setHidePolls(bool hide) {
  hidePolls_ = hide;
  invalidateFilter();
}

bool TrafficFilter::isPoll(int header) {
  return header == quennet::GET_EVENT_BUFFER || header == quennet::GET_COIN_BUFFER;
}

bool TrafficFilter::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
  if (header_ != kAllHeaders && log_->header(sourceRow) != header_) return false;
  if (hidePolls_ && isPoll(log_->header(sourceRow))) return false;
  if (address_ != kAllAddresses && log_->address(sourceRow) != address_) return false;
  const quennet::FrameDirection direction = log_->direction(sourceRow);
  if ((directions_ == Directions::Host && direction != quennet::FrameDirection::Host) ||
      (directions_ == Directions::Device && direction != quennet::FrameDirection::Device)) {
    return false;
  }
  const int result = log_->result(sourceRow);
  switch (results_) {
    case Results::All:
      return true;
    case Results::Ok:
      return result == quennet::kResultOk && !log_->refused(sourceRow);
    case Results::Busy:
      return result == quennet::kResultBusy;
    case Results::Timeout:
      return result == quennet::kResultTimeout;
    case Results::Checksum:
      return result == quennet::kResultChecksum;
    case Results::Refused:
      return log_->refused(sourceRow);
    case Results::Failed:
      return (result != quennet::kResultOk && result != TrafficLog::kNoResult) ||
             log_->refused(sourceRow);
  }
  return true;
}

}  // namespace tolvar
