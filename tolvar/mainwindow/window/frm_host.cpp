#include "tolvar/mainwindow/window/frm_host.h"

#include <algorithm>
#include <limits>

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QDockWidget>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>

#include "quennet/control/zav_quennet.h"
#include "quennet/link/cctalk_codes.h"
#include "tolvar/dialogs/frm_about.h"
#include "tolvar/dialogs/frm_options.h"
#include "tolvar/mainwindow/console/command_console.h"
#include "tolvar/mainwindow/console/script_run.h"
#include "tolvar/mainwindow/panes/bus_view_pane.h"
#include "tolvar/mainwindow/panes/counters_pane.h"
#include "tolvar/mainwindow/panes/debug_pane.h"
#include "tolvar/mainwindow/panes/details_pane.h"
#include "tolvar/mainwindow/panes/event_pane.h"
#include "tolvar/mainwindow/panes/note_list_pane.h"
#include "tolvar/mainwindow/panes/statistics_pane.h"
#include "tolvar/mainwindow/panes/unit_data_pane.h"
#include "tolvar/mainwindow/presenters/bus_view.h"
#include "tolvar/mainwindow/presenters/data_views.h"
#include "tolvar/mainwindow/presenters/host_commands.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/presenters/note_enabling.h"
#include "tolvar/mainwindow/presenters/polling.h"
#include "tolvar/mainwindow/presenters/utility_commands.h"
#include "tolvar/mainwindow/services/ui_control_messages.h"
#include "tolvar/mainwindow/settings/number_text.h"
#include "tolvar/mainwindow/settings/settings_file.h"
#include "tolvar/mainwindow/simulator/virtual_validator_presenter.h"
#include "tolvar/mainwindow/traffic/event_history.h"
#include "tolvar/mainwindow/traffic/traffic_dock.h"
#include "tolvar/mainwindow/traffic/traffic_pane.h"
#include "tolvar/mainwindow/window/host_toolbar.h"
#include "tolvar/mainwindow/window/twips.h"
#include "tolvar/mainwindow/window/window_placement.h"

namespace tolvar {

namespace {

QSize screenTwips() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const QSize size = screen ? screen->geometry().size() : QSize(0, 0);
  return size * kTwipsPerPixel;
}

}  // namespace

frmHost::frmHost(UiServices& ui, HostOptions options, QWidget* parent)
    : QMainWindow(parent), ui_(ui), options_(std::move(options)) {
  zav_quennet1 = new zav_quennet(this);
  controlMessages_ = std::make_unique<UiControlMessages>(ui_, *zav_quennet1);
  zav_quennet1->setObjectName(QStringLiteral("zav_quennet1"));
  zav_quennet1->setMessages(controlMessages_.get());
  zav_quennet1->setMessageTitle(kMessageTitle);
  // Design values saved with the form.
  zav_quennet1->setCommsEcho(true);
  zav_quennet1->setChecksumType(quennet::CHKSM_16BIT);

  buildForm();
  buildStatusBar();

  trafficDock_ = new TrafficDock(ui_, this);
  addDockWidget(Qt::BottomDockWidgetArea, trafficDock_);
  trafficDock_->hide();
  addAction(trafficDock_->toggleViewAction());
  zav_quennet1->setFrameObserver(trafficDock_);
  watchDock(trafficDock_);
  // Panel 2: the host's own counts, beside the validator's that Read Rx shows on the form.
  const auto showCounts = [this](const HostCounts& counts) {
    staHost[1]->setText(counts.text());
    staHost[1]->setToolTip(counts.description());
  };
  connect(trafficDock_, &TrafficDock::hostCountsChanged, this, showCounts);
  showCounts(trafficDock_->hostCounts());

  lineTurn_ =
      std::make_unique<LineTurn>(*zav_quennet1, ui_, settings_, *details_, *debug_, *staHost[0]);
  polling_ = std::make_unique<Polling>(*lineTurn_, *details_, *events_);
  dataViews_ = std::make_unique<DataViews>(*lineTurn_, *unitData_, *notes_);
  noteEnabling_ = std::make_unique<NoteEnabling>(*lineTurn_, *notes_, *counters_);
  hostCommands_ = std::make_unique<HostCommands>(*lineTurn_, *details_);
  utilityCommands_ =
      std::make_unique<UtilityCommands>(*lineTurn_, *statistics_, *counters_, *events_);

  buildMenus();
  // The console shares the bottom with the traffic pane; F7 shows it.
  consoleDock_ = new CommandConsoleDock(*lineTurn_, this);
  addDockWidget(Qt::BottomDockWidgetArea, consoleDock_);
  tabifyDockWidget(trafficDock_, consoleDock_);
  consoleDock_->hide();
  addAction(consoleDock_->toggleViewAction());
  viewMenu_->addAction(consoleDock_->toggleViewAction());
  watchDock(consoleDock_);
  scriptDock_ = new ScriptRunDock(*lineTurn_, ui_, this);
  addDockWidget(Qt::BottomDockWidgetArea, scriptDock_);
  tabifyDockWidget(consoleDock_, scriptDock_);
  scriptDock_->hide();
  addAction(scriptDock_->toggleViewAction());
  viewMenu_->addAction(scriptDock_->toggleViewAction());
  watchDock(scriptDock_);
  // The devices on the bus, beside the form.
  busViewDock_ = new BusViewDock(this);
  busViewDock_->hide();
  addSideDock(busViewDock_);
  busView_ = std::make_unique<BusView>(*lineTurn_, *busViewDock_->pane(), *details_);
  // Another device picked: the unit data shown was the last one's, and polling stays on the
  // device it polls (a note's events come from there), which the status bar says.
  connect(busView_.get(), &BusView::talkingTo, this, [this](int address) {
    unitData_->lstViewUnitData->clear();
    if (!polling_->polling()) return;
    const int polled = polling_->holdAddress();
    if (polled == address) return;
    staHost[0]->setText(
        QStringLiteral("Commands now go to address %1; the event poll stays on address %2 (Poll "
                       "BNV again to poll %1)")
            .arg(address)
            .arg(polled));
  });
  connectHandlers();
  startUp();
}

void frmHost::buildMenus() {
  // The port and the docks are reached from a menu as well as from their keys. The menus'
  // Alt letters are ones no host bar button uses (the bar's Alt+P is Poll BNV).
  QMenu* port = menuBar()->addMenu(QStringLiteral("&File"));
  portAction_ = port->addAction(QStringLiteral("Open Port"));
  portAction_->setObjectName(QStringLiteral("portAction"));
  portAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
  connect(portAction_, &QAction::triggered, this, [this] {
    zav_quennet1->setEnabled(!zav_quennet1->Enabled());
    showPort();
  });
  // The port can also fail or change under a command: the menu says how it is when opened.
  connect(port, &QMenu::aboutToShow, this, &frmHost::showPort);
  port->addSeparator();
  QAction* quit = port->addAction(QStringLiteral("&Quit"));
  quit->setObjectName(QStringLiteral("quitAction"));
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(quit, &QAction::triggered, this, &QWidget::close);
  viewMenu_ = menuBar()->addMenu(QStringLiteral("&View"));
  viewMenu_->addAction(trafficDock_->toggleViewAction());
}

void frmHost::addVirtualValidator(VirtualValidatorDock* dock) {
  addSideDock(dock);
  connect(this, &frmHost::portShown, dock, &VirtualValidatorDock::followPort);
  dock->followPort(zav_quennet1->deviceName());
}

void frmHost::addSideDock(QDockWidget* dock) {
  addDockWidget(Qt::RightDockWidgetArea, dock);
  // The Bus View's short list stands under the other panes beside the form.
  if (busViewDock_ && dock != busViewDock_) splitDockWidget(dock, busViewDock_, Qt::Vertical);
  addAction(dock->toggleViewAction());
  viewMenu_->addAction(dock->toggleViewAction());
  watchDock(dock);
  // Placed again with the dock: the whole window is centred, and kept on the screen.
  if (!isVisible()) placeWindow();
}

void frmHost::placeWindow() {
  const QList<QRect> screens = availableScreenAreas();
  QSize size = sizeHint();
  // A window with docks may be made smaller than it asks; never larger than the screen.
  if (!screens.isEmpty() && layout()->sizeConstraint() != QLayout::SetFixedSize) {
    size = size.boundedTo(screens.front().size());
    resize(size.expandedTo(minimumSizeHint()));
  }
  move(freshStart_ ? centredWindowPosition(size, screens)
                   : visibleWindowPosition(storedPosition_, size, screens));
}

QMenu* frmHost::createPopupMenu() {
  // The docks as Qt lists them, and the port.
  QMenu* menu = QMainWindow::createPopupMenu();
  if (!menu) menu = new QMenu(this);
  showPort();
  menu->addSeparator();
  menu->addAction(portAction_);
  return menu;
}

void frmHost::showPort() {
  const QString device = zav_quennet1->deviceName();
  portAction_->setText(
      (zav_quennet1->Enabled() ? QStringLiteral("Close Port ") : QStringLiteral("Open Port ")) +
      device);
  // The virtual validator is on the line only while the port is its own.
  const bool onSimulator = simulated() && device == options_.simulatedPort;
  setWindowTitle(kMessageTitle + QStringLiteral(" - ") + device +
                 (onSimulator ? QStringLiteral(" (simulated validator)") : QString()));
  emit portShown(device);
}

void frmHost::PollAddresses() {
  showBusView();
  busView_->PollAddresses();
}

void frmHost::PollAddressClash() {
  showBusView();
  busView_->PollAddressClash();
}

void frmHost::showBusView() {
  busViewDock_->show();
  busViewDock_->raise();
}

void frmHost::watchDock(QDockWidget* dock) {
  connect(dock, &QDockWidget::visibilityChanged, this, &frmHost::fitToDocks);
  connect(dock, &QDockWidget::topLevelChanged, this, &frmHost::fitToDocks);
  fitToDocks();
}

void frmHost::fitToDocks() {
  bool docked = false;
  for (const QDockWidget* dock : findChildren<QDockWidget*>()) {
    if (!dock->isHidden() && !dock->isFloating()) docked = true;
  }
  layout()->setSizeConstraint(docked ? QLayout::SetDefaultConstraint : QLayout::SetFixedSize);
  if (docked) setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  // A dock shown grows the window to the right or downwards, past the screen's edge when the
  // window stood near it: once it has grown, it is brought back onto the screen.
  if (isVisible()) QTimer::singleShot(0, this, &frmHost::keepOnScreen);
}

void frmHost::keepOnScreen() {
  if (isMaximized() || isFullScreen() || !screen()) return;
  // The traffic pane opens with a dozen frames in view where the screen has room for them.
  QSize wanted = size();
  if (trafficDock_->isVisible() && !trafficDock_->isFloating()) {
    wanted.rheight() += trafficDock_->trafficPane()->missingHeight();
  }
  const QRect area = screen()->availableGeometry();
  const QRect frame = frameGeometry();
  if (wanted == size() && area.contains(frame)) return;
  // The frame's border and title bar around the window's own size.
  const QSize decoration = frame.size() - size();
  const QSize fitted = (area.size() - decoration).boundedTo(wanted).expandedTo(minimumSize());
  if (fitted != size()) resize(fitted);
  const QSize outer = fitted + decoration;
  move(std::max(area.left(), std::min(frame.left(), area.right() + 1 - outer.width())),
       std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - outer.height())));
}

frmHost::~frmHost() {
  zav_quennet1->setFrameObserver(nullptr);
  zav_quennet1->setPropertyChangedSink(nullptr);
  // The docks hide as the window goes; its layout is gone by then.
  for (QDockWidget* dock : findChildren<QDockWidget*>()) dock->disconnect(this);
}

void frmHost::connectHandlers() {
  for (HostToolBar* bar : {tlbHost, tlbEnable, tlbUtility, tlbDiagnostic}) {
    connect(bar, &HostToolBar::buttonClicked, this,
            [this, bar](const QString& key) { onToolBarKey(bar, key); });
  }
  // However the port closes (a failure, another port chosen, the user), a note held by the
  // device that was on it cannot be routed any more, and a request waiting for it must not go
  // to whatever answers after the port comes back.
  zav_quennet1->setPropertyChangedSink([this](const QString& property) {
    if (property != QLatin1String("Enabled") || zav_quennet1->Enabled()) return;
    polling_->deviceReset();
    trafficDock_->eventHistory()->history().linkLost(
        QStringLiteral("%1 closed (%2)")
            .arg(zav_quennet1->deviceName(), zav_quennet1->labelState().caption),
        QDateTime::currentDateTime());
    showPort();
  });
  connect(zav_quennet1, &zav_quennet::DblClick, this, [this] {
    zav_quennet1->setEnabled(!zav_quennet1->Enabled());
    showPort();
  });
  connect(debug_, &DebugPane::hexadecimalChanged, trafficDock_, &TrafficDock::setHexadecimal);
  trafficDock_->setHexadecimal(debug_->hexadecimal());
  // A long run keeps the host bar off, so no second run starts on top of it.
  connect(lineTurn_.get(), &LineTurn::longRunChanged, tlbHost,
          [this](bool running) { tlbHost->setEnabled(!running); });
  connect(polling_.get(), &Polling::pollingChanged, this, [this](bool polling) {
    tlbHost->button(QStringLiteral("Poll_BNV"))
        ->setText(polling ? QStringLiteral("Stop Poll") : QStringLiteral("Poll BNV"));
    // The history starts at the counter this polling finds, as `quennet events` does.
    if (polling) trafficDock_->eventHistory()->history().start();
  });
  // A read that looks like a reset is settled by the validator's inhibit status, asked for by
  // the poll that read it.
  connect(&trafficDock_->eventHistory()->history(), &EventHistoryModel::wantsInhibitStatus,
          polling_.get(), &Polling::askInhibitStatus);
  connect(polling_.get(), &Polling::pollButtonReleased, this,
          [this] { tlbHost->setPressed(QStringLiteral("Poll_BNV"), false); });
  connect(hostCommands_.get(), &HostCommands::deviceReset, polling_.get(), &Polling::deviceReset);
  // The form shows the device's state as the last command left it, whoever sent the command;
  // a reset, a power cycle or another unit on the port is read again.
  connect(trafficDock_, &TrafficDock::commandAcknowledged, this, &frmHost::followCommand);
  connect(polling_.get(), &Polling::deviceRestarted, this, &frmHost::rereadDeviceState);
  clock_ = new QTimer(this);
  clock_->setInterval(1000);
  connect(clock_, &QTimer::timeout, this, [this] { refreshClock(); });
  clock_->start();
  refreshClock();
}

void frmHost::followCommand(int header, const QByteArray& sent, const QByteArray& reply) {
  const auto byte = [](const QByteArray& data, int i) {
    return static_cast<std::uint8_t>(data[i]);
  };
  switch (header) {
    case quennet::SET_INHIBIT_STATUS:
      if (sent.size() == 2) noteEnabling_->ShowNoteMask({byte(sent, 0), byte(sent, 1)});
      break;
    case quennet::GET_INHIBIT_STATUS:
      if (reply.size() == 2) noteEnabling_->ShowNoteMask({byte(reply, 0), byte(reply, 1)});
      break;
    case quennet::SET_MASTER_INHIBIT:
      if (sent.size() == 1) utilityCommands_->showMasterInhibit(byte(sent, 0));
      break;
    case quennet::GET_MASTER_INHIBIT:
      if (reply.size() == 1) utilityCommands_->showMasterInhibit(byte(reply, 0));
      break;
    case quennet::MODIFY_BILL_MODE:
      if (sent.size() == 1) utilityCommands_->showBillMode(byte(sent, 0));
      break;
    case quennet::READ_BILL_MODE:
      if (reply.size() == 1) utilityCommands_->showBillMode(byte(reply, 0));
      break;
    case quennet::RESET_DEVICE:
      rereadDeviceState();
      break;
    default:
      break;
  }
}

void frmHost::rereadDeviceState() {
  // Read behind the transaction that told of the restart, once the line is free; the reply
  // shown for it stays.
  QTimer::singleShot(0, this, [this] {
    lineTurn_->whenFree([this] {
      if (!zav_quennet1->Enabled()) return;
      LineTurn::Scope scope(*lineTurn_, false);
      noteEnabling_->refreshNoteMask();
      utilityCommands_->refreshMasterInhibit();
    });
  });
}

void frmHost::startUp() {
  const bool fresh = !QFileInfo::exists(options_.settingsPath);
  const SettingsFileData file = ReadSettings(options_.settingsPath, screenTwips());
  settings_ = file.settings;
  userPortName_ = settings_.PortName;
  if (!userPortName_.isEmpty()) namedPortsChosen_ << userPortName_;
  // Without a stored position the window opens in the middle of the screen: a corner at 0, 0
  // may put the title bar under a panel or above the screen's edge.
  freshStart_ = fresh;
  storedPosition_ = QPoint(px(file.left), px(file.top));
  placeWindow();
  if (!isSettingsPathUsable(options_.settingsPath)) {
    ui_.messageBox(QStringLiteral("The settings file \"tolvar.ini\" could not be read.\r\n") +
                       options_.settingsPath + QStringLiteral(": not a regular file"),
                   QStringLiteral("File Access Error"), MsgIcon::Exclamation);
  }
  details_->txtEncKey->setText(file.keyText);
  details_->chkEncrpyt->setChecked(file.encrypt);
  details_->txtAddress->setText(QString::number(settings_.SlvAddr));

  zav_quennet1->setCommsEcho(settings_.MsgEcho == 1);
  if (simulated()) {
    // The port in use for this run, so the options dialog shows it as the current choice.
    settings_.PortName = options_.simulatedPort;
  }
  applyPortSettings();
  // A capture left running at the last close goes on, and the status bar says so: it writes to
  // disk whether the traffic pane is shown or not.
  if (!settings_.CaptureFile.isEmpty() &&
      trafficDock_->trafficPane()->startCapture({settings_.CaptureFile,
                                                 settings_.CaptureSize * CaptureFiles::kMegabyte,
                                                 settings_.CaptureCount})) {
    staHost[0]->setText(QStringLiteral("Capture resumed: every frame goes on to %1")
                            .arg(QDir::toNativeSeparators(settings_.CaptureFile)));
  }
  zav_quennet1->setEnabled(true);
  showPort();
}

void frmHost::applyPortSettings() {
  if (!simulated() || settings_.PortName != options_.simulatedPort) {
    userPortName_ = settings_.PortName;
    if (!userPortName_.isEmpty() && !namedPortsChosen_.contains(userPortName_)) {
      namedPortsChosen_ << userPortName_;
    }
  }
  zav_quennet1->setChecksumType(
      settings_.Checksum == HostSettings::kChecksum8 ? quennet::CHKSM_8BIT : quennet::CHKSM_16BIT);
  zav_quennet1->setReplyTimeoutMs(settings_.ReplyTimeout);
  // Each property set reopens an open port, so only what changed is set, the number first: an
  // empty name set first would open the old number's device on the way to the new one.
  if (zav_quennet1->CommPort() != settings_.Commport) zav_quennet1->setCommPort(settings_.Commport);
  if (zav_quennet1->PortName() != settings_.PortName) zav_quennet1->setPortName(settings_.PortName);
}

void frmHost::closeEvent(QCloseEvent* event) {
  if (!closed_) {
    closed_ = true;
    polling_->timer()->stop();
    zav_quennet1->setEnabled(false);
    WriteSettings();
  }
  event->accept();
}

bool frmHost::WriteSettings() {
  SettingsFileData data;
  settings_.Commport = zav_quennet1->CommPort();
  settings_.SlvAddr = static_cast<std::int16_t>(std::clamp<std::int64_t>(
      roundHalfEven(leadingValue(details_->txtAddress->text())),
      std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()));
  data.settings = settings_;
  // The virtual validator's device is gone after this run: keep the user's own choice.
  data.settings.PortName = userPortName_;
  data.encrypt = details_->chkEncrpyt->isChecked();
  data.keyText = details_->txtEncKey->text();
  const CaptureFiles& capture = trafficDock_->trafficPane()->capture();
  data.settings.CaptureFile = capture.active() ? capture.setup().path : QString();
  data.settings.CaptureSize =
      static_cast<std::int16_t>(capture.setup().bytesPerFile / CaptureFiles::kMegabyte);
  data.settings.CaptureCount = static_cast<std::int16_t>(capture.setup().files);
  // A window dragged off every screen is saved where it would open, never off screen.
  const QPoint shown = visibleWindowPosition(pos(), frameGeometry().size(), availableScreenAreas());
  data.top = shown.y() * kTwipsPerPixel;
  data.left = shown.x() * kTwipsPerPixel;
  QString error;
  if (tolvar::WriteSettings(options_.settingsPath, data, &error)) return true;
  ui_.messageBox(
      QStringLiteral("The settings file \"tolvar.ini\" could not be written.\r\n") + error,
      QStringLiteral("File Access Error"), MsgIcon::Exclamation);
  return false;
}

QString frmHost::statusText() const {
  return staHost[0]->text();
}

void frmHost::ShowOptions() {
  // Named devices the machine does not list: the virtual validator's and the user's own, which
  // stays selectable while a simulated run uses another.
  QStringList extraPorts = namedPortsChosen_;
  if (simulated() && !extraPorts.contains(options_.simulatedPort)) {
    extraPorts.prepend(options_.simulatedPort);
  }
  const QString deviceBefore = zav_quennet1->deviceName();
  const bool enabledBefore = zav_quennet1->Enabled();
  if (!Set_Options(this, ui_, settings_, extraPorts)) return;
  applyPortSettings();
  // A port error leaves the control disabled; another port chosen here is the way back. (A
  // port that fails now has said so and stays disabled.)
  if (!enabledBefore && zav_quennet1->deviceName() != deviceBefore) zav_quennet1->setEnabled(true);
  showPort();
  zav_quennet1->setCommsEcho(settings_.MsgEcho == 1);
  debug_->setVisible(settings_.ShwMsg == 1);
}

void frmHost::ShowAbout() {
  showAboutBox(this, ui_);
}

void frmHost::refreshClock() {
  const QDateTime now = QDateTime::currentDateTime();
  staHost[2]->setText(QLocale().toString(now.date(), QLocale::ShortFormat));
  staHost[3]->setText(QLocale().toString(now.time(), QLocale::ShortFormat));
}

}  // namespace tolvar
