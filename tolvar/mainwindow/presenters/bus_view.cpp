#include "tolvar/mainwindow/presenters/bus_view.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QTime>

#include "quennet/commands/bus_scan.h"
#include "quennet/control/zav_quennet.h"
#include "tolvar/mainwindow/panes/bus_view_pane.h"
#include "tolvar/mainwindow/panes/details_pane.h"
#include "tolvar/mainwindow/presenters/key_code.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/settings/number_text.h"

namespace tolvar {

BusView::BusView(LineTurn& turn, BusViewPane& pane, DetailsPane& details)
    : turn_(turn), pane_(pane), details_(details) {
  connect(&pane_, &BusViewPane::collect, this, [this](bool clash) {
    // In the line's turn, as a toolbar click.
    if (!turn_.whenFree([this, clash] {
          const LineTurn::Scope scope(turn_);
          collect(clash);
        })) {
      turn_.refuse();
    }
  });
  connect(&pane_, &BusViewPane::picked, this, &BusView::talkTo);
  connect(details_.txtAddress, &QLineEdit::textChanged, this, &BusView::markCurrent);
}

// The framing the bench sends in: its checksum, encrypted when Encryption On is ticked.
quennet::DeviceFraming BusView::benchFraming() {
  if (turn_.control().checksumType() == quennet::CHKSM_8BIT)
    return quennet::DeviceFraming::Checksum8;
  return details_.chkEncrpyt->isChecked() ? quennet::DeviceFraming::Encrypted
                                          : quennet::DeviceFraming::Crc16;
}

std::optional<quennet::KeyDigits> BusView::keyToTry() const {
  QString key = details_.txtEncKey->text();
  KeyBytes bytes{};
  if (!packKeyCode(key, bytes)) return std::nullopt;
  return quennet::keyDigitsFromCode(quennet::keyCodeFromBytes(bytes));
}

void BusView::collect(bool clash) {
  // A broadcast: no slave address is needed, so the address box is not checked.
  turn_.ClearDisplay();
  framings_.clear();
  zav_quennet& control = turn_.control();
  // Each device hears only its own framing, so the collection goes out in every framing the
  // bench knows, and each device is then asked in turn in each until it answers.
  const std::optional<quennet::KeyDigits> key = keyToTry();
  const quennet::HeardAddresses heard = quennet::collectAddresses(control, key, clash);
  QStringList heardText;
  for (const auto& [address, count] : heard.answers)
    for (int i = 0; i < count; ++i) heardText << QString::number(address);
  // The reply line and the debug boxes show the collection, not the requests after it.
  turn_.showReply(heardText.isEmpty() ? QString()
                                      : QStringLiteral(" Address = ") + heardText.join(", "));
  const QString command = clash ? QStringLiteral("address clash") : QStringLiteral("address poll");
  const QString when = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
  if (!heard.sent) {
    pane_.showDevices({}, QStringLiteral("Nothing sent at %1: %2. No %3 went out.")
                              .arg(when, quennet::resultMeaning(heard.result), command));
    return;
  }

  QList<BusDevice> devices;
  int silent = 0;
  for (const auto& [address, count] : heard.answers) {
    BusDevice device;
    device.address = address;
    device.answers = count;
    // Two devices on one address answer together: neither reply could be read.
    if (count == 1) {
      device.found = quennet::identifyDevice(control, address, key);
      framings_[address] = device.found.framing;
      // Shown all the same: it is on the bus, and a device that answers nothing is a finding.
      if (device.found.framing == quennet::DeviceFraming::Unknown) ++silent;
    }
    devices << device;
  }
  QString summary;
  if (devices.isEmpty()) {
    summary = QStringLiteral("No device answered the %1 at %2.").arg(command, when);
  } else {
    summary = devices.size() == 1
                  ? QStringLiteral("1 address answered the %1 at %2.").arg(command, when)
                  : QStringLiteral("%1 addresses answered the %2 at %3.")
                        .arg(devices.size())
                        .arg(command, when);
    if (silent > 0) {
      summary += QStringLiteral(" %1 no poll in any mode.")
                     .arg(silent == 1 ? QStringLiteral("1 of them answered")
                                      : QStringLiteral("%1 of them answered").arg(silent));
    }
    summary += QStringLiteral(" Double-click a row to talk to that device.");
  }
  pane_.showDevices(devices, summary);
  markCurrent();
}

void BusView::talkTo(int address) {
  details_.txtAddress->setText(QString::number(address));
  QString text = QStringLiteral("Commands now go to address %1").arg(address);
  // Commands in the bench's framing reach it only when the framing is its own.
  const auto found = framings_.find(address);
  const quennet::DeviceFraming bench = benchFraming();
  if (found != framings_.end() && found->second != quennet::DeviceFraming::Unknown &&
      found->second != bench) {
    text += QStringLiteral(" (it answers in %1; the bench sends %2)")
                .arg(quennet::framingCaption(found->second), quennet::framingCaption(bench));
  }
  turn_.setStatusText(text);
  emit talkingTo(address);
}

void BusView::markCurrent() {
  const double value = leadingValue(details_.txtAddress->text());
  pane_.markCurrent(static_cast<int>(roundHalfEven(value)));
}

}  // namespace tolvar
