#include "quennetd/bus_setup.h"

#include <algorithm>
#include <memory>

#include <QPointer>
#include <QThread>

#include "quennet/commands/call_guard.h"
#include "quennet/commands/command_set.h"
#include "quennet/link/encryption.h"
#include "quennet/link/qt_serial_line.h"

namespace quennetd {

namespace {

// The port's settings for the search: those of the bus client.
const QString kPortSettings = QStringLiteral("9600,n,8,1");

}  // namespace

void configureBus(quennet::BusClient& bus, const DaemonOptions& options) {
  bus.setPortName(options.port);
  bus.setChecksumType(options.checksum8 ? quennet::CHKSM_8BIT : quennet::CHKSM_16BIT);
  // Any device will do for the echo: a line that echoes gives the frame back whether a device
  // answers or not.
  bus.setCommsEcho(options.echo.value_or(true));
  if (!options.echo) {
    bus.setEchoDetection(options.devices.isEmpty() ? quennet::kValidatorAddress
                                                   : options.devices.front());
  }
  if (options.keyCode) {
    bus.setKeyCode(*options.keyCode);
    bus.setEncryption(true);
  }
  for (const DeviceSetting& setting : options.deviceSettings) {
    if (setting.checksum8)
      bus.setDeviceLink(setting.address, *configuredLink(options, setting.address));
  }
  quennet::CallGuardSettings guard = bus.callGuard();
  guard.busyRetries = options.busyRetries;
  guard.resetWaitMs = options.resetWaitMs;
  bus.setCallGuard(guard);
}

void findAddresses(DeviceCalls& calls, const DaemonOptions& options,
                   const std::function<void(const QList<quint8>&)>& then) {
  if (!options.devices.isEmpty()) {
    QList<quint8> list;
    for (const std::uint8_t a : options.devices) list.append(a);
    return then(list);
  }
  calls.send(0, calls::addressPoll(), [then](const CallReply<QList<quint8>>& found) {
    then(found.value.value_or(QList<quint8>()));
  });
}

bool framingsToFind(const DaemonOptions& options) {
  if (options.devices.isEmpty()) return !options.checksum8 && !options.keyCode;
  return std::any_of(options.devices.begin(), options.devices.end(),
                     [&](std::uint8_t a) { return !framingConfigured(options, a); });
}

std::optional<std::int32_t> searchKey(const DaemonOptions& options) {
  if (options.keyCode) return options.keyCode;
  for (const DeviceSetting& setting : options.deviceSettings) {
    if (setting.keyCode) return setting.keyCode;
  }
  return std::nullopt;
}

std::optional<quennet::DeviceLink> configuredLink(const DaemonOptions& options,
                                                  std::uint8_t address) {
  if (!framingConfigured(options, address)) return std::nullopt;
  const auto setting = deviceSetting(options, address);
  if (setting && setting->checksum8) {
    return quennet::DeviceLink{*setting->checksum8 ? quennet::CHKSM_8BIT : quennet::CHKSM_16BIT,
                               setting->keyCode};
  }
  return quennet::DeviceLink{options.checksum8 ? quennet::CHKSM_8BIT : quennet::CHKSM_16BIT,
                             options.keyCode};
}

QString framingWord(const quennet::DeviceLink& link) {
  if (link.checksumType == quennet::CHKSM_8BIT) {
    return quennet::framingName(quennet::DeviceFraming::Checksum8);
  }
  return quennet::framingName(link.keyCode ? quennet::DeviceFraming::Encrypted
                                           : quennet::DeviceFraming::Crc16);
}

quennet::DeviceLink linkOf(quennet::DeviceFraming framing, std::optional<std::int32_t> keyCode) {
  switch (framing) {
    case quennet::DeviceFraming::Checksum8:
      return {quennet::CHKSM_8BIT, std::nullopt};
    case quennet::DeviceFraming::Encrypted:
      return {quennet::CHKSM_16BIT, keyCode};
    case quennet::DeviceFraming::Crc16:
    case quennet::DeviceFraming::Unknown:
      break;
  }
  return {quennet::CHKSM_16BIT, std::nullopt};
}

FramingSearch::FramingSearch(QObject* parent) : QObject(parent) {}

FramingSearch::~FramingSearch() {
  if (thread_) {
    thread_->wait();
    delete thread_;
  }
}

bool FramingSearch::running() const {
  return thread_ && !thread_->isFinished();
}

std::optional<std::int32_t> searchKey(const DaemonOptions& options, std::uint8_t address) {
  const auto setting = deviceSetting(options, address);
  return setting && setting->keyCode ? setting->keyCode : searchKey(options);
}

void FramingSearch::start(const DaemonOptions& options, Done done) {
  if (thread_) {
    thread_->wait();
    delete thread_;
  }
  const QString port = options.port;
  const bool echo = options.echo.value_or(true);
  std::optional<quennet::KeyDigits> key;
  if (const auto code = searchKey(options)) key = quennet::keyDigitsFromCode(*code);
  // Devices named: only those whose framing is not configured are tried, each with its line's
  // key, encrypted first when its line gives one. Nothing goes to a configured device, and no
  // address poll is needed to know what is there.
  struct Named {
    int address;
    std::optional<quennet::KeyDigits> key;
    std::optional<quennet::DeviceFraming> first;
  };
  std::vector<Named> named;
  for (const std::uint8_t address : options.devices) {
    if (framingConfigured(options, address)) continue;
    const auto setting = deviceSetting(options, address);
    const bool ownKey = setting && setting->keyCode;
    const auto code = searchKey(options, address);
    named.push_back({address,
                     code ? std::optional(quennet::keyDigitsFromCode(*code)) : std::nullopt,
                     ownKey ? std::optional(quennet::DeviceFraming::Encrypted) : std::nullopt});
  }
  const bool everyDevice = options.devices.isEmpty();
  QPointer<FramingSearch> owner(this);
  thread_ = QThread::create([owner, port, echo, key, named, everyDevice, done] {
    std::vector<quennet::FoundDevice> found;
    QString error;
    auto line = std::make_unique<quennet::QtSerialLine>();
    line->setDeviceName(port);
    line->setSettings(kPortSettings);
    if (line->open()) {
      quennet::CommandSet set;
      set.setLine(std::move(line));
      set.setCommsEcho(echo);
      if (everyDevice) {
        found = quennet::scanBus(set, key);
      } else {
        for (const Named& device : named) {
          found.push_back(quennet::identifyDevice(set, device.address, device.key, device.first));
        }
      }
      set.setLine(nullptr);
    } else {
      error = line->lastError().description;
    }
    QMetaObject::invokeMethod(
        owner.data(),
        [owner, found, error, done] {
          if (owner) done(found, error);
        },
        Qt::QueuedConnection);
  });
  thread_->start();
}

}  // namespace quennetd
