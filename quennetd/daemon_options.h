#pragma once
// What quennetd is told: the command line, over the keys of its configuration file (INI, the
// same names as the options without the dashes).

#include <cstdint>
#include <optional>
#include <utility>

#include <QList>
#include <QString>
#include <QStringList>

#include "quennet/link/protocol_events.h"

namespace quennetd {

enum class EscrowPolicy { Stack, Return, Hold };

// What a device is, when its line in the configuration says.
enum class DeviceRole { Validator, CoinAcceptor, Hopper };

// One device's line: its address, and its framing and role where the line gives them. A device
// whose framing no line gives (nor --checksum8 or --key for the whole bus) is tried at start in
// every framing, as `quennet scan` does.
struct DeviceSetting {
  std::uint8_t address = 0;
  std::optional<bool> checksum8;        // the 8-bit checksum, or CRC-16; not given: found
  std::optional<std::int32_t> keyCode;  // its CRC-16 frames are encrypted with this key
  std::optional<DeviceRole> role;
  // A hopper's dispense security code: a number, or (serialCode) its own serial number, as some
  // hoppers take it. Neither: the code every hopper takes by default.
  std::optional<std::int32_t> dispenseCode;
  bool serialCode = false;
};

// A journal that failed (a full disk) is tried again this often by default.
inline constexpr int kJournalRetryMs = 5000;

struct DaemonOptions {
  QString port;
  QString brokerHost = QStringLiteral("localhost");
  int brokerPort = 0;  // 0: 1883, or 8883 with TLS
  QString prefix = QStringLiteral("quennet");
  QString journal = QStringLiteral("quennetd.journal");
  QString config;
  QList<std::uint8_t> devices;          // empty: every device that answers an address poll
  QList<DeviceSetting> deviceSettings;  // a device's line each, by address; named in `devices`
  EscrowPolicy escrow = EscrowPolicy::Stack;
  int escrowTimeoutMs = 5000;
  int journalRetryMs = kJournalRetryMs;
  QString notes = QStringLiteral("all");  // all, none or a two-letter country code
  int pollMs = quennet::kDefaultPollIntervalMs;
  bool checksum8 = false;
  std::optional<std::int32_t> keyCode;
  std::optional<bool> echo;  // not given: one poll at start tells
  // A command answered BUSY is sent again this often; a device that acknowledged a reset is
  // polled up to this long before its next command.
  int busyRetries = 3;
  int resetWaitMs = 2000;
  bool enableHopper = false;
  // The hoppers `pay` may use: address and the value of one coin, in minor units.
  QList<std::pair<std::uint8_t, qint64>> payoutHoppers;
  // Where the service keeps what it last saw of its journal; empty: the journal's folder.
  QString stateDir;
  // Start on a journal other than the one last seen (a new one after it was lost, or a copy).
  bool acceptJournal = false;
  // Acknowledged credits and payouts are kept this long, then pruned from the journal.
  int retentionDays = 90;
  bool inhibitWithoutBroker = false;
  // Only inhibit the acceptors and exit: what the unit runs once the service has stopped.
  bool inhibitOnly = false;
  // Methods a consumer may call besides those that only read and RouteBill.
  QStringList allow;
  double commandsPerSecond = 5;
  int commandBurst = 10;
  QString clientId;
  QString passwordFile;
  QString tlsCaFile;
  QString tlsCaPath;
  QString tlsCertFile;
  QString tlsKeyFile;
  bool help = false;
  bool version = false;
};

// The line of the device at `address`; none when it has none.
std::optional<DeviceSetting> deviceSetting(const DaemonOptions& options, std::uint8_t address);
// Whether the framing of the device at `address` is configured (by its line, or by --checksum8
// or --key for the whole bus); when not, it is found at start.
bool framingConfigured(const DaemonOptions& options, std::uint8_t address);
// The security code a dispense to the hopper at `address` carries, given the serial number the
// hopper gave (GetSerialNo, least significant byte first).
std::int32_t dispenseCode(const DaemonOptions& options, std::uint8_t address,
                          std::uint32_t serialNumber);

// `arguments` without the program name. Reads the configuration file when one is given. Returns
// nothing and sets `error` for anything it cannot use.
std::optional<DaemonOptions> parseOptions(const QStringList& arguments, QString* error);

// "user:password" from the first line of `path`, refused unless only its owner may read it.
bool readCredentials(const QString& path, QString* user, QString* password, QString* error);

QString helpText();

}  // namespace quennetd
