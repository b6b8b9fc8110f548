#include "tolvar/mainwindow/frm_host.h"

#include <algorithm>
#include <limits>
#include <optional>

#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>

#include "quennet/control/zav_quennet.h"
#include "tolvar/mainwindow/data_views.h"
#include "tolvar/mainwindow/host_commands.h"
#include "tolvar/mainwindow/host_toolbar.h"
#include "tolvar/mainwindow/note_enabling.h"
#include "tolvar/mainwindow/number_text.h"
#include "tolvar/mainwindow/polling.h"
#include "tolvar/mainwindow/settings_file.h"
#include "tolvar/mainwindow/traffic_dock.h"
#include "tolvar/mainwindow/twips.h"
#include "tolvar/mainwindow/ui_control_messages.h"
#include "tolvar/mainwindow/utility_commands.h"
#include "tolvar/mainwindow/window_placement.h"

namespace tolvar {

namespace {

const QString kTitle = QStringLiteral("Tolvar Emulator");
const QString kReplyPrefix = QStringLiteral("BNV Reply: ");

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
  // Design values saved with the form.
  zav_quennet1->setCommsEcho(true);
  zav_quennet1->setChecksumType(quennet::CHKSM_16BIT);

  buildForm();
  buildStatusBar();
  tmrPoll = new QTimer(this);

  trafficDock_ = new TrafficDock(ui_, this);
  addDockWidget(Qt::BottomDockWidgetArea, trafficDock_);
  trafficDock_->hide();
  addAction(trafficDock_->toggleViewAction());
  zav_quennet1->setFrameObserver(trafficDock_);

  polling_ = std::make_unique<Polling>(*this);
  dataViews_ = std::make_unique<DataViews>(*this);
  noteEnabling_ = std::make_unique<NoteEnabling>(*this);
  hostCommands_ = std::make_unique<HostCommands>(*this);
  utilityCommands_ = std::make_unique<UtilityCommands>(*this);

  connectHandlers();
  startUp();
}

frmHost::~frmHost() {
  zav_quennet1->setFrameObserver(nullptr);
}

void frmHost::connectHandlers() {
  for (HostToolBar* bar : {tlbHost, tlbEnable, tlbUtility, tlbDiagnostic}) {
    connect(bar, &HostToolBar::buttonClicked, this,
            [this, bar](const QString& key) { onToolBarKey(bar, key); });
  }
  connect(chkEncrpyt, &QCheckBox::stateChanged, this, [this] { onEncryptionClicked(); });
  connect(zav_quennet1, &zav_quennet::DblClick, this,
          [this] { zav_quennet1->setEnabled(!zav_quennet1->Enabled()); });
  connect(tmrPoll, &QTimer::timeout, this, [this] { polling_->tick(); });
  // The frames already shown are redrawn in the chosen form; empty boxes stay empty.
  connect(optHex, &QRadioButton::toggled, this, [this] {
    if (!txtCommand->toPlainText().isEmpty() || !txtReply->toPlainText().isEmpty()) ShowDebug();
  });
  connect(optHex, &QRadioButton::toggled, trafficDock_, &TrafficDock::setHexadecimal);
  trafficDock_->setHexadecimal(optHex->isChecked());
  const std::pair<QPushButton*, std::uint8_t> escrow[] = {
      {cmdStack, kRouteStack}, {cmdReturn, kRouteReturn}, {cmdHoldNote, kRouteHold}};
  for (const auto& [button, route] : escrow) {
    // route = route: clang 14 cannot capture a structured binding.
    connect(button, &QPushButton::clicked, this, [this, route = route] {
      if (!whenLineFree([this, route] { polling_->escrowPressed(route); })) {
        refuseWhileBusy(nullptr, {});
        polling_->showPendingRoute();
      }
    });
  }
  clock_ = new QTimer(this);
  clock_->setInterval(1000);
  connect(clock_, &QTimer::timeout, this, [this] { refreshClock(); });
  clock_->start();
  refreshClock();
}

void frmHost::startUp() {
  const bool fresh = !QFileInfo::exists(options_.settingsPath);
  const SettingsFileData file = ReadSettings(options_.settingsPath, screenTwips());
  settings_ = file.settings;
  userPortName_ = settings_.PortName;
  if (!userPortName_.isEmpty()) namedPortsChosen_ << userPortName_;
  // Without a stored position the window opens in the middle of the screen: a corner at 0, 0
  // may put the title bar under a panel or above the screen's edge.
  const QList<QRect> screens = availableScreenAreas();
  move(fresh ? centredWindowPosition(sizeHint(), screens)
             : visibleWindowPosition(QPoint(px(file.left), px(file.top)), sizeHint(), screens));
  if (!isSettingsPathUsable(options_.settingsPath)) {
    ui_.messageBox(QStringLiteral("The settings file \"tolvar.ini\" could not be read.\r\n") +
                       options_.settingsPath + QStringLiteral(": not a regular file"),
                   QStringLiteral("File Access Error"), MsgIcon::Exclamation);
  }
  txtEncKey->setText(file.keyText);
  chkEncrpyt->setChecked(file.encrypt);
  onEncryptionClicked();
  txtAddress->setText(QString::number(settings_.SlvAddr));

  zav_quennet1->setCommsEcho(settings_.MsgEcho == 1);
  if (simulated()) {
    // The port in use for this run, so the options dialog shows it as the current choice.
    settings_.PortName = options_.simulatedPort;
    setWindowTitle(windowTitle() + QStringLiteral(" - simulated validator"));
    staHost[1]->setText(QStringLiteral("Simulated: ") + options_.simulatedPort);
  }
  applyPortSettings();
  zav_quennet1->setEnabled(true);
}

void frmHost::applyPortSettings() {
  if (!simulated() || settings_.PortName != options_.simulatedPort) {
    userPortName_ = settings_.PortName;
    if (!userPortName_.isEmpty() && !namedPortsChosen_.contains(userPortName_)) {
      namedPortsChosen_ << userPortName_;
    }
  }
  // Each property set reopens an open port, so only what changed is set, the number first: an
  // empty name set first would open the old number's device on the way to the new one.
  if (zav_quennet1->CommPort() != settings_.Commport) zav_quennet1->setCommPort(settings_.Commport);
  if (zav_quennet1->PortName() != settings_.PortName) zav_quennet1->setPortName(settings_.PortName);
}

void frmHost::closeEvent(QCloseEvent* event) {
  if (!closed_) {
    closed_ = true;
    tmrPoll->stop();
    zav_quennet1->setEnabled(false);
    WriteSettings();
  }
  event->accept();
}

bool frmHost::WriteSettings() {
  SettingsFileData data;
  settings_.Commport = zav_quennet1->CommPort();
  settings_.SlvAddr = static_cast<std::int16_t>(std::clamp<std::int64_t>(
      roundHalfEven(leadingValue(txtAddress->text())), std::numeric_limits<std::int16_t>::min(),
      std::numeric_limits<std::int16_t>::max()));
  data.settings = settings_;
  // The virtual validator's device is gone after this run: keep the user's own choice.
  data.settings.PortName = userPortName_;
  data.encrypt = chkEncrpyt->isChecked();
  data.keyText = txtEncKey->text();
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

void frmHost::onEncryptionClicked() {
  const bool on = chkEncrpyt->isChecked();
  lblCaption[1]->setVisible(on);
  txtEncKey->setVisible(on);
}

bool frmHost::ApplyDetails(std::uint8_t& address) {
  // Text that is no number would otherwise read as 0, the broadcast address every device obeys.
  std::optional<double> number = wholeNumber(txtAddress->text());
  if (number && *number < 0) {
    number = -*number;
    txtAddress->setText(QString::number(*number));
  }
  if (!number || *number > 255) {
    ui_.messageBox(QStringLiteral("WARNING! Address must lie in the range 0 to 255."), kTitle,
                   MsgIcon::Exclamation);
    return false;
  }
  address = static_cast<std::uint8_t>(roundHalfEven(*number));
  txtAddress->setText(QString::number(address));
  if (!chkEncrpyt->isChecked()) {
    zav_quennet1->setEncryption(false);
    return true;
  }
  zav_quennet1->setEncryption(true);
  QString key = txtEncKey->text();
  KeyBytes keyBytes{};
  const bool ok = ValidateKeyCode(key, keyBytes);
  if (ok) LoadKeyCode(keyBytes);
  txtEncKey->setText(key);
  return ok;
}

bool frmHost::ValidateKeyCode(QString& key, KeyBytes& keyBytes) {
  if (packKeyCode(key, keyBytes)) return true;
  ui_.messageBox(QStringLiteral("Invalid character entered in the key code."), kTitle,
                 MsgIcon::Exclamation);
  return false;
}

void frmHost::LoadKeyCode(const KeyBytes& keyBytes) {
  zav_quennet1->setKeyCode(keyCodeValue(keyBytes));
}

void frmHost::ClearDisplay() {
  txtCommand->clear();
  txtReply->clear();
  setStatusText(kReplyPrefix);
}

void frmHost::ShowDebug() {
  if (settings_.ShwMsg != 1) return;
  const std::int16_t style = optHex->isChecked() ? 0 : 1;
  txtCommand->setPlainText(zav_quennet1->CommandSent(style));
  txtReply->setPlainText(zav_quennet1->ReplyBack(style));
}

void frmHost::setStatusText(const QString& panel1) {
  staHost[0]->setText(panel1);
}

QString frmHost::statusText() const {
  return staHost[0]->text();
}

void frmHost::refreshClock() {
  const QDateTime now = QDateTime::currentDateTime();
  staHost[2]->setText(QLocale().toString(now.date(), QLocale::ShortFormat));
  staHost[3]->setText(QLocale().toString(now.time(), QLocale::ShortFormat));
}

frmHost::CommandScope::CommandScope(frmHost& host, bool showBusy) : host_(host) {
  if (host_.commandRunning()) return;
  acquired_ = true;
  showBusy_ = showBusy;
  if (showBusy_) host_.ui_.setBusy(true);
}

frmHost::CommandScope::~CommandScope() {
  if (!acquired_) return;
  if (showBusy_) host_.ui_.setBusy(false);
  // Every transaction runs inside a scope, so its end is the waiting command's turn. It runs
  // from the event loop, once the stack has unwound out of any wait.
  if (host_.waitingCommand_) {
    QTimer::singleShot(0, &host_, [host = &host_] { host->runWaitingCommand(); });
  }
}

bool frmHost::commandRunning() const {
  return zav_quennet1->transactionRunning();
}

bool frmHost::whenLineFree(std::function<void()> command) {
  if (!commandRunning()) {
    command();
    return true;
  }
  if (waitingCommand_) return false;
  waitingCommand_ = std::move(command);
  return true;
}

void frmHost::runWaitingCommand() {
  // Another transaction may have taken the line first; its scope's end calls again.
  if (!waitingCommand_ || commandRunning()) return;
  const std::function<void()> command = std::move(waitingCommand_);
  waitingCommand_ = nullptr;
  command();
}

}  // namespace tolvar
