#pragma once
// How the service's bus is set up: the port, the echo and each device's framing, configured or
// found on the line at start.

#include <functional>
#include <map>
#include <optional>
#include <vector>

#include <QList>
#include <QObject>
#include <QString>

#include "quennet/bus/bus_client.h"
#include "quennet/commands/bus_scan.h"
#include "quennetd/daemon_options.h"
#include "quennetd/device_calls.h"

class QThread;

namespace quennetd {

// The port, the echo, the bus's own framing, each configured device's framing, BUSY retries and
// the wait after a reset.
void configureBus(quennet::BusClient& bus, const DaemonOptions& options);

// The devices `options` name, or those that answer an address poll.
void findAddresses(DeviceCalls& calls, const DaemonOptions& options,
                   const std::function<void(const QList<quint8>&)>& then);

// Whether a device's framing must be found before the bus is used: one `options` names has none
// configured, or none is named and the bus's framing is not configured either.
bool framingsToFind(const DaemonOptions& options);

// The key an encrypted device is tried with when its framing is found: the bus's, else the
// first a device's line gives.
std::optional<std::int32_t> searchKey(const DaemonOptions& options);
// The key the device at `address` is tried with: its line's, else the one above.
std::optional<std::int32_t> searchKey(const DaemonOptions& options, std::uint8_t address);
// The framing configured for the device at `address`, when one is.
std::optional<quennet::DeviceLink> configuredLink(const DaemonOptions& options,
                                                  std::uint8_t address);

// The word a framing is shown by: "crc16", "encrypted", "checksum8", "unknown".
QString framingWord(const quennet::DeviceLink& link);
quennet::DeviceLink linkOf(quennet::DeviceFraming framing, std::optional<std::int32_t> keyCode);

// Every device on the port and its framing, found as `quennet scan` finds them (an address poll
// in every framing, then each device tried in each, the framing its poll was heard in first);
// when `options` name the devices, only those whose framing is not configured, without an
// address poll. On a thread of its own while the bus client has the port closed. `done` comes in
// the owner's thread, with the devices found or why the port could not be opened.
class FramingSearch : public QObject {
 public:
  using Done =
      std::function<void(const std::vector<quennet::FoundDevice>& found, const QString& error)>;

  explicit FramingSearch(QObject* parent = nullptr);
  // Waits for a search under way to end (it ends within its polls' time-outs).
  ~FramingSearch() override;
  void start(const DaemonOptions& options, Done done);
  bool running() const;

 private:
  QThread* thread_ = nullptr;
};

}  // namespace quennetd
