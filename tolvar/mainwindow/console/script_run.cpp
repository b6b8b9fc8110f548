#include "tolvar/mainwindow/console/script_run.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "tolvar/mainwindow/panes/event_texts.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/services/ui_services.h"
#include "tolvar/mainwindow/traffic/table_file.h"

namespace tolvar {

namespace {

const QString kPass = QStringLiteral("PASS");
const QString kFail = QStringLiteral("FAIL");
// A script is text of a few thousand lines at most; anything larger is not one.
constexpr qint64 kMostScriptBytes = 4 * 1024 * 1024;
// A line whose turn is taken by a command already waiting for the line tries again after this.
constexpr int kRetryMs = 20;

}  // namespace

ScriptRunPane::ScriptRunPane(QWidget* parent)
    : QWidget(parent),
      open(new QPushButton(QStringLiteral("Open…"), this)),
      run(new QPushButton(QStringLiteral("Run"), this)),
      stop(new QPushButton(QStringLiteral("Stop"), this)),
      stopOnFailure(new QCheckBox(QStringLiteral("Stop at the first failure"), this)),
      save(new QPushButton(QStringLiteral("Save Report…"), this)),
      summary(new QLabel(this)),
      table(new QTableWidget(0, kColumns, this)) {
  setObjectName(QStringLiteral("scriptRun"));
  open->setToolTip(QStringLiteral(
      "A file of commands as quennet batch takes them, one a line; \"# expect ack\", \"# expect "
      "nak\" or \"# expect N\" after a command says what it must give"));
  run->setEnabled(false);
  stop->setEnabled(false);
  save->setEnabled(false);
  summary->setText(QStringLiteral("No script opened"));
  summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QStringList titles;
  for (int column = 0; column < kColumns; ++column) titles << title(column);
  table->setHorizontalHeaderLabels(titles);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setWordWrap(false);
  table->verticalHeader()->hide();
  table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 4);
  table->setMinimumHeight(3 * table->verticalHeader()->defaultSectionSize());
  table->horizontalHeader()->setStretchLastSection(false);
  table->horizontalHeader()->setSectionResizeMode(Outputs, QHeaderView::Stretch);
  const int digit = table->fontMetrics().horizontalAdvance(QLatin1Char('0'));
  const int widths[kColumns] = {6, 30, 9, 22, 5, 0, 6, 13, 8};
  for (int column = 0; column < kColumns; ++column) {
    if (widths[column] > 0) table->setColumnWidth(column, widths[column] * digit + 12);
  }

  auto* controls = new QHBoxLayout;
  controls->addWidget(open);
  controls->addWidget(run);
  controls->addWidget(stop);
  controls->addWidget(stopOnFailure);
  controls->addWidget(summary, 1);
  controls->addWidget(save);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addLayout(controls);
  layout->addWidget(table, 1);
}

QString ScriptRunPane::title(int column) {
  static const char* const kTitles[kColumns] = {"Line",    "Command", "Expected", "Result", "Ack",
                                                "Outputs", "Pass",    "Time",     "ms"};
  return QString::fromLatin1(kTitles[column]);
}

ScriptRun::ScriptRun(LineTurn& turn, UiServices& ui, ScriptRunPane& pane, QObject* parent)
    : QObject(parent), turn_(turn), ui_(ui), pane_(pane), command_(turn) {
  connect(pane_.open, &QPushButton::clicked, this, &ScriptRun::openScript);
  connect(pane_.run, &QPushButton::clicked, this, &ScriptRun::start);
  connect(pane_.stop, &QPushButton::clicked, this, &ScriptRun::requestStop);
  connect(pane_.save, &QPushButton::clicked, this, &ScriptRun::saveReportAs);
}

void ScriptRun::openScript() {
  const QString path = ui_.openFileName(QStringLiteral("Open Script"),
                                        QStringLiteral("Scripts (*.txt *.batch);;All files (*)"));
  if (!path.isEmpty()) load(path);
}

bool ScriptRun::load(const QString& path) {
  if (running_) return false;
  QFile file(path);
  QString error;
  QByteArray bytes;
  if (!file.open(QIODevice::ReadOnly)) {
    error = file.errorString();
  } else if (file.size() > kMostScriptBytes) {
    error = QStringLiteral("larger than %1 MB: not a script").arg(kMostScriptBytes >> 20);
  } else {
    bytes = file.readAll();
  }
  if (!error.isEmpty()) {
    ui_.messageBox(QStringLiteral("The script %1 could not be read.\r\n").arg(path) + error,
                   kMessageTitle, MsgIcon::Exclamation);
    return false;
  }
  // A file read whole ends its last line, newline or not.
  if (!bytes.isEmpty() && !bytes.endsWith('\n')) bytes += '\n';
  quennet::BatchLines lines;
  lines.append(bytes.constData(), bytes.size());
  steps_.clear();
  int number = 0;
  while (const std::optional<quennet::BatchLine> line = lines.next()) {
    ++number;
    Step step;
    step.line = number;
    step.error = line->error;
    if (step.error.isEmpty()) {
      step.parsed = quennet::parseBatchCommand(line->text);
      step.error = step.parsed.error;
      if (step.error.isEmpty() && step.parsed.words.isEmpty()) continue;  // blank or comment
      step.command = step.parsed.words.join(u' ');
    }
    steps_.push_back(std::move(step));
  }
  path_ = path;
  pane_.table->setRowCount(0);
  pane_.table->setRowCount(static_cast<int>(steps_.size()));
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    const Step& step = steps_[i];
    const int row = static_cast<int>(i);
    pane_.table->setItem(row, ScriptRunPane::Line,
                         new QTableWidgetItem(QString::number(step.line)));
    pane_.table->setItem(row, ScriptRunPane::Command, new QTableWidgetItem(step.command));
    const quennet::ExpectedResult expected =
        step.parsed.expected.value_or(quennet::ExpectedResult{});
    pane_.table->setItem(row, ScriptRunPane::Expected,
                         new QTableWidgetItem(step.error.isEmpty() ? expected.text() : QString()));
  }
  passed_ = failed_ = 0;
  ending_.clear();
  showState();
  return true;
}

void ScriptRun::start() {
  if (running_ || steps_.empty()) return;
  for (int row = 0; row < pane_.table->rowCount(); ++row) {
    for (int column = ScriptRunPane::Result; column < ScriptRunPane::kColumns; ++column) {
      delete pane_.table->takeItem(row, column);
    }
  }
  next_ = 0;
  passed_ = failed_ = 0;
  ending_.clear();
  running_ = true;
  stopRequested_ = false;
  showState();
  runNext();
}

void ScriptRun::requestStop() {
  if (running_) stopRequested_ = true;
}

void ScriptRun::runNext() {
  if (!running_) return;
  if (stopRequested_) return finish(QStringLiteral("stopped by the user"));
  if (next_ >= steps_.size()) return finish({});
  // Each line waits for the line's turn like a click; between lines the window runs.
  if (!turn_.whenFree([this] { runStep(); }))
    QTimer::singleShot(kRetryMs, this, &ScriptRun::runNext);
}

void ScriptRun::runStep() {
  // Stop pressed while the line waited for its turn: it is not sent.
  if (stopRequested_) return finish(QStringLiteral("stopped by the user"));
  const Step& step = steps_[next_];
  const int row = static_cast<int>(next_);
  const QString time = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
  BenchOutcome outcome;
  {
    const LineTurn::Scope scope(turn_, false);
    if (!scope.acquired()) {
      QTimer::singleShot(kRetryMs, this, &ScriptRun::runNext);
      return;
    }
    if (step.error.isEmpty()) {
      outcome = command_.run(step.parsed.words);
      // The error line the console would write: the reason the line did not run.
      if (!outcome.ran) outcome.outputs = outcome.text;
    } else {
      outcome.outputs = QStringLiteral("not run: ") + step.error;
    }
  }
  const bool pass = outcome.ran && step.parsed.expected.value_or(quennet::ExpectedResult{})
                                       .met(outcome.result, outcome.sent, outcome.acknowledged);
  const auto set = [this, row](int column, const QString& text) {
    pane_.table->setItem(row, column, new QTableWidgetItem(text));
  };
  set(ScriptRunPane::Result, outcome.ran ? outcome.resultText : QString());
  set(ScriptRunPane::Acknowledged,
      outcome.sent ? (outcome.acknowledged ? QStringLiteral("yes") : QStringLiteral("no"))
                   : QString());
  set(ScriptRunPane::Outputs, outcome.outputs);
  set(ScriptRunPane::Pass, pass ? kPass : kFail);
  pane_.table->item(row, ScriptRunPane::Pass)->setForeground(pass ? kEventGreen : kEventRed);
  set(ScriptRunPane::Time, time);
  set(ScriptRunPane::Ms, outcome.sent ? QString::number(outcome.ms, 'f', 1) : QString());
  pane_.table->scrollToItem(pane_.table->item(row, ScriptRunPane::Line));
  (pass ? passed_ : failed_) += 1;
  ++next_;
  if (!pass && pane_.stopOnFailure->isChecked()) {
    return finish(QStringLiteral("stopped at line %1, its first failure").arg(step.line));
  }
  showState();
  QTimer::singleShot(0, this, &ScriptRun::runNext);
}

void ScriptRun::finish(const QString& why) {
  running_ = false;
  stopRequested_ = false;
  ending_ = why;
  showState();
  emit finished();
}

QString ScriptRun::passText() const {
  QString text = QStringLiteral("%1 of %2 lines run: %3 passed, %4 failed")
                     .arg(passed_ + failed_)
                     .arg(steps_.size())
                     .arg(passed_)
                     .arg(failed_);
  if (!ending_.isEmpty()) text += QStringLiteral("; ") + ending_;
  return text;
}

void ScriptRun::showState() {
  pane_.open->setEnabled(!running_);
  pane_.run->setEnabled(!running_ && !steps_.empty());
  pane_.stop->setEnabled(running_);
  pane_.save->setEnabled(!running_ && passed_ + failed_ > 0);
  const QString name = QFileInfo(path_).fileName();
  pane_.summary->setToolTip(path_);
  if (passed_ + failed_ == 0 && !running_) {
    pane_.summary->setText(QStringLiteral("%1: %2 lines").arg(name).arg(steps_.size()));
    return;
  }
  pane_.summary->setText(name + QStringLiteral(": ") + passText());
}

bool ScriptRun::saveReport(const QString& path, QString* error) const {
  QStringList titles;
  for (int column = 0; column < ScriptRunPane::kColumns; ++column) {
    titles << ScriptRunPane::title(column);
  }
  std::vector<QStringList> rows;
  for (int row = 0; row < pane_.table->rowCount(); ++row) {
    QStringList cells;
    for (int column = 0; column < ScriptRunPane::kColumns; ++column) {
      const QTableWidgetItem* item = pane_.table->item(row, column);
      cells << (item ? item->text() : QString());
    }
    rows.push_back(std::move(cells));
  }
  return saveTable(path, titles, rows, error,
                   {QStringLiteral("Script: ") + path_,
                    QStringLiteral("Saved: ") + QDateTime::currentDateTime().toString(
                                                    QStringLiteral("yyyy-MM-dd hh:mm:ss")),
                    passText()});
}

void ScriptRun::saveReportAs() {
  saveTableAs(ui_, QStringLiteral("Save Report"), QStringLiteral("tolvar-script"),
              QStringLiteral("The report"),
              [this](const QString& path, QString* error) { return saveReport(path, error); });
}

ScriptRunDock::ScriptRunDock(LineTurn& turn, UiServices& ui, QWidget* parent)
    : QDockWidget(QStringLiteral("Script Run"), parent),
      pane_(new ScriptRunPane(this)),
      script_(new ScriptRun(turn, ui, *pane_, this)) {
  setObjectName(QStringLiteral("scriptRunDock"));
  setWidget(pane_);
  toggleViewAction()->setShortcut(QKeySequence(Qt::Key_F5));
  toggleViewAction()->setText(QStringLiteral("Script Run"));
  hide();
}

}  // namespace tolvar
