#pragma once
// The credit book: what the devices' events mean for money. A credit is journalled before it is
// published; a note in escrow is journalled as pending before it may be stacked, and becomes a
// credit once the validator reports it stacked, goes back when it is returned, and is published
// in doubt when the validator resets before saying which; events that fell out of a buffer
// unread are journalled and published as a loss. Where each device's counter stands goes to the
// journal with every buffer read, so that a restart neither repeats nor skips an event.

#include <functional>

#include <QObject>
#include <QString>

#include "quennetd/daemon_options.h"
#include "quennetd/device_calls.h"
#include "quennetd/journal_health.h"
#include "quennetd/service_device.h"

namespace quennet {
struct BusEvent;
}

namespace quennetd {

class CreditBook : public QObject {
  Q_OBJECT

 public:
  using Publish = std::function<void(const QString& leaf, const QByteArray& payload)>;
  // Sends the route; its reply goes to `then`.
  using Routed = std::function<void(const CallStatus&)>;

  CreditBook(const DaemonOptions& options, Devices* devices, DeviceCalls* calls,
             JournalHealth* journal, Publish publish, QObject* parent = nullptr);

  // Whether the service may take money now, and whether its port is open.
  void setConditions(std::function<bool()> mayAccept, std::function<bool()> portOpen);

  // The poller's reports of a device being polled.
  void onEvent(Device& device, const quennet::BusEvent& event);
  void onBufferRead(Device& device, int counter);
  void onReset(Device& device);
  void onEventsLost(Device& device, int count);
  // The first buffer read after polling starts: the journal's counter tells what is new.
  void primeFrom(Device& device);

  // The note held is journalled as pending before it may be stacked; false when it may not.
  bool journalNote(Device& device);
  // Sends the held note to the stacker (through the journal; back to the customer when the
  // journal cannot take it). False when nothing was sent: the port is closed.
  bool routeToStacker(Device& device, const Routed& then = {});
  bool route(quint8 address, RouteCode how, const Routed& then = {});
  // --escrow hold ran out: the note goes back.
  void holdExpired(quint8 address);
  // Credits, notes in doubt and losses not acknowledged, published again.
  void resend();

 signals:
  void statusChanged();
  // The device wants its inhibits and mode set again (it reset).
  void initWanted(quint8 address);

 private:
  DeviceMark markAt(const Device& device, int counter) const;
  bool credit(Device& device, const quennet::BusEvent& event, DeviceMark next);
  // The note pending is settled and the device's counter stands at `next`, as the journal has it.
  void settle(Device& device, const DeviceMark& next);
  // Writes a credit or a note in doubt with where the device's counter now stands; the note
  // pending is settled by it. False when the journal did not take it.
  bool record(Device& device, const JournalCredit& entry, const DeviceMark& next);
  bool noteReturned(Device& device, const DeviceMark& next);
  // The note routed to the stacker can no longer be seen (the validator reset before it said):
  // published as a credit in doubt until a consumer settles it.
  bool noteInDoubt(Device& device, DeviceMark next);
  bool recordLoss(Device& device, int counter, int count, const DeviceMark& mark);
  void escrow(Device& device, const quennet::BusEvent& event, const DeviceMark& next);
  void publishEntry(const JournalCredit& entry);

  DaemonOptions options_;
  Devices* devices_;
  DeviceCalls* calls_;
  JournalHealth* health_;
  Publish publish_;
  std::function<bool()> mayAccept_;
  std::function<bool()> portOpen_;
};

}  // namespace quennetd
