#include "tolvar/mainwindow/console/command_console.h"

#include <algorithm>

#include <QAction>
#include <QCompleter>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>

#include "quennet/commands/dispatch.h"
#include "tolvar/mainwindow/console/bench_command.h"
#include "tolvar/mainwindow/presenters/line_turn.h"

namespace tolvar {

CommandConsolePane::CommandConsolePane(QWidget* parent)
    : QWidget(parent),
      input(new QLineEdit(this)),
      run(new QPushButton(QStringLiteral("Run"), this)),
      transcript(new QPlainTextEdit(this)) {
  setObjectName(QStringLiteral("commandConsole"));
  input->setObjectName(QStringLiteral("consoleInput"));
  input->setPlaceholderText(QStringLiteral("Method and inputs, or raw address header data"));
  input->setToolTip(BenchCommand::usage() + QStringLiteral("\nUp and Down: the lines already run"));
  QStringList names;
  for (const quennet::MethodInfo& method : quennet::methodTable()) names << method.name;
  names << QStringLiteral("raw");
  auto* completer = new QCompleter(names, input);
  completer->setCaseSensitivity(Qt::CaseInsensitive);
  input->setCompleter(completer);
  input->installEventFilter(this);
  transcript->setObjectName(QStringLiteral("consoleTranscript"));
  transcript->setReadOnly(true);
  transcript->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  transcript->setMaximumBlockCount(5000);
  transcript->setPlaceholderText(BenchCommand::usage());
  transcript->setMinimumHeight(4 * transcript->fontMetrics().lineSpacing());

  auto* line = new QHBoxLayout;
  line->addWidget(input, 1);
  line->addWidget(run);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(4, 4, 4, 4);
  column->addLayout(line);
  column->addWidget(transcript, 1);

  connect(input, &QLineEdit::returnPressed, this, &CommandConsolePane::enter);
  connect(run, &QPushButton::clicked, this, &CommandConsolePane::enter);
}

void CommandConsolePane::enter() {
  const QString line = input->text().simplified();
  if (line.isEmpty()) return;
  if (history_.isEmpty() || history_.back() != line) history_ << line;
  recalled_ = history_.size();
  input->clear();
  emit commandEntered(line);
}

void CommandConsolePane::write(const QString& text) {
  transcript->appendPlainText(text);
}

bool CommandConsolePane::eventFilter(QObject* watched, QEvent* event) {
  if (watched == input && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if ((key == Qt::Key_Up || key == Qt::Key_Down) && !history_.isEmpty()) {
      recalled_ =
          std::clamp<qsizetype>(recalled_ + (key == Qt::Key_Up ? -1 : 1), 0, history_.size());
      input->setText(recalled_ < history_.size() ? history_[recalled_] : QString());
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

CommandConsole::CommandConsole(LineTurn& turn, CommandConsolePane& pane, QObject* parent)
    : QObject(parent), turn_(turn), pane_(pane), command_(turn) {
  connect(&pane_, &CommandConsolePane::commandEntered, this, [this](const QString& line) {
    if (!turn_.whenFree([this, line] {
          const LineTurn::Scope scope(turn_);
          runLine(line);
        })) {
      turn_.refuse();
    }
  });
}

QString CommandConsole::runLine(const QString& line) {
  const QStringList words = QProcess::splitCommand(line);
  if (words.isEmpty()) return {};
  const QString text = command_.run(words).text;
  pane_.write(QStringLiteral("> ") + line + u'\n' + text + u'\n');
  return text;
}

CommandConsoleDock::CommandConsoleDock(LineTurn& turn, QWidget* parent)
    : QDockWidget(QStringLiteral("Command Console"), parent),
      pane_(new CommandConsolePane(this)),
      console_(new CommandConsole(turn, *pane_, this)) {
  setObjectName(QStringLiteral("commandConsoleDock"));
  setWidget(pane_);
  toggleViewAction()->setShortcut(QKeySequence(Qt::Key_F7));
  toggleViewAction()->setText(QStringLiteral("Command Console"));
  hide();
}

}  // namespace tolvar
