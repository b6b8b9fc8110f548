#include "quennetd/device_bringup.h"

namespace quennetd {

namespace {

constexpr int kPositions = quennet::kPositionCount;
constexpr int kStackerAndEscrow = quennet::kBillModeStacker | quennet::kBillModeEscrow;

}  // namespace

BringUp::BringUp(DevicePtr device, Scope scope, const DaemonOptions& options, DeviceCalls* calls,
                 quennet::BusClient* bus, JournalHealth* journal, std::function<bool()> mayAccept,
                 Done done, QObject* parent)
    : QObject(parent),
      device_(std::move(device)),
      scope_(scope),
      options_(options),
      calls_(calls),
      bus_(bus),
      journal_(journal),
      mayAccept_(std::move(mayAccept)),
      done_(std::move(done)) {}

void BringUp::start() {
  run(scope_ == Scope::Identify ? Step::Category : firstInitStep());
}

BringUp::Step BringUp::firstInitStep() const {
  if (device_->accepts()) return Step::Inhibits;
  const bool hopper = device_->source == quennet::EventPoller::Source::Hopper;
  return hopper && options_.enableHopper ? Step::Hopper : Step::Done;
}

void BringUp::run(Step step) {
  Device& d = *device_;
  const quint8 address = d.address;
  switch (step) {
    case Step::Category:
      return calls_->send(address, calls::equipmentCategory(), [this](const CallReply<QString>& r) {
        if (!r.value) return finish();
        device_->category = *r.value;
        run(Step::Maker);
      });
    case Step::Maker:
      return calls_->send(address, calls::manufacturer(), [this](const CallReply<QString>& r) {
        device_->manufacturer = r.value.value_or(QString());
        run(Step::Serial);
      });
    case Step::Serial:
      return calls_->send(address, calls::serialNumber(), [this](const CallReply<SerialNumber>& r) {
        if (!r.value) return finish();
        device_->serial = r.value->rendered;
        device_->label = r.value->label;
        device_->source = sourceOf(device_->category);
        // A role configured says what the device is taken for.
        if (const auto setting = deviceSetting(options_, device_->address);
            setting && setting->role) {
          device_->source = sourceOf(*setting->role);
        }
        device_->denominations.clear();
        position_ = 1;
        scaling_.clear();
        run(Step::Denomination);
      });
    case Step::Denomination: {
      if (!d.accepts() || position_ > kPositions) return identified();
      const bool notes = d.isValidator();
      return calls_->send(address, calls::denominationCode(notes, position_),
                          [this, notes](const CallReply<QString>& r) {
                            const QString code = r.value.value_or(QString());
                            ++position_;
                            if (!notes) {
                              device_->denominations.append(coinDenomination(code));
                              return run(Step::Denomination);
                            }
                            // A note's value needs its currency's scale, asked once per currency.
                            const QString currency = noteDenomination(code, std::nullopt).currency;
                            if (currency.isEmpty() || scaling_.contains(currency)) {
                              device_->denominations.append(noteDenomination(
                                  code, currency.isEmpty() ? std::nullopt : scaling_[currency]));
                              return run(Step::Denomination);
                            }
                            code_ = code;
                            run(Step::Scale);
                          });
    }
    case Step::Scale: {
      const QString currency = noteDenomination(code_, std::nullopt).currency;
      return calls_->send(address, calls::scaleFactor(currency),
                          [this, currency](const CallReply<Scale>& r) {
                            scaling_[currency] = r.value;
                            device_->denominations.append(noteDenomination(code_, r.value));
                            run(Step::Denomination);
                          });
    }
    case Step::Counter:
      // A device never seen before: what its buffer holds is history. Where its counter stands
      // is learnt before it may accept anything, so that nothing after this point is taken for
      // history.
      return calls_->send(address, calls::eventCounter(*d.source), [this](const CallReply<int>& r) {
        if (r.value) {
          device_->mark = DeviceMark{newEpoch(), *r.value, 0};
          if (journal_->writable() && journal_->journal().setMark(device_->key(), *device_->mark)) {
            device_->stored = device_->mark;
          }
        }
        run(scope_ == Scope::Identify ? firstInitStep() : Step::Done);
      });
    case Step::Hopper:
      return calls_->send(address, calls::enableHopper(),
                          [this](const CallReply<Nothing>&) { run(Step::Done); });
    case Step::Inhibits:
      mask_ = options_.notes == u"none" ? 0 : maskOf(d.denominations, options_.notes);
      return calls_->send(address, calls::setInhibits(mask_), [this](const CallReply<Nothing>& r) {
        inhibitsSet_ = r.ok() && mask_ != 0;
        run(device_->isValidator() ? Step::BillMode : Step::Master);
      });
    case Step::BillMode:
      return calls_->send(address, calls::setBillMode(kStackerAndEscrow),
                          [this](const CallReply<Nothing>&) { run(Step::Master); });
    case Step::Master: {
      const bool open = mayAccept_();
      return calls_->send(address, calls::setMaster(open ? Master::Accept : Master::Inhibit),
                          [this, open](const CallReply<Nothing>& r) {
                            // Enabled for nothing (--notes none) takes no money either.
                            device_->enabled = open && inhibitsSet_ && r.ok();
                            run(Step::Done);
                          });
    }
    case Step::Done:
      return finish();
  }
}

void BringUp::identified() {
  if (bus_->state() != quennet::BusClient::ConnectedState) return finish();
  Device& d = *device_;
  d.state = DeviceState::Initialising;
  Journal& journal = journal_->journal();
  if (journal.isOpen() && journal_->state() != JournalHealth::State::Lost) {
    d.mark = journal.mark(d.key());
    d.stored = d.mark;
    d.pending = journal.pending(d.key());
  }
  if (d.mark || !d.source) return run(firstInitStep());
  run(Step::Counter);
}

void BringUp::finish() {
  deleteLater();
  // The device as it stands; once identified, initialised too.
  done_(device_);
}

}  // namespace quennetd
