#pragma once
// One device on the service's bus, as every part of the service sees it: what it is, what the
// journal knows of it, the note it holds and its event poller.

#include <map>
#include <memory>
#include <optional>

#include <QList>
#include <QString>
#include <QTimer>

#include "quennet/bus/event_poller.h"
#include "quennetd/currency.h"
#include "quennetd/daemon_options.h"
#include "quennetd/journal.h"

namespace quennetd {

struct Denomination {
  QString code;
  QString currency;
  std::optional<qint64> value;  // minor units
  std::optional<Scale> scale;   // notes: as the validator gave it
};

// "GB0010A" with factor 100 and 2 decimals (or factor 1 and none): GB, 1000 pence. Coins
// ("GB010A") carry minor units already.
Denomination noteDenomination(const QString& code, const std::optional<Scale>& scale);
Denomination coinDenomination(const QString& code);

// The inhibit mask that opens the positions of `table` that `notes` names ("all", "none" or a
// country code).
std::uint16_t maskOf(const QList<Denomination>& table, const QString& notes);

// What a device's equipment category says its buffer is.
std::optional<quennet::EventPoller::Source> sourceOf(const QString& category);
// What a device's configured role says it is, whatever its category.
quennet::EventPoller::Source sourceOf(DeviceRole role);

// What the service does with one device. Identifying: its category, serial number and
// denominations are asked for (again every 5 s until they all come). Initialising: its inhibits,
// mode and master inhibit are set (after bring-up, a reset, a journal that works again, a broker
// back). Polling: its buffer is read and nothing else is owed. Lost: polls went unanswered; it
// is polled still, and Initialising again once it answers.
enum class DeviceState { Identifying, Initialising, Polling, Lost };

struct Device {
  using Source = quennet::EventPoller::Source;

  quint8 address = 0;
  DeviceState state = DeviceState::Identifying;
  QString category;
  QString manufacturer;
  QString serial;  // as GetSerialNo renders it: the journal's name for the device
  QString label;   // as the device's label reads it: what status and credits show
  QString mode;    // its framing on the line ("crc16", "checksum8", "+key"), as configured or found
  std::optional<Source> source;
  std::unique_ptr<quennet::EventPoller> poller;
  bool enabled = false;               // its master inhibit opened by this service, since no reset
  bool cashBoxOut = false;            // the validator said its cash box was taken out
  bool primed = false;                // the first buffer since polling started has been read
  std::optional<int> primedFrom;      // the counter the journal had when polling started
  QList<Denomination> denominations;  // by position - 1
  std::optional<DeviceMark> mark;     // where the counter was last taken into account
  std::optional<DeviceMark> stored;   // ... as the journal has it
  // A credit the journal could not take: the events after `mark` are read again once it works.
  bool replay = false;
  std::optional<PendingNote> pending;  // routed to the stacker, not yet reported stacked
  // The note in escrow now, while its event is the newest: its counter, position and epoch.
  std::optional<PendingNote> held;
  QTimer hold;  // --escrow hold: returns the note when it runs out

  QString key() const { return QStringLiteral("%1/%2").arg(address).arg(serial); }
  bool identified() const { return state != DeviceState::Identifying; }
  // Known and answering: what status calls ok, and what may take consumers' commands.
  bool answering() const {
    return state == DeviceState::Initialising || state == DeviceState::Polling;
  }
  bool accepts() const { return source == Source::BillValidator || source == Source::CoinAcceptor; }
  bool isValidator() const { return source == Source::BillValidator; }
  // Enabled and able to take money now.
  bool taking() const { return accepts() && enabled && !cashBoxOut && state != DeviceState::Lost; }
  // The denomination at `position` (from 1); an empty one outside the table.
  Denomination denomination(int position) const {
    return position >= 1 && position <= denominations.size() ? denominations[position - 1]
                                                             : Denomination{};
  }
  // Derived only from what identifies the event, so that reading it again gives the same id.
  QString creditId(const QString& epoch, int counter, int position) const {
    return QStringLiteral("%1-%2-%3-%4").arg(serial, epoch).arg(counter).arg(position);
  }
};

using DevicePtr = std::shared_ptr<Device>;
using Devices = std::map<quint8, DevicePtr>;

}  // namespace quennetd
