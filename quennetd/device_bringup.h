#pragma once
// Bringing one device up, as one sequence of steps: each step sends one call, and its reply
// picks the next step. Identifying asks the device's category, maker, serial number and
// denominations (a note's scale once per currency), then reads where the journal left it and,
// for a device never seen, where its event counter stands. Initialising sets its inhibits as
// --notes asks, escrow on, and its master inhibit open while the service may take money (a
// hopper is enabled when asked to be). A device stays Identifying unless all of it came.

#include <functional>
#include <map>
#include <optional>

#include <QObject>
#include <QString>

#include "quennetd/daemon_options.h"
#include "quennetd/device_calls.h"
#include "quennetd/journal_health.h"
#include "quennetd/service_device.h"

namespace quennetd {

class BringUp : public QObject {
  Q_OBJECT

 public:
  enum class Step {
    Category,
    Maker,
    Serial,
    Denomination,
    Scale,
    Counter,
    Hopper,
    Inhibits,
    BillMode,
    Master,
    Done
  };
  // What a sequence runs: identification and initialisation, or initialisation alone.
  enum class Scope { Identify, Initialise };
  using Done = std::function<void(const DevicePtr& device)>;

  // Deletes itself once `done` is called; `mayAccept` is asked when the master inhibit is set.
  BringUp(DevicePtr device, Scope scope, const DaemonOptions& options, DeviceCalls* calls,
          quennet::BusClient* bus, JournalHealth* journal, std::function<bool()> mayAccept,
          Done done, QObject* parent);
  void start();

 private:
  void run(Step step);
  // Identification is complete: the journal's mark, then the counter if it has none.
  void identified();
  // The step initialisation starts with, for this device.
  Step firstInitStep() const;
  void finish();

  DevicePtr device_;
  Scope scope_;
  const DaemonOptions& options_;
  DeviceCalls* calls_;
  quennet::BusClient* bus_;
  JournalHealth* journal_;
  std::function<bool()> mayAccept_;
  Done done_;
  int position_ = 1;                                 // the denomination asked next
  std::map<QString, std::optional<Scale>> scaling_;  // per currency, asked once
  QString code_;                                     // the note whose scale is asked
  std::uint16_t mask_ = 0;
  bool inhibitsSet_ = false;
};

}  // namespace quennetd
