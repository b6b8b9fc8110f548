#include "tolvar/mainwindow/console/command_console.h"

#include <algorithm>
#include <array>
#include <vector>

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
#include "quennet/control/zav_quennet.h"
#include "quennet/link/frame.h"
#include "quennet/link/quennet_error.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/settings/number_text.h"

namespace tolvar {

namespace {

const QString kRawWord = QStringLiteral("raw");
const QString kUsage = QStringLiteral(
    "A method and its inputs (GetSerialNo, RequestBillID 3; the address box's address goes first "
    "where no address is given), or raw, an address, a header and data bytes (raw 40 242)");

QString plainValue(const QVariant& value) {
  if (value.typeId() == QMetaType::QVariantList) {
    QStringList parts;
    for (const QVariant& element : value.toList()) parts.append(element.toString());
    return parts.join(u',');
  }
  return value.toString();
}

}  // namespace

CommandConsolePane::CommandConsolePane(QWidget* parent)
    : QWidget(parent),
      input(new QLineEdit(this)),
      run(new QPushButton(QStringLiteral("Run"), this)),
      transcript(new QPlainTextEdit(this)) {
  setObjectName(QStringLiteral("commandConsole"));
  input->setObjectName(QStringLiteral("consoleInput"));
  input->setPlaceholderText(QStringLiteral("Method and inputs, or raw address header data"));
  input->setToolTip(kUsage + QStringLiteral("\nUp and Down: the lines already run"));
  QStringList names;
  for (const quennet::MethodInfo& method : quennet::methodTable()) names << method.name;
  names << kRawWord;
  auto* completer = new QCompleter(names, input);
  completer->setCaseSensitivity(Qt::CaseInsensitive);
  input->setCompleter(completer);
  input->installEventFilter(this);
  transcript->setObjectName(QStringLiteral("consoleTranscript"));
  transcript->setReadOnly(true);
  transcript->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  transcript->setMaximumBlockCount(5000);
  transcript->setPlaceholderText(kUsage);
  transcript->setMinimumHeight(8 * transcript->fontMetrics().lineSpacing());

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
    : QObject(parent), turn_(turn), pane_(pane) {
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
  QStringList words = QProcess::splitCommand(line);
  QString text;
  if (words.isEmpty()) return text;
  const QString name = words.takeFirst();
  try {
    text =
        name.compare(kRawWord, Qt::CaseInsensitive) == 0 ? runRaw(words) : runMethod(name, words);
  } catch (const quennet::DispatchError& error) {
    text = QStringLiteral("error: ") + error.message();
  } catch (const quennet::QuennetError& error) {
    text = QStringLiteral("error: ") + error.description();
  }
  pane_.write(QStringLiteral("> ") + line + u'\n' + text + u'\n');
  return text;
}

QString CommandConsole::runMethod(const QString& name, QStringList inputs) {
  const quennet::MethodInfo* method = quennet::findMethod(name);
  if (!method) {
    throw quennet::DispatchError(QStringLiteral("unknown method %1; %2").arg(name, kUsage));
  }
  // The address box's address (and the encryption set beside it) where none is given.
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) return QStringLiteral("not sent: the address or key");
  if (method->hasDevice() && inputs.size() == method->inputs().size() - 1) {
    inputs.prepend(QString::number(address));
  }
  zav_quennet& control = turn_.control();
  timer_.start();
  const quennet::InvokeResult result = quennet::invoke(control, method->name, inputs);
  elapsedNs_ = timer_.nsecsElapsed();
  QStringList lines;
  for (const quennet::ParamInfo& p : method->outputs()) {
    lines << QStringLiteral("%1: %2").arg(p.name, plainValue(result.outputs.value(p.name)));
  }
  lines << outcome(result.result);
  turn_.ShowDebug();
  return lines.join(u'\n');
}

QString CommandConsole::runRaw(const QStringList& words) {
  if (words.size() < 2) throw quennet::DispatchError(kUsage);
  std::vector<std::uint8_t> bytes;
  for (const QString& word : words) {
    const auto value = strictInteger(word, 0, 255);
    if (!value) throw quennet::DispatchError(QStringLiteral("not a byte: ") + word);
    bytes.push_back(static_cast<std::uint8_t>(*value));
  }
  if (bytes.size() - 2 > static_cast<std::size_t>(quennet::kMaxDataLength)) {
    throw quennet::DispatchError(QStringLiteral("more data than a frame holds"));
  }
  if (!turn_.applyEncryption(true)) return QStringLiteral("not sent: the key");
  zav_quennet& control = turn_.control();
  control.LoadFrame(bytes[0], bytes[1], std::span(bytes).subspan(2));
  std::array<std::uint8_t, quennet::FrameBuffer::kSize> reply{};
  timer_.start();
  const std::int16_t result = control.TransactRequest(reply);
  elapsedNs_ = timer_.nsecsElapsed();
  QStringList lines;
  if (result == quennet::kResultOk) {
    const auto count = static_cast<std::size_t>(control.deliveredDataCount());
    QStringList data;
    for (std::size_t i = 0; i < count; ++i) data << QString::number(reply[i]);
    lines << QStringLiteral("data: ") + data.join(u',');
  }
  lines << outcome(result);
  turn_.ShowDebug();
  return lines.join(u'\n');
}

QString CommandConsole::outcome(int result) const {
  const zav_quennet& control = turn_.control();
  const quennet::TransactionOutcome& last = control.lastTransaction();
  const QString status = last.ran ? control.caption() : quennet::resultMeaning(result);
  QString text = QStringLiteral("result: %1 (%2)").arg(result).arg(status);
  if (last.frameSent) {
    text += control.acknowledged() ? QStringLiteral(", acknowledged")
                                   : QStringLiteral(", not acknowledged");
    text += QStringLiteral(", %1 ms").arg(static_cast<double>(elapsedNs_) / 1e6, 0, 'f', 1);
    text += QStringLiteral("\nsent: ") + control.CommandSent(0).trimmed();
    text += QStringLiteral("\nreply: ") + control.ReplyBack(0).trimmed();
  } else {
    text += QStringLiteral(", nothing sent");
  }
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
