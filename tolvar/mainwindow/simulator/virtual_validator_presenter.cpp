#include "tolvar/mainwindow/simulator/virtual_validator_presenter.h"

#include <QAction>
#include <QScrollArea>
#include <QStyle>

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
    : QObject(parent), simulator_(simulator), console_(simulator), pane_(pane) {
  connect(&pane_, &VirtualValidatorPane::command, this, &VirtualValidatorPresenter::run);
  refresh_.setInterval(kRefreshMs);
  connect(&refresh_, &QTimer::timeout, this, &VirtualValidatorPresenter::refresh);
  refresh_.start();
  refresh();
}

void VirtualValidatorPresenter::run(const QString& line) {
  hinting_ = false;
  pane_.showAnswer(line, console_.execute(line));
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
  s.line = simulator_.lineOptions();
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
