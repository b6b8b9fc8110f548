#include "quennetd/credit_book.h"

#include "quennet/bus/event_poller.h"
#include "quennet/link/protocol_events.h"
#include "quennetd/kill_point.h"
#include "quennetd/payloads.h"

namespace quennetd {

namespace {

using quennet::BusEvent;
using quennet::EventKind;
using quennet::EventPoller;

constexpr auto kNoteReturned = static_cast<std::uint8_t>(quennet::BillStatus::Returned);
constexpr auto kCashBoxRemoved = static_cast<std::uint8_t>(quennet::BillStatus::CashBoxRemoved);
constexpr auto kCashBoxInserted = static_cast<std::uint8_t>(quennet::BillStatus::CashBoxInserted);
constexpr int kBufferedEvents = 5;
const QString kResetInDoubt =
    QStringLiteral("the validator reset after the note was routed to the stacker");

// The statuses that say the note in escrow has gone: given back, jammed, stacked unread.
bool leftEscrow(std::uint8_t status) {
  using quennet::BillStatus;
  switch (static_cast<BillStatus>(status)) {
    case BillStatus::Returned:
    case BillStatus::JammedInValidator:
    case BillStatus::JammedInStacker:
    case BillStatus::StackerJammed:
    case BillStatus::StackerJam:
    case BillStatus::JammedInTransportSafe:
    case BillStatus::UnknownNoteStacked:
      return true;
    default:
      return false;
  }
}

// A refusal because the device is inhibited: master inhibit on, or the note or coin inhibited.
bool refusedAsInhibited(bool bill, const BusEvent& event) {
  if (event.a != 0) return false;
  if (bill) {
    return event.b == static_cast<std::uint8_t>(quennet::BillStatus::MasterInhibit) ||
           event.b == static_cast<std::uint8_t>(quennet::BillStatus::Inhibited);
  }
  return event.b == static_cast<std::uint8_t>(quennet::CoinStatus::Inhibited);
}

}  // namespace

CreditBook::CreditBook(const DaemonOptions& options, Devices* devices, DeviceCalls* calls,
                       JournalHealth* journal, Publish publish, QObject* parent)
    : QObject(parent),
      options_(options),
      devices_(devices),
      calls_(calls),
      health_(journal),
      publish_(std::move(publish)) {}

void CreditBook::setConditions(std::function<bool()> mayAccept, std::function<bool()> portOpen) {
  mayAccept_ = std::move(mayAccept);
  portOpen_ = std::move(portOpen);
}

DeviceMark CreditBook::markAt(const Device& device, int counter) const {
  DeviceMark next = device.mark ? *device.mark : DeviceMark{newEpoch(), 0, 0};
  // The counter wrapped from 255 to 1: the same counters come again, in a new epoch.
  if (counter != 0 && counter < next.counter) next.epoch = newEpoch();
  next.counter = counter;
  return next;
}

void CreditBook::primeFrom(Device& device) {
  device.primed = false;
  device.primedFrom = device.mark ? std::optional<int>(device.mark->counter) : std::nullopt;
  device.held.reset();
}

void CreditBook::onEvent(Device& device, const BusEvent& event) {
  const int newest = device.poller->lastCounter();
  if (!device.primed && !device.mark) return;  // a device never seen before: learn its counter
  if (device.mark) {
    const int ahead = EventPoller::eventsBetween(device.mark->counter, event.counter);
    if (ahead < 1 || ahead > EventPoller::eventsBetween(device.mark->counter, newest)) return;
  }
  const bool bill = device.isValidator();
  const EventKind kind = event.kind();
  const DeviceMark next = markAt(device, event.counter);
  // Whatever the event means for money is in the journal; if not, it is read again later.
  bool kept = true;
  if (kind == EventKind::Credit) {
    kept = credit(device, event, next);
  } else if (bill && event.a == 0 && event.b == kNoteReturned) {
    kept = noteReturned(device, next);
  } else if (kind == EventKind::Escrow && device.pending) {
    // Another note in escrow: the one routed to the stacker before it was not stacked.
    kept = noteReturned(device, next);
  }
  if (!kept) device.replay = true;
  // A credit moves the mark itself, with the device's seq.
  if (!device.replay && kind != EventKind::Credit) device.mark = next;
  publish_(QStringLiteral("event"),
           payloads::event(device, event.counter,
                           kind == EventKind::Credit  ? QStringLiteral("credit")
                           : kind == EventKind::Fault ? QStringLiteral("fault")
                                                      : QStringLiteral("status"),
                           event.text));
  if (bill && event.a == 0 && (event.b == kCashBoxRemoved || event.b == kCashBoxInserted)) {
    device.cashBoxOut = event.b == kCashBoxRemoved;
    emit statusChanged();
  }
  // Refused as inhibited by a device this service enabled: it reset while its counter stood at 0,
  // which the counter cannot show, and came back inhibited. It is initialised again, and says it
  // takes nothing until then.
  if (device.enabled && device.accepts() && refusedAsInhibited(bill, event)) {
    device.enabled = false;
    emit statusChanged();
    emit initWanted(device.address);
  }
  // The held note stays held through what says nothing of it (a cheat, the cash box): only a note
  // stacked, given back or jammed has left escrow.
  if (bill && (kind == EventKind::Credit || (event.a == 0 && leftEscrow(event.b)))) {
    device.hold.stop();
    device.held.reset();
  }
  if (kind == EventKind::Escrow && event.counter == newest) escrow(device, event, next);
}

void CreditBook::onBufferRead(Device& device, int counter) {
  // Whether the journal is still the file it was, at every poll: a journal deleted or replaced
  // stops acceptance before the next coin can go in.
  health_->writable();
  if (!device.primed) {
    device.primed = true;
    if (device.primedFrom && device.accepts()) {
      if (*device.primedFrom != 0 && counter == 0) {
        // Reset while nobody watched: the counter starts again at 0.
        onReset(device);
      } else {
        // Taken while nobody read the buffer, and more than it keeps: never silently.
        const int missed =
            EventPoller::eventsBetween(*device.primedFrom, counter) - kBufferedEvents;
        if (missed > 0 && !device.replay) {
          const DeviceMark at = markAt(device, counter);
          if (recordLoss(device, counter, missed, at)) {
            device.mark = at;
          } else {
            device.replay = true;
          }
        }
      }
    }
    // A note routed to the stacker before a restart and still in escrow: the journal has it.
    if (device.isValidator() && device.pending && counter == device.pending->counter) {
      device.held = device.pending;
      routeToStacker(device);
    }
  }
  if (device.replay) return;
  device.mark = markAt(device, counter);
  Journal& journal = health_->journal();
  if (device.stored != device.mark && health_->takes()) {
    if (journal.setMark(device.key(), *device.mark)) {
      device.stored = device.mark;
    } else {
      health_->failed(journal.errorString());
    }
  }
}

void CreditBook::onReset(Device& device) {
  device.enabled = false;
  // A reset gives a held note back to the customer, and the counter starts a new epoch.
  device.hold.stop();
  device.held.reset();
  const DeviceMark next{newEpoch(), 0, device.mark ? device.mark->seq : 0};
  // A note routed to the stacker may be in the cash box or back with the customer: nobody knows.
  if (!noteInDoubt(device, next)) device.replay = true;
  if (!device.replay) device.mark = next;
  publish_(QStringLiteral("event"),
           payloads::event(device, 0, QStringLiteral("reset"), QStringLiteral("Device reset")));
  emit statusChanged();
  emit initWanted(device.address);
}

void CreditBook::onEventsLost(Device& device, int count) {
  if (!device.mark) return;
  // Journalled with the mark as it stands: the events the buffer still holds come next.
  if (!recordLoss(device, device.poller->lastCounter(), count, *device.mark)) device.replay = true;
}

bool CreditBook::credit(Device& device, const BusEvent& event, DeviceMark next) {
  if (!health_->takes()) return false;
  const bool note = device.isValidator();
  const int position = event.a;
  QString id = device.creditId(next.epoch, event.counter, position);
  int counter = event.counter;
  if (note && device.pending) {
    if (device.pending->position == position) {
      // The note journalled before it was stacked: its id, its counter.
      id = device.pending->id;
      counter = device.pending->counter;
    } else if (!noteReturned(device, next)) {
      return false;
    }
  }
  next.seq += 1;
  const JournalCredit entry{id, payloads::credit(device, id, position, counter, next.seq)};
  // On disk first; only then may anybody hear of it.
  killPoint("before-journal");
  if (!record(device, entry, next)) return false;
  killPoint("after-journal");
  publishEntry(entry);
  return true;
}

void CreditBook::settle(Device& device, const DeviceMark& next) {
  device.pending.reset();
  device.mark = next;
  device.stored = next;
}

bool CreditBook::record(Device& device, const JournalCredit& entry, const DeviceMark& next) {
  Journal& journal = health_->journal();
  if (!journal.recordCredit(device.key(), entry, next)) {
    health_->failed(journal.errorString());
    return false;
  }
  settle(device, next);
  return true;
}

bool CreditBook::noteInDoubt(Device& device, DeviceMark next) {
  if (!device.pending) return true;
  if (!health_->takes()) return false;
  next.seq += 1;
  const JournalCredit entry{device.pending->id,
                            payloads::inDoubt(device, *device.pending, next.seq, kResetInDoubt),
                            Entry::InDoubt};
  if (!record(device, entry, next)) return false;
  publishEntry(entry);
  return true;
}

bool CreditBook::recordLoss(Device& device, int counter, int count, const DeviceMark& mark) {
  if (!health_->takes()) return false;
  const QString id = QStringLiteral("%1-%2-%3-lost").arg(device.serial, mark.epoch).arg(counter);
  const JournalCredit entry{id, payloads::loss(device, id, counter, count), Entry::Lost};
  Journal& journal = health_->journal();
  if (!journal.recordCredit(device.key(), entry, mark)) {
    health_->failed(journal.errorString());
    return false;
  }
  device.stored = mark;
  publishEntry(entry);
  return true;
}

void CreditBook::publishEntry(const JournalCredit& entry) {
  publish_(entry.entry == Entry::Lost ? QStringLiteral("event") : QStringLiteral("credit"),
           entry.payload);
}

void CreditBook::resend() {
  for (const JournalCredit& entry : health_->journal().outstanding()) publishEntry(entry);
}

bool CreditBook::noteReturned(Device& device, const DeviceMark& next) {
  if (!device.pending) return true;
  Journal& journal = health_->journal();
  if (!health_->takes() || !journal.dropPending(device.key(), device.pending->id, next)) {
    health_->failed(journal.errorString());
    return false;
  }
  settle(device, next);
  return true;
}

void CreditBook::escrow(Device& device, const BusEvent& event, const DeviceMark& next) {
  device.held =
      PendingNote{device.creditId(next.epoch, event.counter, event.a), event.counter, event.a};
  switch (options_.escrow) {
    case EscrowPolicy::Stack:
      if (mayAccept_()) {
        routeToStacker(device);
        return;
      }
      [[fallthrough]];
    case EscrowPolicy::Return:
      device.held.reset();
      route(device.address, RouteCode::Return);
      return;
    case EscrowPolicy::Hold:
      break;
  }
  publish_(QStringLiteral("escrow"), payloads::escrow(device, *device.held));
  device.hold.start(options_.escrowTimeoutMs);
}

bool CreditBook::journalNote(Device& device) {
  if (!device.held || !device.mark) return false;
  if (device.pending && device.pending->id == device.held->id) return true;
  if (!mayAccept_() || !health_->writable()) return false;
  killPoint("before-journal");
  Journal& journal = health_->journal();
  if (!journal.recordPending(device.key(), *device.held, *device.mark)) {
    health_->failed(journal.errorString());
    return false;
  }
  device.pending = device.held;
  device.stored = device.mark;
  return true;
}

bool CreditBook::routeToStacker(Device& device, const Routed& then) {
  if (!journalNote(device)) {
    device.held.reset();
    return route(device.address, RouteCode::Return, then);
  }
  killPoint("after-journal");
  calls_->send(device.address, calls::routeBill(RouteCode::Stack),
               [then](const CallReply<Nothing>& routed) {
                 if (routed.acknowledged) killPoint("after-stack");
                 if (then) then(routed);
               });
  return true;
}

bool CreditBook::route(quint8 address, RouteCode how, const Routed& then) {
  if (!portOpen_()) return false;
  calls_->send(address, calls::routeBill(how), [then](const CallReply<Nothing>& routed) {
    if (then) then(routed);
  });
  return true;
}

void CreditBook::holdExpired(quint8 address) {
  const auto it = devices_->find(address);
  if (it != devices_->end()) it->second->held.reset();
  route(address, RouteCode::Return);
}

}  // namespace quennetd
