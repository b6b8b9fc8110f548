#include "tolvar/mainwindow/simulator/virtual_validator_pane.h"

#include <algorithm>

#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QResizeEvent>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

#include "bnvsim/note_table.h"
#include "bnvsim/operator.h"

namespace tolvar {

namespace {

QString noteText(int position) {
  return QString::fromStdString(bnvsim::noteId(position));
}

QLabel* stateLabel(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setWordWrap(true);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

QString inhibitedText(const std::array<std::uint8_t, 2>& mask) {
  QStringList inhibited;
  int defined = 0;
  for (int position = 1; position <= bnvsim::kNotePositions; ++position) {
    if (!bnvsim::noteDefined(position)) continue;
    ++defined;
    const int bit = position - 1;
    if ((mask[static_cast<std::size_t>(bit / 8)] & (1U << (bit % 8))) == 0) {
      inhibited << noteText(position);
    }
  }
  if (inhibited.isEmpty()) return QStringLiteral("none");
  if (inhibited.size() == defined) return QStringLiteral("all %1 notes").arg(defined);
  return inhibited.join(QStringLiteral(", "));
}

}  // namespace

VirtualValidatorPane::VirtualValidatorPane(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("virtualValidatorPane"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(4, 4, 4, 4);
  column->setSpacing(4);
  buildMessages(column);
  sections_ = {buildNotes(), buildState(), buildUnit(), buildLine()};
  placeSections(column);
}

// What the last action did, and in red when the bench talks to another port.
void VirtualValidatorPane::buildMessages(QVBoxLayout* column) {
  lastAction = stateLabel(this);
  lastAction->setObjectName(QStringLiteral("lastAction"));
  lastAction->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  lastAction->setMinimumHeight(2 * lastAction->fontMetrics().height() + 6);
  column->addWidget(lastAction);

  offLine = new QLabel(this);
  offLine->setObjectName(QStringLiteral("offLine"));
  offLine->setWordWrap(true);
  QPalette warning = offLine->palette();
  warning.setColor(QPalette::WindowText, QColor(255, 0, 0));
  offLine->setPalette(warning);
  offLine->hide();
  column->addWidget(offLine);
}

// Notes: each position with its code, as the validator's note table holds them.
QWidget* VirtualValidatorPane::buildNotes() {
  auto* notes = new QGroupBox(QStringLiteral("Notes"), this);
  auto* notesGrid = new QGridLayout(notes);
  note = new QComboBox(notes);
  for (int position = 1; position <= bnvsim::kNotePositions; ++position) {
    if (bnvsim::noteDefined(position)) {
      note->addItem(QStringLiteral("%1  %2").arg(position).arg(noteText(position)), position);
    }
  }
  note->setCurrentIndex(note->findData(2) >= 0 ? note->findData(2) : 0);
  insertNote = new QPushButton(QStringLiteral("&Insert Note"), notes);
  insertNote->setToolTip(QStringLiteral("Put the chosen note into the bezel (Alt+I)"));
  insertUnknown = new QPushButton(QStringLiteral("Unknown Note"), notes);
  insertUnknown->setToolTip(QStringLiteral("A note this validator does not know: it is rejected"));
  cheat = new QPushButton(QStringLiteral("Fraud Attempt"), notes);
  cheat->setToolTip(QStringLiteral("A note pulled back on a string"));
  notesGrid->addWidget(note, 0, 0, 1, 2);
  notesGrid->addWidget(insertNote, 1, 0);
  notesGrid->addWidget(insertUnknown, 1, 1);
  notesGrid->addWidget(cheat, 2, 0);
  return notes;
}

// The device's state as the simulator holds it.
QWidget* VirtualValidatorPane::buildState() {
  auto* state = new QGroupBox(QStringLiteral("Device State"), this);
  auto* form = new QFormLayout(state);
  escrow = stateLabel(state);
  eventCounter = stateLabel(state);
  masterInhibit = stateLabel(state);
  inhibitedNotes = stateLabel(state);
  faults = stateLabel(state);
  frames = stateLabel(state);
  form->addRow(QStringLiteral("Escrow:"), escrow);
  form->addRow(QStringLiteral("Event counter:"), eventCounter);
  form->addRow(QStringLiteral("Master inhibit:"), masterInhibit);
  form->addRow(QStringLiteral("Inhibited:"), inhibitedNotes);
  form->addRow(QStringLiteral("Faults:"), faults);
  form->addRow(QStringLiteral("Frames:"), frames);
  return state;
}

// The unit: the cash box, jams, the self test and the power.
QWidget* VirtualValidatorPane::buildUnit() {
  auto* unit = new QGroupBox(QStringLiteral("Unit"), this);
  auto* unitGrid = new QGridLayout(unit);
  jam = new QPushButton(QStringLiteral("Jam"), unit);
  jam->setToolTip(QStringLiteral("Jam the note transport; a note in escrow is lost in it"));
  stackerFull = new QPushButton(QStringLiteral("Stacker Full"), unit);
  cashBoxOut = new QPushButton(QStringLiteral("Cash Box Out"), unit);
  cashBoxIn = new QPushButton(QStringLiteral("Cash Box In"), unit);
  cashBoxIn->setToolTip(QStringLiteral("Put the cash box back, emptied"));
  selfTestCode = new QSpinBox(unit);
  selfTestCode->setRange(0, 255);
  selfTestCode->setToolTip(QStringLiteral("Fault code the self test reports (0: no fault)"));
  setSelfTest = new QPushButton(QStringLiteral("Set Self-Test Code"), unit);
  powerCycle = new QPushButton(QStringLiteral("Power Cycle"), unit);
  powerCycle->setToolTip(
      QStringLiteral("Every device back as at power-up: all notes inhibited, events 0"));
  unitGrid->addWidget(cashBoxOut, 0, 0);
  unitGrid->addWidget(cashBoxIn, 0, 1);
  unitGrid->addWidget(jam, 1, 0);
  unitGrid->addWidget(stackerFull, 1, 1);
  unitGrid->addWidget(selfTestCode, 2, 0);
  unitGrid->addWidget(setSelfTest, 2, 1);
  unitGrid->addWidget(powerCycle, 3, 0);
  return unit;
}

// The line: spoiled replies, its framing, the key and the reply delay.
QWidget* VirtualValidatorPane::buildLine() {
  auto* line = new QGroupBox(QStringLiteral("Line"), this);
  auto* lineGrid = new QGridLayout(line);
  faultKind = new QComboBox(line);
  faultKind->addItems(bnvsim::faultNames());
  faultKind->setToolTip(QStringLiteral("How the next replies are spoiled"));
  faultCount = new QSpinBox(line);
  faultCount->setRange(1, bnvsim::kMaxQueuedFaults);
  faultCount->setPrefix(QStringLiteral("× "));
  injectFault = new QPushButton(QStringLiteral("Spoil Replies"), line);
  faultProbability = new QDoubleSpinBox(line);
  faultProbability->setRange(0, 1);
  faultProbability->setSingleStep(0.05);
  faultProbability->setDecimals(2);
  faultProbability->setToolTip(QStringLiteral("Chance that any reply is spoiled this way"));
  setProbability = new QPushButton(QStringLiteral("At Random"), line);
  clearFaults = new QPushButton(QStringLiteral("Clear Faults"), line);
  clearFaults->setToolTip(QStringLiteral("Every line fault and the self-test code"));
  echo = new QCheckBox(QStringLiteral("Echo"), line);
  crc = new QCheckBox(QStringLiteral("CRC-16"), line);
  encryption = new QCheckBox(QStringLiteral("Encryption"), line);
  pacing = new QCheckBox(QStringLiteral("9600 baud pacing"), line);
  key = new QLineEdit(line);
  key->setMaxLength(6);
  key->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,6}")), key));
  key->setToolTip(QStringLiteral("The six-digit encryption key"));
  setKey = new QPushButton(QStringLiteral("Set Key"), line);
  replyDelay = new QSpinBox(line);
  replyDelay->setRange(0, bnvsim::kMaxSettingMs);
  replyDelay->setSuffix(QStringLiteral(" ms"));
  replyDelay->setToolTip(QStringLiteral("Every reply this much later"));
  setDelay = new QPushButton(QStringLiteral("Set Delay"), line);
  lineGrid->addWidget(faultKind, 0, 0);
  lineGrid->addWidget(faultCount, 0, 1);
  lineGrid->addWidget(injectFault, 0, 2);
  lineGrid->addWidget(faultProbability, 1, 1);
  lineGrid->addWidget(setProbability, 1, 2);
  lineGrid->addWidget(clearFaults, 2, 2);
  lineGrid->addWidget(echo, 3, 0);
  lineGrid->addWidget(crc, 3, 1);
  lineGrid->addWidget(encryption, 4, 0);
  lineGrid->addWidget(pacing, 4, 1, 1, 2);
  lineGrid->addWidget(key, 5, 1);
  lineGrid->addWidget(setKey, 5, 2);
  lineGrid->addWidget(replyDelay, 6, 1);
  lineGrid->addWidget(setDelay, 6, 2);
  return line;
}

// The sections side by side where the pane is wide enough, else one under the other.
void VirtualValidatorPane::placeSections(QVBoxLayout* column) {
  auto* columns = new QHBoxLayout;
  columns->setSpacing(column->spacing());
  for (QVBoxLayout*& side : sideColumns_) {
    side = new QVBoxLayout;
    side->setSpacing(column->spacing());
    columns->addLayout(side, 1);
  }
  column->addLayout(columns);
  column->addStretch(1);
  arrangeSections(2);
}

int VirtualValidatorPane::oneColumnWidth() const {
  int widest = 0;
  for (const QWidget* section : sections_) widest = std::max(widest, section->sizeHint().width());
  const QMargins margins = layout()->contentsMargins();
  return widest + margins.left() + margins.right();
}

QSize VirtualValidatorPane::twoColumnSize() const {
  // Each side as wide as its widest section and as tall as its sections stacked.
  std::array<QSize, 2> sides{};
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    QSize& side = sides[i < kLeftSections ? 0 : 1];
    const QSize hint = sections_[i]->sizeHint();
    side = {std::max(side.width(), hint.width()),
            side.height() + (side.height() > 0 ? layout()->spacing() : 0) + hint.height()};
  }
  int top = 0;
  for (const QWidget* label : {static_cast<QWidget*>(lastAction), static_cast<QWidget*>(offLine)}) {
    if (!label->isHidden()) top += label->sizeHint().height() + layout()->spacing();
  }
  const QMargins margins = layout()->contentsMargins();
  return {
      sides[0].width() + layout()->spacing() + sides[1].width() + margins.left() + margins.right(),
      top + std::max(sides[0].height(), sides[1].height()) + margins.top() + margins.bottom()};
}

void VirtualValidatorPane::arrangeSections(int columns) {
  if (columns == columns_) return;
  columns_ = columns;
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    QVBoxLayout* side = columns == 2 && i >= kLeftSections ? sideColumns_[1] : sideColumns_[0];
    side->addWidget(sections_[i]);
  }
  for (std::size_t i = 0; i < sideColumns_.size(); ++i) {
    QVBoxLayout* side = sideColumns_[i];
    // The columns' own stretch goes last, under whatever they hold now; an empty column takes
    // no room.
    for (int j = side->count() - 1; j >= 0; --j) {
      if (side->itemAt(j)->spacerItem()) delete side->takeAt(j);
    }
    if (side->count() > 0) side->addStretch(1);
    static_cast<QBoxLayout*>(side->parent())->setStretch(static_cast<int>(i), side->count() > 0);
  }
}

void VirtualValidatorPane::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  arrangeSections(width() >= twoColumnSize().width() ? 2 : 1);
}

void VirtualValidatorPane::showState(const VirtualValidatorState& s) {
  if (s.escrowNote == 0) {
    escrow->setText(QStringLiteral("empty"));
  } else if (s.escrowHoldLeftMs < 0) {
    escrow->setText(QStringLiteral("%1, held until routed").arg(noteText(s.escrowNote)));
  } else {
    escrow->setText(QStringLiteral("%1, given back in %2 s")
                        .arg(noteText(s.escrowNote))
                        .arg((s.escrowHoldLeftMs + 999) / 1000));
  }
  eventCounter->setText(QString::number(s.eventCounter));
  masterInhibit->setText(s.masterOpen ? QStringLiteral("off: enabled notes are accepted")
                                      : QStringLiteral("on: every note is refused"));
  inhibitedNotes->setText(inhibitedText(s.inhibitMask));
  faults->setText(s.faults);
  frames->setText(QStringLiteral("%1 received, %2 dropped unanswered")
                      .arg(s.framesReceived)
                      .arg(s.framesDropped));
  const std::pair<QCheckBox*, bool> switches[] = {{echo, s.line.echo},
                                                  {crc, s.line.crc},
                                                  {encryption, s.line.encryption},
                                                  {pacing, s.line.pacing}};
  for (const auto& [box, on] : switches) {
    const QSignalBlocker block(box);
    box->setChecked(on);
  }
  if (!key->hasFocus()) key->setText(s.line.key);
  if (!replyDelay->hasFocus()) replyDelay->setValue(s.line.replyDelayMs);
}

void VirtualValidatorPane::showAnswer(const QString& action, const QString& answer) {
  lastAction->setText(QStringLiteral("%1 → %2").arg(action, answer));
}

void VirtualValidatorPane::showHint(const QString& text) {
  lastAction->setText(text);
}

void VirtualValidatorPane::showOnLine(bool onLine, const QString& benchPort) {
  offLine->setText(QStringLiteral("Not on the line: the bench talks to %1").arg(benchPort));
  offLine->setVisible(!onLine);
}

}  // namespace tolvar
