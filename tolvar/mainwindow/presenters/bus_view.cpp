#include "tolvar/mainwindow/presenters/bus_view.h"

#include <array>
#include <map>

#include <QLineEdit>
#include <QTime>

#include "quennet/control/zav_quennet.h"
#include "tolvar/mainwindow/panes/bus_view_pane.h"
#include "tolvar/mainwindow/panes/details_pane.h"
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

void BusView::collect(bool clash) {
  // A broadcast: no slave address is needed, so the address box is not checked.
  turn_.ClearDisplay();
  // Room for every byte a collection gathers, so a full bus of answers is shown, not lost.
  std::array<std::uint8_t, quennet::kCollectAllMost> addresses{};
  zav_quennet& control = turn_.control();
  const std::int16_t result =
      clash ? control.AddressClash(addresses) : control.AddressPoll(addresses);
  QString reply;
  if (result == quennet::kResultOk) {
    reply = QStringLiteral(" Address = ") + QString::number(addresses[0]);
    for (std::size_t i = 1; i < addresses.size() && addresses[i] != 0; ++i)
      reply += QStringLiteral(", ") + QString::number(addresses[i]);
  }
  // The reply line and the debug boxes show the collection, not the requests after it.
  turn_.showReply(reply);
  const QString command = clash ? QStringLiteral("address clash") : QStringLiteral("address poll");
  const QString when = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
  if (!control.lastTransaction().frameSent) {
    pane_.showDevices({}, QStringLiteral("Nothing sent at %1: %2. No %3 went out.")
                              .arg(when, quennet::resultMeaning(result), command));
    return;
  }

  // No device has address 0 (it is everyone's), so the first zero ends the answers. A
  // collection that overflowed still filled the array with the answers it kept.
  std::map<int, int> answers;
  for (std::size_t i = 0; i < addresses.size() && addresses[i] != 0; ++i) ++answers[addresses[i]];
  QList<BusDevice> devices;
  int unconfirmed = 0;
  for (const auto& [address, count] : answers) {
    BusDevice device{address, count, {}};
    // Two devices on one address answer together: neither reply could be read.
    QString category;
    if (count == 1) {
      const std::int16_t asked = control.GetEqptID(static_cast<std::uint8_t>(address), category);
      // A byte that no device asked directly owns (noise on the line while answers were
      // gathered) is no device.
      if (asked == quennet::kResultTimeout) {
        ++unconfirmed;
        continue;
      }
      if (asked == quennet::kResultOk) device.category = category.trimmed();
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
    summary += QStringLiteral(" Double-click a row to talk to that device.");
  }
  if (unconfirmed > 0) {
    summary += QStringLiteral(" Not listed: %1 (no reply when asked directly).")
                   .arg(unconfirmed == 1 ? QStringLiteral("1 answer")
                                         : QStringLiteral("%1 answers").arg(unconfirmed));
  }
  pane_.showDevices(devices, summary);
  markCurrent();
}

void BusView::talkTo(int address) {
  details_.txtAddress->setText(QString::number(address));
  turn_.setStatusText(QStringLiteral("Commands now go to address %1").arg(address));
  emit talkingTo(address);
}

void BusView::markCurrent() {
  const double value = leadingValue(details_.txtAddress->text());
  pane_.markCurrent(static_cast<int>(roundHalfEven(value)));
}

}  // namespace tolvar
