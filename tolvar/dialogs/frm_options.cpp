#include "tolvar/dialogs/frm_options.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QSpinBox>

#include "quennet/commands/bus_scan.h"
#include "tolvar/mainwindow/settings/number_text.h"

namespace tolvar {

namespace {

constexpr int kNumberedPorts = 4;
constexpr const char* kStableNamesFolder = "/dev/serial/by-id";
constexpr int kMinInterval = 100;
constexpr int kMaxInterval = 200;

std::optional<std::int32_t> pollInterval(const QString& text) {
  return roundedInRange(leadingValue(text), kMinInterval, kMaxInterval);
}

}  // namespace

QStringList machineSerialPorts() {
  QStringList names;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
    names << info.systemLocation();
  names.sort();
  // The same adapters by their stable names: an adapter keeps its name across reboots and
  // replugging, where /dev/ttyUSB0 goes to whichever came first.
  const QDir byId(QString::fromLatin1(kStableNamesFolder));
  for (const QFileInfo& link : byId.entryInfoList(QDir::System | QDir::Files, QDir::Name))
    names << link.absoluteFilePath();
  return names;
}

frmOptions::frmOptions(UiServices& ui, const QStringList& portNames, QWidget* parent)
    : QDialog(parent),
      cboCommPort(new QComboBox(this)),
      txtPollInterval(new QLineEdit(this)),
      chkShowDebug(new QCheckBox(tr("Show Complete Messages?"), this)),
      chkSingleStep(new QCheckBox(tr("Single Step through Commands?"), this)),
      chkEchoMessage(new QCheckBox(tr("Common Data Line (Rx + Tx connected)?"), this)),
      cboChecksum(new QComboBox(this)),
      spnReplyTimeout(new QSpinBox(this)),
      cmdOK(new QPushButton(tr("OK"), this)),
      cmdCancel(new QPushButton(tr("Cancel"), this)),
      ui_(ui) {
  setWindowTitle(tr("Tolvar Options"));
  // The numbered ports carry their number; device names carry none and are told by their text.
  for (int n = 1; n <= kNumberedPorts; ++n) cboCommPort->addItem(QStringLiteral("COM%1").arg(n), n);
  for (const QString& name : portNames)
    if (cboCommPort->findText(name) < 0) cboCommPort->addItem(name);
  // Any device can be typed, a pseudo-terminal another program links included; what is typed
  // stays as typed (no completion into a listed name).
  cboCommPort->setEditable(true);
  cboCommPort->setInsertPolicy(QComboBox::NoInsert);
  cboCommPort->setCompleter(nullptr);
  cboCommPort->setMinimumContentsLength(24);
  cboCommPort->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cboCommPort->setToolTip(tr("COM1 to COM4, a device listed, or any device path typed"));
  cboCommPort->setCurrentIndex(-1);
  txtPollInterval->setToolTip(tr("Poll Interval (msecs)"));
  cmdOK->setDefault(true);
  // Enter in the port's box accepts the dialog, as in every other box of it.
  connect(cboCommPort->lineEdit(), &QLineEdit::returnPressed, cmdOK, &QPushButton::click);
  cboChecksum->setObjectName(QStringLiteral("cboChecksum"));
  cboChecksum->addItem(quennet::framingCaption(quennet::DeviceFraming::Crc16),
                       HostSettings::kCrc16);
  cboChecksum->addItem(quennet::framingCaption(quennet::DeviceFraming::Checksum8),
                       HostSettings::kChecksum8);
  cboChecksum->setToolTip(tr("How frames are checked on the line: as the validator is set"));
  spnReplyTimeout->setObjectName(QStringLiteral("spnReplyTimeout"));
  spnReplyTimeout->setRange(0, HostSettings::kMostReplyTimeout);
  spnReplyTimeout->setSingleStep(50);
  spnReplyTimeout->setSuffix(tr(" ms"));
  spnReplyTimeout->setSpecialValueText(tr("protocol's own"));
  spnReplyTimeout->setToolTip(
      tr("How long to wait for every reply; the protocol's own waits are 200 ms for an ACK and "
         "500 ms for data"));

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(tr("COM Port:"), this), 0, 0);
  grid->addWidget(cboCommPort, 0, 1);
  grid->addWidget(new QLabel(tr("Poll Interval (msecs)"), this), 1, 0);
  grid->addWidget(txtPollInterval, 1, 1);
  grid->addWidget(chkShowDebug, 2, 0);
  grid->addWidget(chkEchoMessage, 2, 1);
  grid->addWidget(chkSingleStep, 3, 0, 1, 2);
  auto* link = new QGroupBox(tr("Host Link"), this);
  auto* linkGrid = new QGridLayout(link);
  linkGrid->addWidget(new QLabel(tr("Checksum:"), link), 0, 0);
  linkGrid->addWidget(cboChecksum, 0, 1);
  linkGrid->addWidget(new QLabel(tr("Reply Time-out:"), link), 1, 0);
  linkGrid->addWidget(spnReplyTimeout, 1, 1);
  grid->addWidget(link, 4, 0, 1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(cmdCancel);
  buttons->addWidget(cmdOK);
  auto* outer = new QVBoxLayout(this);
  outer->addLayout(grid);
  outer->addLayout(buttons);

  connect(cmdOK, &QPushButton::clicked, this, &frmOptions::onOK);
  connect(cmdCancel, &QPushButton::clicked, this, &frmOptions::reject);
}

void frmOptions::fill(const HostSettings& settings) {
  cboChecksum->setCurrentIndex(cboChecksum->findData(settings.Checksum));
  spnReplyTimeout->setValue(settings.ReplyTimeout);
  int index = -1;
  if (!settings.PortName.isEmpty()) {
    // The device in use stays a choice even when the machine no longer lists it.
    if (cboCommPort->findText(settings.PortName) < 0) cboCommPort->addItem(settings.PortName);
    index = cboCommPort->findText(settings.PortName);
  } else if (settings.Commport >= 1 && settings.Commport <= kNumberedPorts) {
    index = settings.Commport - 1;
  }
  if (index < 0) return;
  cboCommPort->setCurrentIndex(index);
  txtPollInterval->setText(QString::number(settings.PollInt));
  chkShowDebug->setChecked(settings.ShwMsg == 1);
  chkSingleStep->setChecked(settings.SnglStp);
  chkEchoMessage->setChecked(settings.MsgEcho == 1);
}

void frmOptions::readBack(HostSettings& settings) const {
  const QString port = cboCommPort->currentText().trimmed();
  const int listed = cboCommPort->findText(port);
  const QVariant number = listed >= 0 ? cboCommPort->itemData(listed) : QVariant();
  if (port.isEmpty()) {
    // No choice keeps the stored port, but the control must never be given port 0.
    if (settings.PortName.isEmpty() && settings.Commport < 1) settings.Commport = 1;
  } else if (number.isValid()) {
    settings.Commport = static_cast<std::int16_t>(number.toInt());
    settings.PortName.clear();
  } else {
    settings.PortName = port;
  }
  settings.PollInt =
      static_cast<std::int16_t>(pollInterval(txtPollInterval->text()).value_or(settings.PollInt));
  settings.ShwMsg = chkShowDebug->isChecked() ? 1 : 0;
  settings.SnglStp = chkSingleStep->isChecked();
  settings.MsgEcho = chkEchoMessage->isChecked() ? 1 : 0;
  settings.Checksum = static_cast<std::int16_t>(cboChecksum->currentData().toInt());
  settings.ReplyTimeout = static_cast<std::int16_t>(spnReplyTimeout->value());
}

void frmOptions::reject() {
  blnOptionsCancelled = true;
  QDialog::reject();
}

void frmOptions::onOK() {
  // Enter in the port's box clicks OK, and the dialog's own Enter may follow it.
  if (!blnOptionsCancelled) return;
  if (!pollInterval(txtPollInterval->text())) {
    ui_.messageBox(
        QStringLiteral("WARNING! Polling Interval should lie between\r\n100 and 200 msecs"),
        QStringLiteral("Set Options"), MsgIcon::Exclamation);
    return;
  }
  blnOptionsCancelled = false;
  accept();
}

bool Set_Options(QWidget* parent, UiServices& ui, HostSettings& settings,
                 const QStringList& extraPorts) {
  frmOptions dialog(ui, machineSerialPorts() + extraPorts, parent);
  dialog.fill(settings);
  ui.runDialog(dialog);
  if (dialog.blnOptionsCancelled) return false;
  dialog.readBack(settings);
  return true;
}

}  // namespace tolvar
