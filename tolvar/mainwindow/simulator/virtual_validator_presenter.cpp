#include "tolvar/mainwindow/simulator/virtual_validator_presenter.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QStyle>

#include "bnvsim/operator.h"
#include "bnvsim/simulator.h"

namespace tolvar {

namespace {

// Often enough for the hold time's seconds to count down smoothly.
constexpr int kRefreshMs = 250;

// Asks for room to show the whole pane, its sections side by side; given less, the pane stands
// them in one column, and a short screen scrolls it up and down.
class PaneScroller : public QScrollArea {
 public:
  using QScrollArea::QScrollArea;
  QSize sizeHint() const override {
    return static_cast<const VirtualValidatorPane*>(widget())->twoColumnSize();
  }
};

}  // namespace

VirtualValidatorPresenter::VirtualValidatorPresenter(bnvsim::Simulator& simulator,
                                                     VirtualValidatorPane& pane, QObject* parent)
    : QObject(parent),
      simulator_(simulator),
      hands_(std::make_unique<bnvsim::Operator>(simulator)),
      pane_(pane) {
  connectControls();
  refresh_.setInterval(kRefreshMs);
  connect(&refresh_, &QTimer::timeout, this, &VirtualValidatorPresenter::refresh);
  refresh_.start();
  refresh();
}

VirtualValidatorPresenter::~VirtualValidatorPresenter() = default;

void VirtualValidatorPresenter::connectControls() {
  using bnvsim::Done;
  using bnvsim::Operator;
  const auto act = [this](QAbstractButton* button, auto call) {
    connect(button, &QAbstractButton::clicked, this, [this, call] { show(call(*hands_)); });
  };
  VirtualValidatorPane& p = pane_;
  act(p.insertNote,
      [&p](Operator& hands) { return hands.insertNote(p.note->currentData().toInt()); });
  act(p.insertUnknown, [](Operator& hands) { return hands.insertUnknownNote(); });
  act(p.cheat, [](Operator& hands) { return hands.cheat(); });
  act(p.jam, [](Operator& hands) { return hands.jam(); });
  act(p.stackerFull, [](Operator& hands) { return hands.stackerFull(); });
  act(p.cashBoxOut, [](Operator& hands) { return hands.removeCashBox(); });
  act(p.cashBoxIn, [](Operator& hands) { return hands.insertCashBox(); });
  act(p.setSelfTest, [&p](Operator& hands) {
    return hands.setSelfTestCode(static_cast<std::uint8_t>(p.selfTestCode->value()));
  });
  act(p.powerCycle, [](Operator& hands) { return hands.powerCycle(); });
  // The fault kinds are listed in the simulator's order of them.
  const auto fault = [&p] { return static_cast<bnvsim::Fault>(p.faultKind->currentIndex()); };
  act(p.injectFault,
      [&p, fault](Operator& hands) { return hands.spoilReplies(fault(), p.faultCount->value()); });
  act(p.setProbability, [&p, fault](Operator& hands) {
    return hands.spoilAtRandom(fault(), p.faultProbability->value());
  });
  act(p.clearFaults, [](Operator& hands) { return hands.clearFaults(); });
  act(p.setKey, [&p](Operator& hands) { return hands.setKey(p.key->text()); });
  act(p.setDelay, [&p](Operator& hands) { return hands.setReplyDelay(p.replyDelay->value()); });
  const std::pair<QCheckBox*, Done (Operator::*)(bool)> switches[] = {
      {p.echo, &Operator::setEcho},
      {p.crc, &Operator::setCrc},
      {p.encryption, &Operator::setEncryption},
      {p.pacing, &Operator::setPacing}};
  for (const auto& [box, set] : switches) {
    connect(box, &QCheckBox::clicked, this,
            [this, set = set](bool on) { show(((*hands_).*set)(on)); });
  }
}

void VirtualValidatorPresenter::show(const bnvsim::Done& done) {
  hinting_ = false;
  pane_.showAnswer(done.action, done.answer);
  refresh();
}

VirtualValidatorState VirtualValidatorPresenter::state() const {
  VirtualValidatorState s;
  s.escrowNote = simulator_.escrowNote();
  s.escrowHoldLeftMs = simulator_.escrowHoldLeftMs();
  s.eventCounter = simulator_.eventCounter();
  s.masterOpen = (simulator_.masterInhibit() & 1U) != 0;
  s.inhibitMask = simulator_.inhibitMask();
  s.faults = bnvsim::faultsText(simulator_.activeFaults());
  s.framesReceived = simulator_.framesReceived();
  s.framesDropped = simulator_.framesDropped();
  const bnvsim::LineOptions line = simulator_.lineOptions();
  s.line = {line.echo, line.crc, line.encryption, line.pacing, line.key, line.replyDelayMs};
  return s;
}

void VirtualValidatorPresenter::refresh() {
  const VirtualValidatorState now = state();
  pane_.showState(now);
  if (!hinting_) return;
  // What still stands between the next note and escrow, as the validator holds it now.
  if (now.inhibitMask == std::array<std::uint8_t, 2>{}) {
    pane_.showHint(QStringLiteral(
        "Every note is inhibited, as at power-up: enable notes first (Note Opt'n, Enable All), "
        "start Poll BNV, then Insert Note."));
  } else if (!now.masterOpen) {
    pane_.showHint(QStringLiteral("Master inhibit on: start Poll BNV, then Insert Note."));
  } else {
    pane_.showHint(QStringLiteral("Ready: Insert Note."));
  }
}

VirtualValidatorDock::VirtualValidatorDock(bnvsim::Simulator& simulator, QWidget* parent)
    : QDockWidget(QStringLiteral("Virtual Validator"), parent),
      slavePath_(simulator.slavePath()),
      pane_(new VirtualValidatorPane),
      presenter_(new VirtualValidatorPresenter(simulator, *pane_, this)) {
  setObjectName(QStringLiteral("virtualValidatorDock"));
  auto* scroll = new PaneScroller(this);
  scroll->setWidget(pane_);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setMinimumWidth(pane_->oneColumnWidth() +
                          scroll->style()->pixelMetric(QStyle::PM_ScrollBarExtent));
  setWidget(scroll);
  toggleViewAction()->setShortcut(QKeySequence(Qt::Key_F8));
}

void VirtualValidatorDock::followPort(const QString& device) {
  pane_->showOnLine(device == slavePath_, device);
}

}  // namespace tolvar
