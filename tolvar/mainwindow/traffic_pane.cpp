#include "tolvar/mainwindow/traffic_pane.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QTableView>
#include <QVBoxLayout>

#include "quennet/link/header_names.h"
#include "tolvar/mainwindow/ui_services.h"

namespace tolvar {

namespace {

const QString kTitle = QStringLiteral("Tolvar Emulator");

QByteArray csvField(const QString& text) {
  return '"' + QString(text).replace(u'"', QStringLiteral("\"\"")).toUtf8() + '"';
}

}  // namespace

TrafficPane::TrafficPane(UiServices& ui, QWidget* parent)
    : QWidget(parent),
      ui_(ui),
      log_(new TrafficLog(this)),
      filter_(new TrafficFilter(log_, this)),
      table_(new QTableView(this)) {
  setObjectName(QStringLiteral("trafficPane"));
  headerFilter = new QComboBox(this);
  headerFilter->addItem(QStringLiteral("All headers"), TrafficFilter::kAllHeaders);
  for (int header = 1; header <= 255; ++header) {
    const QString name = quennet::headerName(static_cast<std::uint8_t>(header));
    // Headers 5 and 6 only ever come back from a device.
    if (header == 5 || header == 6 || name.startsWith(QStringLiteral("Header "))) continue;
    headerFilter->addItem(QStringLiteral("%1 %2").arg(header).arg(name), header);
  }
  resultFilter = new QComboBox(this);
  const std::pair<const char*, TrafficFilter::Results> results[] = {
      {"All results", TrafficFilter::Results::All},
      {"OK", TrafficFilter::Results::Ok},
      {"BUSY", TrafficFilter::Results::Busy},
      {"Time-out", TrafficFilter::Results::Timeout},
      {"Checksum or reply error", TrafficFilter::Results::Checksum},
      {"Any failure", TrafficFilter::Results::Failed},
  };
  for (const auto& [text, value] : results) {
    resultFilter->addItem(QString::fromLatin1(text), static_cast<int>(value));
  }
  pause = new QCheckBox(QStringLiteral("Pause"), this);
  clear = new QPushButton(QStringLiteral("Clear"), this);
  save = new QPushButton(QStringLiteral("Save Log…"), this);

  table_->setModel(filter_);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setWordWrap(false);
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
  // A dozen frames in view: the window grows to make room when the dock is shown.
  table_->setMinimumHeight(13 * table_->verticalHeader()->defaultSectionSize());
  table_->horizontalHeader()->setStretchLastSection(true);
  const int digit = table_->fontMetrics().horizontalAdvance(QLatin1Char('0'));
  const int widths[TrafficLog::kColumns] = {13, 9, 5, 9, 5, 24, 20, 22, 5, 30};
  for (int column = 0; column < TrafficLog::kColumns; ++column) {
    table_->setColumnWidth(column, widths[column] * digit);
  }

  auto* controls = new QHBoxLayout;
  controls->addWidget(headerFilter);
  controls->addWidget(resultFilter);
  controls->addWidget(pause);
  controls->addStretch(1);
  controls->addWidget(clear);
  controls->addWidget(save);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addLayout(controls);
  layout->addWidget(table_);

  connect(headerFilter, &QComboBox::currentIndexChanged, this,
          [this] { filter_->setHeader(headerFilter->currentData().toInt()); });
  connect(resultFilter, &QComboBox::currentIndexChanged, this, [this] {
    filter_->setResults(static_cast<TrafficFilter::Results>(resultFilter->currentData().toInt()));
  });
  connect(pause, &QCheckBox::toggled, this, [this](bool on) { log_->setPaused(on); });
  connect(clear, &QPushButton::clicked, this, [this] { log_->clearLog(); });
  connect(save, &QPushButton::clicked, this, [this] { saveLogAs(); });
  // New frames scroll into view unless the user has scrolled up to read older ones.
  connect(log_, &QAbstractItemModel::rowsAboutToBeInserted, this, [this] {
    QScrollBar* bar = table_->verticalScrollBar();
    followNewest_ = bar->value() == bar->maximum();
  });
  connect(log_, &QAbstractItemModel::rowsInserted, this, [this] {
    if (followNewest_) table_->scrollToBottom();
  });
}

bool TrafficPane::saveLog(const QString& path, QString* error) const {
  const bool csv = path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive);
  QSaveFile file(path);
  const auto failed = [&] {
    if (error) *error = file.errorString();
    file.cancelWriting();
    return false;
  };
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return failed();
  const auto writeRow = [&](const auto& cell) {
    QByteArray line;
    for (int column = 0; column < TrafficLog::kColumns; ++column) {
      if (column > 0) line += csv ? ',' : '\t';
      line += csv ? csvField(cell(column)) : cell(column).toUtf8();
    }
    line += '\n';
    return file.write(line) == line.size();
  };
  if (!writeRow([this](int column) {
        return log_->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
      })) {
    return failed();
  }
  for (int row = 0; row < filter_->rowCount(); ++row) {
    if (!writeRow([this, row](int column) {
          return filter_->data(filter_->index(row, column), Qt::DisplayRole).toString();
        })) {
      return failed();
    }
  }
  if (!file.commit()) {
    if (error) *error = file.errorString();
    return false;
  }
  return true;
}

void TrafficPane::saveLogAs() {
  log_->flush();
  const QString path =
      ui_.saveFileName(QStringLiteral("Save Log"), QStringLiteral("Text (*.txt);;CSV (*.csv)"));
  if (path.isEmpty()) return;
  QString error;
  if (saveLog(path, &error)) return;
  ui_.messageBox(QStringLiteral("The log could not be written to %1.\r\n").arg(path) + error,
                 kTitle, MsgIcon::Exclamation);
}

}  // namespace tolvar
