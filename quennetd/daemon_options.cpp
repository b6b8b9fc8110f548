#include "quennetd/daemon_options.h"

#include <sys/stat.h>

#include <algorithm>

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QSysInfo>

#include "quennet/commands/call_guard.h"
#include "quennet/commands/command_set.h"
#include "tools/shared_options.h"

namespace quennetd {

namespace {

bool positive(const QString& text, int low, int high, int* out) {
  bool ok = false;
  const int n = text.trimmed().toInt(&ok);
  if (!ok || n < low || n > high) return false;
  *out = n;
  return true;
}

// Takes the value of an option that has one: null when taken, else what the option wants
// ("1..36500"), for the message.
using Apply = const char* (*)(DaemonOptions& o, const QString& value);
// Sets a switch: given on the command line (true), or true or false in the file.
using Set = void (*)(DaemonOptions& o, bool on);

struct Flag {
  const char* name;
  const char* value;      // what the option takes, empty for a switch
  const char* help;       // %1: the default, as `byDefault` reads it from the options as they start
  Apply apply = nullptr;  // an option with a value
  Set set = nullptr;      // a switch
  QString (*byDefault)(const DaemonOptions&) = nullptr;
  bool takesValue() const { return value[0] != '\0'; }
};

const char* applyBroker(DaemonOptions& o, const QString& value) {
  const int colon = value.lastIndexOf(u':');
  o.brokerHost = colon < 0 ? value : value.left(colon);
  if (colon >= 0 && !positive(value.mid(colon + 1), 1, 65535, &o.brokerPort)) {
    return "HOST[:PORT]";
  }
  if (o.brokerHost.isEmpty()) return "HOST[:PORT]";
  return nullptr;
}

const char* applyDevices(DaemonOptions& o, const QString& value) {
  o.devices.clear();
  for (const QString& part : value.split(u',', Qt::SkipEmptyParts)) {
    int address = 0;
    if (!positive(part, 1, 255, &address)) return "addresses 1..255, comma separated";
    o.devices.append(static_cast<std::uint8_t>(address));
  }
  return nullptr;
}

// One device's line: its address, then any of its framing, key and role.
const char* applyDevice(DaemonOptions& o, const QString& value) {
  DeviceSetting setting;
  const QStringList words =
      value.split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
  int address = 0;
  if (words.isEmpty() || !positive(words[0], 1, 255, &address)) {
    return "an address 1..255, then crc16 or checksum8, key=DIGITS, code=N|serial, a role";
  }
  setting.address = static_cast<std::uint8_t>(address);
  for (const QString& word : words.mid(1)) {
    if (word == u"crc16" || word == u"checksum8") {
      setting.checksum8 = word == u"checksum8";
    } else if (word.startsWith(QLatin1String("key="))) {
      try {
        setting.keyCode = quennet::options::packKeyDigits(word.mid(4));
      } catch (const quennet::options::UsageError&) {
        return "key=DIGITS, six decimal digits";
      }
    } else if (word == u"code=serial") {
      setting.serialCode = true;
      setting.dispenseCode.reset();
    } else if (word.startsWith(QLatin1String("code="))) {
      int code = 0;
      if (!positive(word.mid(5), 0, quennet::CommandSet::kLargestHopperCode, &code)) {
        return "code=N with N in 0..16777215, or code=serial";
      }
      setting.dispenseCode = code;
      setting.serialCode = false;
    } else if (word == u"validator") {
      setting.role = DeviceRole::Validator;
    } else if (word == u"coin-acceptor") {
      setting.role = DeviceRole::CoinAcceptor;
    } else if (word == u"hopper") {
      setting.role = DeviceRole::Hopper;
    } else {
      return "crc16 or checksum8, key=DIGITS, code=N|serial, validator, coin-acceptor or "
             "hopper";
    }
  }
  if (setting.keyCode && setting.checksum8.value_or(false)) {
    return "a key with CRC-16 frames: encryption does not work with checksum8";
  }
  // A later line for the same address (the command line's) wins.
  const auto same = std::find_if(o.deviceSettings.begin(), o.deviceSettings.end(),
                                 [&](const DeviceSetting& d) { return d.address == address; });
  if (same != o.deviceSettings.end()) {
    *same = setting;
  } else {
    o.deviceSettings.append(setting);
  }
  return nullptr;
}

const char* applyEscrow(DaemonOptions& o, const QString& value) {
  if (value == u"stack") {
    o.escrow = EscrowPolicy::Stack;
  } else if (value == u"return") {
    o.escrow = EscrowPolicy::Return;
  } else if (value == u"hold") {
    o.escrow = EscrowPolicy::Hold;
  } else {
    return "stack, return or hold";
  }
  return nullptr;
}

const char* applyNotes(DaemonOptions& o, const QString& value) {
  const bool country = value.size() == 2 && value[0].isLetter() && value[1].isLetter();
  if (value != u"all" && value != u"none" && !country) return "all, none or a country code";
  o.notes = country ? value.toUpper() : value;
  return nullptr;
}

const char* applyKey(DaemonOptions& o, const QString& value) {
  try {
    o.keyCode = quennet::options::packKeyDigits(value);
  } catch (const quennet::options::UsageError&) {
    return "six decimal digits";
  }
  return nullptr;
}

const char* applyPayoutHoppers(DaemonOptions& o, const QString& value) {
  o.payoutHoppers.clear();
  for (const QString& part : value.split(u',', Qt::SkipEmptyParts)) {
    int address = 0;
    int coin = 0;
    const QStringList pair = part.split(u':');
    if (pair.size() != 2 || !positive(pair[0], 1, 255, &address) ||
        !positive(pair[1], 1, 1000000, &coin)) {
      return "ADDRESS:VALUE pairs, comma separated";
    }
    o.payoutHoppers.append({static_cast<std::uint8_t>(address), coin});
  }
  return nullptr;
}

// Every option, once, with what it takes and how its value is checked: the command line and the
// configuration file read this table.
constexpr Flag kFlags[] = {
    {"port", "PATH", "serial port of the ccTalk bus (required)",
     [](DaemonOptions& o, const QString& value) -> const char* {
       o.port = value;
       return nullptr;
     }},
    {"broker", "HOST[:PORT]", "MQTT broker (default localhost:1883, 8883 with TLS)", applyBroker},
    {"prefix", "TOPIC", "topic prefix (default %1)",
     [](DaemonOptions& o, const QString& value) -> const char* {
       if (value.isEmpty() || value.contains(u'#') || value.contains(u'+')) return "a topic";
       o.prefix = value.endsWith(u'/') ? value.chopped(1) : value;
       return nullptr;
     },
     nullptr, [](const DaemonOptions& o) { return o.prefix; }},
    {"journal", "FILE", "credit journal, SQLite (default ./%1)",
     [](DaemonOptions& o, const QString& value) -> const char* {
       o.journal = value;
       return nullptr;
     },
     nullptr, [](const DaemonOptions& o) { return o.journal; }},
    {"state-dir", "DIR", "where the journal's id last seen is kept (default: the journal's folder)",
     [](DaemonOptions& o, const QString& value) -> const char* {
       o.stateDir = value;
       return nullptr;
     }},
    {"accept-journal", "", "start on a journal other than the one last seen (new, or a copy)",
     nullptr, [](DaemonOptions& o, bool on) { o.acceptJournal = on; }},
    {"journal-retry-ms", "MS", "a journal that failed is tried again this often (default %1)",
     [](DaemonOptions& o, const QString& value) -> const char* {
       return positive(value, 100, 600000, &o.journalRetryMs) ? nullptr : "100..600000";
     },
     nullptr, [](const DaemonOptions& o) { return QString::number(o.journalRetryMs); }},
    {"config", "FILE", "configuration file (INI); the command line wins",
     [](DaemonOptions& o, const QString& value) -> const char* {
       o.config = value;
       return nullptr;
     }},
    {"devices", "A,B,...", "device addresses (default: found by address poll)", applyDevices},
    {"device", "LINE",
     "one device, repeated: ADDRESS [crc16|checksum8] [key=DIGITS] [code=N|serial] "
     "[validator|coin-acceptor|hopper]; a framing not given is found at start; code: a "
     "hopper's dispense code, or its serial number",
     applyDevice},
    {"escrow", "stack|return|hold", "what happens to a note in escrow (default stack)",
     applyEscrow},
    {"escrow-timeout-ms", "MS", "hold: a note not routed in time is returned (default %1)",
     [](DaemonOptions& o, const QString& value) -> const char* {
       return positive(value, 100, 600000, &o.escrowTimeoutMs) ? nullptr : "100..600000";
     },
     nullptr, [](const DaemonOptions& o) { return QString::number(o.escrowTimeoutMs); }},
    {"notes", "all|none|CC", "notes and coins accepted (default %1)", applyNotes, nullptr,
     [](const DaemonOptions& o) { return o.notes; }},
    {"poll-ms", "N", "event poll period (default %1)",
     [](DaemonOptions& o, const QString& value) -> const char* {
       return positive(value, 20, 10000, &o.pollMs) ? nullptr : "20..10000";
     },
     nullptr, [](const DaemonOptions& o) { return QString::number(o.pollMs); }},
    {"checksum8", "", "8-bit checksum instead of CRC-16", nullptr,
     [](DaemonOptions& o, bool on) { o.checksum8 = on; }},
    {"key", "DIGITS", "six-digit encryption key (CRC frames only)", applyKey},
    {"echo", "", "the line echoes what the host sends (default: one poll at start tells)", nullptr,
     [](DaemonOptions& o, bool on) { o.echo = on; }},
    {"no-echo", "", "the line does not echo what the host sends", nullptr,
     [](DaemonOptions& o, bool on) { o.echo = !on; }},
    {"busy-retries", "N", "a command a device answers BUSY to is sent again N times (default %1)",
     [](DaemonOptions& o, const QString& value) -> const char* {
       return positive(value, 0, quennet::kMaxBusyRetries, &o.busyRetries) ? nullptr : "0..100";
     },
     nullptr, [](const DaemonOptions& o) { return QString::number(o.busyRetries); }},
    {"reset-wait-ms", "MS",
     "a device reset is polled up to MS before its next command; 0: no wait (default %1)",
     [](DaemonOptions& o, const QString& value) -> const char* {
       return positive(value, 0, quennet::kMaxResetWaitMs, &o.resetWaitMs) ? nullptr : "0..60000";
     },
     nullptr, [](const DaemonOptions& o) { return QString::number(o.resetWaitMs); }},
    {"enable-hopper", "", "enable payout hoppers at start-up", nullptr,
     [](DaemonOptions& o, bool on) { o.enableHopper = on; }},
    {"payout-hoppers", "A:V,...", "hoppers pay may use: address and coin value in minor units",
     applyPayoutHoppers},
    {"retention-days", "N", "acknowledged credits and payouts are kept N days (default %1)",
     [](DaemonOptions& o, const QString& value) -> const char* {
       return positive(value, 1, 36500, &o.retentionDays) ? nullptr : "1..36500";
     },
     nullptr, [](const DaemonOptions& o) { return QString::number(o.retentionDays); }},
    {"inhibit-without-broker", "", "take no money while the broker cannot be reached", nullptr,
     [](DaemonOptions& o, bool on) { o.inhibitWithoutBroker = on; }},
    {"inhibit", "", "inhibit every acceptor on the bus and exit (when the service stops)", nullptr,
     [](DaemonOptions& o, bool on) { o.inhibitOnly = on; }},
    {"allow", "M,N,...", "methods that move money or change a device a consumer may call",
     [](DaemonOptions& o, const QString& value) -> const char* {
       o.allow = value.split(u',', Qt::SkipEmptyParts);
       for (QString& method : o.allow) method = method.trimmed();
       return nullptr;
     }},
    {"command-rate", "N", "commands per second (default %1)",
     [](DaemonOptions& o, const QString& value) -> const char* {
       int rate = 0;
       if (!positive(value, 1, 1000, &rate)) return "1..1000";
       o.commandsPerSecond = rate;
       o.commandBurst = 2 * rate;
       return nullptr;
     },
     nullptr,
     [](const DaemonOptions& o) {
       return QStringLiteral("%1, bursts of %2").arg(o.commandsPerSecond).arg(o.commandBurst);
     }},
    {"client-id", "ID", "MQTT client id (default quennetd-<prefix>-<host name>)",
     [](DaemonOptions& o, const QString& value) -> const char* {
       o.clientId = value;
       return nullptr;
     }},
    {"password-file", "FILE", "broker user:password, readable by its owner only",
     [](DaemonOptions& o, const QString& value) -> const char* {
       o.passwordFile = value;
       return nullptr;
     }},
    {"tls-ca", "FILE", "CA certificate: TLS to the broker",
     [](DaemonOptions& o, const QString& value) -> const char* {
       o.tlsCaFile = value;
       return nullptr;
     }},
    {"tls-ca-path", "DIR", "directory of CA certificates: TLS to the broker",
     [](DaemonOptions& o, const QString& value) -> const char* {
       o.tlsCaPath = value;
       return nullptr;
     }},
    {"tls-cert", "FILE", "client certificate",
     [](DaemonOptions& o, const QString& value) -> const char* {
       o.tlsCertFile = value;
       return nullptr;
     }},
    {"tls-key", "FILE", "client key",
     [](DaemonOptions& o, const QString& value) -> const char* {
       o.tlsKeyFile = value;
       return nullptr;
     }},
    {"help", "", "this text", nullptr, [](DaemonOptions& o, bool on) { o.help = on; }},
    {"version", "", "the version", nullptr, [](DaemonOptions& o, bool on) { o.version = on; }},
};

const Flag* findFlag(const QString& name) {
  for (const Flag& flag : kFlags) {
    if (name == QLatin1String(flag.name)) return &flag;
  }
  return nullptr;
}

bool toBool(const QString& text, bool* ok) {
  const QString t = text.trimmed().toLower();
  *ok = true;
  if (t == u"true" || t == u"yes" || t == u"on" || t == u"1") return true;
  if (t == u"false" || t == u"no" || t == u"off" || t == u"0") return false;
  *ok = false;
  return false;
}

// Applies one option; false with `error` for a value it cannot use.
bool apply(DaemonOptions& o, const QString& name, const QString& value, QString* error) {
  const auto bad = [&](const char* wants) {
    *error = QStringLiteral("--%1 wants %2, got '%3'").arg(name, QLatin1String(wants), value);
    return false;
  };
  const Flag* flag = findFlag(name);
  if (!flag) {
    *error = QStringLiteral("unknown option --%1").arg(name);
    return false;
  }
  if (!flag->takesValue()) {
    bool ok = true;
    const bool on = value.isNull() ? true : toBool(value, &ok);
    if (!ok) return bad("true or false");
    flag->set(o, on);
    return true;
  }
  if (const char* wants = flag->apply(o, value)) return bad(wants);
  return true;
}

// One option as given, and where: "" for the command line, "file:line" for the configuration.
struct Given {
  QString name;
  QString value;
  QString origin;
};
using Pairs = QList<Given>;

bool splitCommandLine(const QStringList& arguments, Pairs* pairs, QString* error) {
  for (int i = 0; i < arguments.size(); ++i) {
    QString word = arguments[i];
    if (!word.startsWith(QLatin1String("--"))) {
      *error = QStringLiteral("unexpected argument '%1'").arg(word);
      return false;
    }
    word = word.mid(2);
    QString value;
    const int equals = word.indexOf(u'=');
    if (equals >= 0) {
      value = word.mid(equals + 1);
      word = word.left(equals);
    }
    const Flag* flag = findFlag(word);
    if (!flag) {
      *error = QStringLiteral("unknown option --%1").arg(word);
      return false;
    }
    if (flag->takesValue() && equals < 0) {
      if (i + 1 >= arguments.size()) {
        *error = QStringLiteral("--%1 needs a value").arg(word);
        return false;
      }
      value = arguments[++i];
    }
    pairs->append({word, value, {}});
  }
  return true;
}

// The configuration file: one key=value a line; a line whose first character (after blanks) is
// '#' or ';' is a comment. Anything else is refused with the file and the line it is on.
bool readConfig(const QString& path, Pairs* pairs, QString* error) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
    *error = QStringLiteral("cannot read the configuration file %1").arg(path);
    return false;
  }
  QSet<QString> seen;
  int number = 0;
  while (!file.atEnd()) {
    ++number;
    const QString line = QString::fromUtf8(file.readLine()).trimmed();
    const auto refuse = [&](const QString& why) {
      *error = QStringLiteral("%1:%2: %3").arg(path).arg(number).arg(why);
      return false;
    };
    if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';')) continue;
    // Files once written for a general INI reader may open with its default section.
    if (line == u"[General]") continue;
    const int equals = line.indexOf(u'=');
    if (equals < 0) return refuse(QStringLiteral("not key=value: '%1'").arg(line));
    const QString key = line.left(equals).trimmed();
    QString value = line.mid(equals + 1).trimmed();
    if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"')) {
      value = value.mid(1, value.size() - 2);
    }
    if (key == u"config") return refuse(QStringLiteral("a configuration file cannot name another"));
    if (!findFlag(key)) return refuse(QStringLiteral("unknown key '%1'").arg(key));
    // A device a line.
    if (seen.contains(key) && key != u"device") {
      return refuse(QStringLiteral("'%1' given twice").arg(key));
    }
    seen.insert(key);
    pairs->append({key, value, QStringLiteral("%1:%2").arg(path).arg(number)});
  }
  return true;
}

}  // namespace

std::optional<DaemonOptions> parseOptions(const QStringList& arguments, QString* error) {
  Pairs line;
  if (!splitCommandLine(arguments, &line, error)) return std::nullopt;
  DaemonOptions options;
  Pairs all;
  for (const Given& given : line) {
    if (given.name == u"config" && !readConfig(given.value, &all, error)) return std::nullopt;
  }
  all += line;
  for (const Given& given : all) {
    if (!apply(options, given.name, given.value, error)) {
      if (!given.origin.isEmpty()) *error = given.origin + QStringLiteral(": ") + *error;
      return std::nullopt;
    }
  }
  if (options.help || options.version) return options;
  if (options.port.isEmpty()) {
    *error = QStringLiteral("--port is required");
    return std::nullopt;
  }
  if (options.keyCode && options.checksum8) {
    *error = QStringLiteral("--key needs CRC frames: encryption does not work with --checksum8");
    return std::nullopt;
  }
  if (options.tlsCertFile.isEmpty() != options.tlsKeyFile.isEmpty()) {
    *error = QStringLiteral("--tls-cert and --tls-key go together");
    return std::nullopt;
  }
  // The devices with a line are the bus's devices, with those --devices names.
  for (const DeviceSetting& setting : options.deviceSettings) {
    if (!options.devices.contains(setting.address)) options.devices.append(setting.address);
  }
  const bool tls = !options.tlsCaFile.isEmpty() || !options.tlsCaPath.isEmpty();
  if (options.brokerPort == 0) options.brokerPort = tls ? 8883 : 1883;
  if (options.clientId.isEmpty()) {
    options.clientId =
        QStringLiteral("quennetd-%1-%2").arg(options.prefix, QSysInfo::machineHostName());
  }
  return options;
}

std::optional<DeviceSetting> deviceSetting(const DaemonOptions& options, std::uint8_t address) {
  for (const DeviceSetting& setting : options.deviceSettings) {
    if (setting.address == address) return setting;
  }
  return std::nullopt;
}

bool framingConfigured(const DaemonOptions& options, std::uint8_t address) {
  const auto setting = deviceSetting(options, address);
  return (setting && setting->checksum8) || options.checksum8 || options.keyCode;
}

std::int32_t dispenseCode(const DaemonOptions& options, std::uint8_t address,
                          std::uint32_t serialNumber) {
  const auto setting = deviceSetting(options, address);
  if (setting && setting->serialCode) return static_cast<std::int32_t>(serialNumber);
  if (setting && setting->dispenseCode) return *setting->dispenseCode;
  return quennet::CommandSet::kDefaultHopperCode;
}

bool readCredentials(const QString& path, QString* user, QString* password, QString* error) {
  struct stat info {};
  const QByteArray name = QFile::encodeName(path);
  if (::stat(name.constData(), &info) != 0) {
    *error = QStringLiteral("cannot read the password file %1").arg(path);
    return false;
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    *error = QStringLiteral("the password file %1 is open to its group or to others; chmod 600 it")
                 .arg(path);
    return false;
  }
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("cannot read the password file %1").arg(path);
    return false;
  }
  const QString first = QString::fromUtf8(file.readLine()).trimmed();
  const int colon = first.indexOf(u':');
  if (colon <= 0) {
    *error = QStringLiteral("the password file %1 wants user:password on its first line").arg(path);
    return false;
  }
  *user = first.left(colon);
  *password = first.mid(colon + 1);
  return true;
}

QString helpText() {
  QString text = QStringLiteral(
      "Usage: quennetd --port PATH [options]\n"
      "Owns a ccTalk bus and serves its cash devices on MQTT: status, events, credits (kept in\n"
      "a journal until acknowledged), escrow and commands under the topic prefix.\n\n");
  const DaemonOptions defaults;
  for (const Flag& flag : kFlags) {
    const QString left =
        QStringLiteral("  --%1 %2").arg(QLatin1String(flag.name), QLatin1String(flag.value));
    QString help = QLatin1String(flag.help);
    if (flag.byDefault) help = help.arg(flag.byDefault(defaults));
    text += left.leftJustified(34) + help + u'\n';
  }
  text += QStringLiteral(
      "\nEvery option is also a key of the configuration file: port=/dev/ttyUSB0, "
      "checksum8=true;\ndevice= may be given once a device: device=40 crc16 key=123456 "
      "validator.\n");
  return text;
}

}  // namespace quennetd
