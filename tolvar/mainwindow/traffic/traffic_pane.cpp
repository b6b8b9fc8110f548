#include "tolvar/mainwindow/traffic/traffic_pane.h"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTableView>
#include <QVBoxLayout>

#include "quennet/link/header_names.h"
#include "quennet/link/protocol.h"
#include "tolvar/mainwindow/panes/event_texts.h"
#include "tolvar/mainwindow/services/ui_services.h"
#include "tolvar/mainwindow/traffic/capture_dialog.h"
#include "tolvar/mainwindow/traffic/table_file.h"

namespace tolvar {

namespace {

// Rows of the table kept in view at the least, and the rows (a dozen frames and the header) the
// window grows to show.
constexpr int kFewestRows = 2;
constexpr int kWantedRows = 13;

constexpr int kCellPadding = 16;  // a cell's margins and the header's sort gap

// The widest text each column shows, in hexadecimal and in decimal, so the columns fit their
// content from the start whichever form is chosen.
QStringList widestSamples(int column) {
  switch (column) {
    case TrafficLog::Time:
      return {QStringLiteral("00:00:00.000")};
    case TrafficLog::Delta:
      return {QStringLiteral("8000.0")};
    case TrafficLog::Direction:
      return {QStringLiteral("< Device"), QStringLiteral("Host >")};
    case TrafficLog::Destination:
    case TrafficLog::Header:
      return {QStringLiteral("255"), QStringLiteral("FF")};
    case TrafficLog::SourceOrCrc:
      return {QStringLiteral("CRC 65535"), QStringLiteral("CRC FFFF")};
    case TrafficLog::Name: {
      QStringList names;
      for (int header = 0; header <= 255; ++header) {
        names << QStringLiteral("No reply ← ") +
                     quennet::headerName(static_cast<std::uint8_t>(header));
      }
      return names;
    }
    case TrafficLog::Data:  // an event buffer, the commonest long reply
      return {QStringLiteral("00 00 00 00 00 00 00 00 00 00 00"),
              QStringLiteral("255 255 255 255 255 255 255 255 255 255 255")};
    case TrafficLog::Result:
      return {QStringLiteral("3 Reply Too Short [NACK]"), QStringLiteral("2 Timeout Error [0]")};
    case TrafficLog::Duration:
      return {QStringLiteral("8000.0")};
    default:
      return {};
  }
}

}  // namespace

TrafficPane::TrafficPane(UiServices& ui, QWidget* parent)
    : QWidget(parent),
      ui_(ui),
      log_(new TrafficLog(this)),
      filter_(new TrafficFilter(log_, this)),
      table_(new QTableView(this)) {
  setObjectName(QStringLiteral("trafficPane"));
  buildFilters();
  buildTable();
  buildActions();
  layOut();
  connectControls();
  followNewest(*table_, *follow);
}

// The filters over the table and the buttons beside them.
void TrafficPane::buildFilters() {
  headerFilter = new QComboBox(this);
  fillHeaderFilter();
  resultFilter = new QComboBox(this);
  const std::pair<const char*, TrafficFilter::Results> results[] = {
      {"All results", TrafficFilter::Results::All},
      {"OK", TrafficFilter::Results::Ok},
      {"BUSY", TrafficFilter::Results::Busy},
      {"Time-out", TrafficFilter::Results::Timeout},
      {"Checksum or reply error", TrafficFilter::Results::Checksum},
      {"Refused (NAK)", TrafficFilter::Results::Refused},
      {"Any failure", TrafficFilter::Results::Failed},
  };
  for (const auto& [text, value] : results) {
    resultFilter->addItem(QString::fromLatin1(text), static_cast<int>(value));
  }
  addressFilter = new QSpinBox(this);
  addressFilter->setRange(TrafficFilter::kAllAddresses, 255);
  addressFilter->setSpecialValueText(QStringLiteral("All addresses"));
  addressFilter->setPrefix(QStringLiteral("Address "));
  addressFilter->setValue(TrafficFilter::kAllAddresses);
  addressFilter->setToolTip(
      QStringLiteral("The frames to one device and its replies (decimal, as the address box)"));
  directionFilter = new QComboBox(this);
  const std::pair<const char*, TrafficFilter::Directions> directions[] = {
      {"Both ways", TrafficFilter::Directions::Both},
      {"Host >", TrafficFilter::Directions::Host},
      {"< Device", TrafficFilter::Directions::Device},
  };
  for (const auto& [text, value] : directions) {
    directionFilter->addItem(QString::fromLatin1(text), static_cast<int>(value));
  }
  hidePolls = new QCheckBox(QStringLiteral("Hide polls"), this);
  hidePolls->setToolTip(QStringLiteral("Hide the event buffer reads of the poll loop"));
  follow = new QCheckBox(QStringLiteral("Follow"), this);
  follow->setChecked(true);
  follow->setToolTip(QStringLiteral("Keep the newest frame in view; scrolling up stops it"));
  pause = new QCheckBox(QStringLiteral("Pause"), this);
  pause->setToolTip(
      QStringLiteral("Freeze the view (Space); frames are still taken and shown when it resumes"));
  find = new QLineEdit(this);
  find->setPlaceholderText(QStringLiteral("Find (Ctrl+F)"));
  find->setClearButtonEnabled(true);
  find->setToolTip(QStringLiteral(
      "Find a row holding this text (Enter or F3: the next one, Shift+F3: the one before)"));
  clear = new QPushButton(QStringLiteral("Clear"), this);
  save = new QPushButton(QStringLiteral("Save Log…"), this);
  save->setToolTip(QStringLiteral("Save the rows shown"));
  saveSelected = new QPushButton(QStringLiteral("Save Selected…"), this);
  saveSelected->setEnabled(false);
  captureButton = new QPushButton(QStringLiteral("Capture…"), this);
  captureButton->setToolTip(
      QStringLiteral("Write every frame to rolling files, whatever the table still holds"));
  captureStatus = new QLabel(this);
  captureStatus->setObjectName(QStringLiteral("captureStatus"));
  captureStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
  captureStatus->hide();
}

// The table: the filtered log, rows selected whole, each column as wide as its widest text.
void TrafficPane::buildTable() {
  table_->setModel(filter_);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  table_->setWordWrap(false);
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
  // A few frames at the least, so that the window with the pane still fits a short screen; the
  // window grows to show a dozen when the dock is shown and the screen has room (missingHeight()).
  table_->setMinimumHeight(kFewestRows * table_->verticalHeader()->defaultSectionSize());
  table_->horizontalHeader()->setStretchLastSection(true);
  for (int column = 0; column < TrafficLog::kColumns - 1; ++column) {
    int width = table_->horizontalHeader()->fontMetrics().horizontalAdvance(
        log_->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString());
    for (const QString& sample : widestSamples(column)) {
      width = std::max(width, table_->fontMetrics().horizontalAdvance(sample));
    }
    table_->setColumnWidth(column, width + kCellPadding);
  }
}

// The table's and the pane's keys: copy, pause, find.
void TrafficPane::buildActions() {
  copyAction = new QAction(QStringLiteral("Copy"), table_);
  copyAction->setShortcut(QKeySequence::Copy);
  copyAction->setShortcutContext(Qt::WidgetShortcut);
  table_->addAction(copyAction);
  pauseAction = new QAction(QStringLiteral("Pause"), table_);
  pauseAction->setShortcut(QKeySequence(Qt::Key_Space));
  pauseAction->setShortcutContext(Qt::WidgetShortcut);
  table_->addAction(pauseAction);
  findAction = new QAction(QStringLiteral("Find"), this);
  findAction->setShortcut(QKeySequence::Find);
  findAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  addAction(findAction);
  findAgain_ = new QAction(QStringLiteral("Find Next"), this);
  findAgain_->setShortcut(QKeySequence::FindNext);
  findAgain_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  addAction(findAgain_);
  findBack_ = new QAction(QStringLiteral("Find Previous"), this);
  findBack_->setShortcut(QKeySequence::FindPrevious);
  findBack_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  addAction(findBack_);
  table_->setContextMenuPolicy(Qt::ActionsContextMenu);
}

// The controls in one row over the capture line and the table.
void TrafficPane::layOut() {
  auto* controls = new QHBoxLayout;
  controls->addWidget(headerFilter);
  controls->addWidget(resultFilter);
  controls->addWidget(addressFilter);
  controls->addWidget(directionFilter);
  controls->addWidget(hidePolls);
  controls->addWidget(follow);
  controls->addWidget(pause);
  controls->addWidget(find, 1);
  controls->addWidget(clear);
  controls->addWidget(save);
  controls->addWidget(saveSelected);
  controls->addWidget(captureButton);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addLayout(controls);
  layout->addWidget(captureStatus);
  layout->addWidget(table_);
}

void TrafficPane::connectControls() {
  connect(headerFilter, &QComboBox::currentIndexChanged, this,
          [this] { filter_->setHeader(headerFilter->currentData().toInt()); });
  connect(resultFilter, &QComboBox::currentIndexChanged, this, [this] {
    filter_->setResults(static_cast<TrafficFilter::Results>(resultFilter->currentData().toInt()));
  });
  connect(addressFilter, &QSpinBox::valueChanged, filter_, &TrafficFilter::setAddress);
  connect(directionFilter, &QComboBox::currentIndexChanged, this, [this] {
    filter_->setDirections(
        static_cast<TrafficFilter::Directions>(directionFilter->currentData().toInt()));
  });
  connect(hidePolls, &QCheckBox::toggled, filter_, &TrafficFilter::setHidePolls);
  connect(pause, &QCheckBox::toggled, this, [this](bool on) { log_->setPaused(on); });
  connect(pauseAction, &QAction::triggered, pause, &QCheckBox::toggle);
  connect(clear, &QPushButton::clicked, this, [this] { log_->clearLog(); });
  connect(save, &QPushButton::clicked, this, [this] { saveLogAs(); });
  connect(saveSelected, &QPushButton::clicked, this, [this] { saveLogAs(true); });
  connect(captureButton, &QPushButton::clicked, this, [this] {
    if (capture_.active()) {
      stopCapture();
      return;
    }
    CaptureDialog dialog(ui_, captureSetup_, this);
    ui_.runDialog(dialog);
    if (dialog.result() == QDialog::Accepted) startCapture(dialog.setup());
  });
  connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this] { saveSelected->setEnabled(table_->selectionModel()->hasSelection()); });
  connect(copyAction, &QAction::triggered, this,
          [this] { QApplication::clipboard()->setText(selectedText()); });
  connect(findAction, &QAction::triggered, this, [this] {
    find->setFocus(Qt::ShortcutFocusReason);
    find->selectAll();
  });
  const auto findFromBox = [this](bool backwards) {
    if (!find->text().isEmpty() && !findNext(find->text(), backwards)) QApplication::beep();
  };
  connect(find, &QLineEdit::returnPressed, this, [findFromBox] { findFromBox(false); });
  connect(findAgain_, &QAction::triggered, this, [findFromBox] { findFromBox(false); });
  connect(findBack_, &QAction::triggered, this, [findFromBox] { findFromBox(true); });
}

void TrafficPane::fillHeaderFilter() {
  const QSignalBlocker quiet(headerFilter);
  const int chosen = headerFilter->currentData().isValid() ? headerFilter->currentData().toInt()
                                                           : TrafficFilter::kAllHeaders;
  headerFilter->clear();
  headerFilter->addItem(QStringLiteral("All headers"), TrafficFilter::kAllHeaders);
  for (int header = 1; header <= 255; ++header) {
    const QString name = quennet::headerName(static_cast<std::uint8_t>(header));
    // Headers 5 and 6 only ever come back from a device.
    if (header == quennet::kHeaderNak || header == quennet::kHeaderBusy ||
        !quennet::headerInfo(static_cast<std::uint8_t>(header))) {
      continue;
    }
    // The number as the Hdr column writes it.
    const QString number =
        log_->hexadecimal() ? QString::number(header, 16).toUpper() : QString::number(header);
    headerFilter->addItem(QStringLiteral("%1 %2").arg(number, name), header);
  }
  headerFilter->setCurrentIndex(std::max(0, headerFilter->findData(chosen)));
}

void TrafficPane::setHexadecimal(bool hex) {
  log_->setHexadecimal(hex);
  fillHeaderFilter();
}

void TrafficPane::take(const quennet::FrameRecord& record) {
  log_->append(record);
  if (!capture_.active()) return;
  const bool failedBefore = capture_.missed() > 0;
  const bool written =
      capture_.write(log_->exportCells(record, log_->lastDeltaUs()).join(u'\t').toUtf8() + '\n');
  // A failure shows at once and stays until a line is written again; the bench goes on.
  if (!written || failedBefore) showCapture();
}

bool TrafficPane::startCapture(const CaptureFiles::Setup& setup) {
  captureSetup_ = setup;
  QStringList titles;
  for (int column = 0; column < TrafficLog::kColumns; ++column) {
    titles << log_->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
  }
  if (!capture_.start(setup, titles.join(u'\t').toUtf8() + '\n')) {
    ui_.messageBox(
        QStringLiteral("The capture cannot write to %1.\r\n").arg(setup.path) + capture_.error(),
        kMessageTitle, MsgIcon::Exclamation);
    showCapture();
    return false;
  }
  showCapture();
  return true;
}

void TrafficPane::stopCapture() {
  capture_.stop();
  showCapture();
}

void TrafficPane::showCapture() {
  captureButton->setText(capture_.active() ? QStringLiteral("Stop Capture")
                                           : QStringLiteral("Capture…"));
  captureStatus->setVisible(capture_.active());
  if (!capture_.active()) return;
  const CaptureFiles::Setup& setup = capture_.setup();
  const bool failing = capture_.missed() > 0 || !capture_.error().isEmpty();
  QPalette palette = captureStatus->palette();
  palette.setColor(QPalette::WindowText,
                   failing ? kEventRed : this->palette().color(QPalette::WindowText));
  captureStatus->setPalette(palette);
  if (failing) {
    captureStatus->setText(QStringLiteral("Capture to %1 fails: %2; %3 frames not written yet")
                               .arg(setup.path, capture_.error())
                               .arg(capture_.missed()));
  } else {
    captureStatus->setText(QStringLiteral("Capturing every frame to %1 (%2 files of %3 MB)")
                               .arg(setup.path)
                               .arg(setup.files)
                               .arg(static_cast<double>(setup.bytesPerFile) /
                                    static_cast<double>(CaptureFiles::kMegabyte)));
  }
}

QList<int> TrafficPane::selectedRows() const {
  QList<int> rows;
  for (const QModelIndex& index : table_->selectionModel()->selectedRows()) rows << index.row();
  std::sort(rows.begin(), rows.end());
  return rows;
}

QString TrafficPane::selectedText() const {
  QString text;
  for (int row : selectedRows()) {
    QStringList cells;
    for (int column = 0; column < TrafficLog::kColumns; ++column) {
      cells << filter_->index(row, column).data(Qt::DisplayRole).toString();
    }
    text += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
  }
  return text;
}

bool TrafficPane::findNext(const QString& text, bool backwards) {
  const int rows = filter_->rowCount();
  if (rows == 0) return false;
  const bool current = table_->currentIndex().isValid();
  const int here = current ? table_->currentIndex().row() : (backwards ? rows : -1);
  const int direction = backwards ? -1 : 1;
  for (int step = 1; step <= rows; ++step) {
    const int row = ((here + direction * step) % rows + rows) % rows;
    for (int column = 0; column < TrafficLog::kColumns; ++column) {
      if (!filter_->index(row, column).data().toString().contains(text, Qt::CaseInsensitive)) {
        continue;
      }
      // A row found is read where it is: the view stops following the newest.
      follow->setChecked(false);
      table_->setCurrentIndex(filter_->index(row, 0));
      table_->selectRow(row);
      table_->scrollTo(filter_->index(row, 0), QAbstractItemView::PositionAtCenter);
      return true;
    }
  }
  return false;
}

bool TrafficPane::saveLog(const QString& path, QString* error, bool selectedOnly) const {
  QStringList titles;
  for (int column = 0; column < TrafficLog::kColumns; ++column) {
    titles << log_->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
  }
  QList<int> rows;
  if (selectedOnly) {
    rows = selectedRows();
  } else {
    for (int row = 0; row < filter_->rowCount(); ++row) rows << row;
  }
  std::vector<QStringList> cells;
  cells.reserve(static_cast<std::size_t>(rows.size()));
  for (int row : rows) {
    QStringList line;
    for (int column = 0; column < TrafficLog::kColumns; ++column) {
      line << filter_->data(filter_->index(row, column), kExportRole).toString();
    }
    cells.push_back(std::move(line));
  }
  return saveTable(path, titles, cells, error);
}

void TrafficPane::saveLogAs(bool selectedOnly) {
  // A paused view saves what it shows; else the frames still waiting for the next batch too.
  log_->flush();
  saveTableAs(ui_, selectedOnly ? QStringLiteral("Save Selected Rows") : QStringLiteral("Save Log"),
              QStringLiteral("tolvar-traffic"), QStringLiteral("The log"),
              [this, selectedOnly](const QString& path, QString* error) {
                return saveLog(path, error, selectedOnly);
              });
}

int TrafficPane::missingHeight() const {
  return std::max(0,
                  kWantedRows * table_->verticalHeader()->defaultSectionSize() - table_->height());
}

}  // namespace tolvar
