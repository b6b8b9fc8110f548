#pragma once
// Finding what is on a bus: an address poll in every framing, then each device that answered
// identified by trying its framing: CRC-16, CRC-16 encrypted with the key given, the 8-bit
// checksum. A device's framing belongs to it, not to the bus, and the poll's one-byte answers
// carry no checksum: trying is the only way to learn it.

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include <QString>

#include "quennet/commands/command_set.h"
#include "quennet/link/encryption.h"
#include "quennet/quennet_export.h"

namespace quennet {

/// How a device frames its messages.
enum class DeviceFraming : std::uint8_t {
  Unknown,    ///< it answered the address poll and then nothing
  Crc16,      ///< CRC-16 in the clear
  Encrypted,  ///< CRC-16, encrypted with the key given
  Checksum8,  ///< the 8-bit checksum
};

/// "crc16", "encrypted", "checksum8" or "unknown": the words bnvsim's --device takes.
QUENNET_EXPORT QString framingName(DeviceFraming framing);

/// "CRC-16", "CRC-16 encrypted", "8-bit checksum" or "none": the framing as a person reads it.
QUENNET_EXPORT QString framingCaption(DeviceFraming framing);

/// One device found.
struct FoundDevice {
  int address = 0;                                 ///< the address it answered the poll from
  DeviceFraming framing = DeviceFraming::Unknown;  ///< the framing it answered a command in
  QString category;                                ///< equipment category (header 245)
  QString manufacturer;                            ///< header 246
  QString product;                                 ///< product code (header 244)
  QString serial;  ///< serial number as the device's label reads it (header 242)
};

/// What one collection (an address poll or an address clash) heard over every framing.
struct HeardAddresses {
  /// address -> answers from it in the framing that heard it most: a second is a second device
  std::map<int, int> answers;
  /// address -> the first framing whose collection heard it: the framing to try it in first
  std::map<int, DeviceFraming> heardIn;
  bool sent = false;                ///< a collection went out in at least one framing
  std::int16_t result = kResultOk;  ///< when nothing went out, why not
};

/// Collects the bus's answers on `set` (its line open) in every framing: an address poll, or an
/// address clash with `clash`. The set's framing is as before when it returns.
QUENNET_EXPORT HeardAddresses collectAddresses(CommandSet& set, std::optional<KeyDigits> key,
                                               bool clash = false);

/// Identifies the device at `address` by trying each framing in turn, `first` before the others
/// when given (the one its address poll was heard in, say): each framing it does not answer in
/// costs a poll's time-out. Its framing stays Unknown when it answers a poll in none. The set's
/// framing is as before when it returns.
QUENNET_EXPORT FoundDevice identifyDevice(CommandSet& set, int address,
                                          std::optional<KeyDigits> key = std::nullopt,
                                          std::optional<DeviceFraming> first = std::nullopt);

/// Polls the bus on `set` (its line open) in every framing and identifies each device that
/// answered, in address order. `key`: the key of encrypted devices, when there may be some.
/// The set's checksum and encryption settings are as before when it returns.
QUENNET_EXPORT std::vector<FoundDevice> scanBus(CommandSet& set,
                                                std::optional<KeyDigits> key = std::nullopt);

}  // namespace quennet
