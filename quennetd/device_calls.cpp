#include "quennetd/device_calls.h"

#include "quennet/commands/dispatch.h"
#include "quennet/link/quennet_error.h"

namespace quennetd {

namespace calls {

namespace {

using quennet::BusClient;
using quennet::BusResult;
using quennet::EventPoller;

std::optional<Nothing> nothing(const QVariant&, const BusResult&) {
  return Nothing{};
}

std::optional<QString> text(const QVariant& output, const BusResult&) {
  return output.toString();
}

DeviceCall<QString> textCall(const QString& method, const QVariantList& inputs = {}) {
  return {{method, inputs}, BusClient::Priority::Normal, text};
}

DeviceCall<Nothing> command(const QString& method, const QVariantList& inputs,
                            BusClient::Priority priority = BusClient::Priority::Normal) {
  return {{method, inputs}, priority, nothing};
}

}  // namespace

QVariant firstOutput(const QString& method, const QVariantMap& outputs) {
  const quennet::MethodInfo* info = quennet::findMethod(method);
  if (!info) return {};
  const QList<quennet::ParamInfo> out = info->outputs();
  return out.isEmpty() ? QVariant() : outputs.value(out.front().name);
}

CallStatus notSent(const QString& why) {
  return {quennet::kResultNotEnabled, why, false, {}};
}

DeviceCall<QList<quint8>> addressPoll() {
  return {{QStringLiteral("AddressPoll"), {}},
          BusClient::Priority::Normal,
          [](const QVariant& output, const BusResult&) {
            QList<quint8> found;
            for (const QVariant& a : output.toList()) {
              const int address = a.toInt();
              if (address > 0 && address < 256 && !found.contains(static_cast<quint8>(address))) {
                found.append(static_cast<quint8>(address));
              }
            }
            return std::optional<QList<quint8>>(found);
          }};
}

DeviceCall<QString> equipmentCategory() {
  return textCall(QStringLiteral("GetEqptID"));
}

DeviceCall<QString> manufacturer() {
  return textCall(QStringLiteral("GetManfctrID"));
}

DeviceCall<SerialNumber> serialNumber() {
  return {{QStringLiteral("GetSerialNo"), {}},
          BusClient::Priority::Normal,
          [](const QVariant& output, const BusResult& all) {
            return std::optional<SerialNumber>(SerialNumber{output.toString(), all.serial});
          }};
}

DeviceCall<QString> denominationCode(bool notes, int position) {
  return textCall(notes ? QStringLiteral("RequestBillID") : QStringLiteral("RequestCoinID"),
                  {position});
}

DeviceCall<Scale> scaleFactor(const QString& country) {
  return {{QStringLiteral("RequestScaleFactor"), {country}},
          BusClient::Priority::Normal,
          [](const QVariant& output, const BusResult&) -> std::optional<Scale> {
            // Factor (low byte first) and decimal places.
            const QVariantList data = output.toList();
            if (data.size() < 3) return std::nullopt;
            return Scale{data[0].toInt() + 256 * data[1].toInt(), data[2].toInt()};
          }};
}

DeviceCall<int> eventCounter(EventPoller::Source source) {
  QString method = QStringLiteral("GetEventBuffer");
  if (source == EventPoller::Source::CoinAcceptor) method = QStringLiteral("GetCoinBuffer");
  if (source == EventPoller::Source::Hopper) method = QStringLiteral("Get_Hopper_Status");
  return {{method, {}},
          BusClient::Priority::Normal,
          [](const QVariant& output, const BusResult&) -> std::optional<int> {
            const QVariantList buffer = output.toList();
            if (buffer.isEmpty()) return std::nullopt;
            return buffer.front().toInt();
          }};
}

DeviceCall<Nothing> setInhibits(std::uint16_t mask) {
  // One input: the two mask bytes, low first.
  const QVariant bytes = QVariantList{mask & 0xFF, mask >> 8};
  return command(QStringLiteral("SetInhibitStatus"), QVariantList{bytes});
}

DeviceCall<Nothing> setBillMode(int mode) {
  return command(QStringLiteral("SetBillOperatingMode"), {mode});
}

DeviceCall<Nothing> setMaster(Master master) {
  return command(QStringLiteral("SetMasterInhibit"), {static_cast<int>(master)});
}

DeviceCall<Nothing> enableHopper() {
  return command(QStringLiteral("Enable_Hopper"), {});
}

DeviceCall<Nothing> routeBill(RouteCode route) {
  // A route is for the note a customer is waiting on: ahead of the polls.
  return command(kRouteMethod, {static_cast<int>(route)}, BusClient::Priority::High);
}

DeviceCall<Nothing> dispenseCoins(int coins) {
  return command(kDispenseMethod, {coins});
}

DeviceCall<HopperStatus> hopperStatus() {
  return {{QStringLiteral("Get_Hopper_Status"), {}},
          BusClient::Priority::Normal,
          [](const QVariant& output, const BusResult&) -> std::optional<HopperStatus> {
            const QVariantList status = output.toList();
            if (status.size() < 4) return std::nullopt;
            return HopperStatus{status[0].toInt(), status[1].toInt(), status[2].toInt(),
                                status[3].toInt()};
          }};
}

DeviceCall<qint64> hopperCount() {
  return {{QStringLiteral("Get_Hopper_Count"), {}},
          BusClient::Priority::Normal,
          [](const QVariant& output, const BusResult&) {
            return std::optional<qint64>(output.toLongLong());
          }};
}

bool isRoute(const QString& method) {
  return method == kRouteMethod;
}

bool isStackRoute(const QString& method, const QVariantList& inputs) {
  return isRoute(method) && inputs.value(0).toInt() == static_cast<int>(RouteCode::Stack);
}

}  // namespace calls

quennet::BusReply* DeviceCalls::invoke(quint8 address, const quennet::BusCommand& command,
                                       quennet::BusClient::Priority priority, QString* misuse) {
  try {
    return bus_->invoke(address, command.method, command.inputs, priority);
  } catch (const quennet::MisuseError& e) {
    *misuse = e.message();
  }
  return nullptr;
}

}  // namespace quennetd
