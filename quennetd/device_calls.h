#pragma once
// The device commands the service sends, as typed calls: each names its method and inputs here and
// nowhere else, and turns the reply into a value of its own type. A reply's value is read from the
// output the library's method table gives the method, so no output name is spelt out either.

#include <cstdint>
#include <functional>
#include <optional>
#include <type_traits>
#include <variant>

#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include "quennet/bus/bus_client.h"
#include "quennet/bus/bus_reply.h"
#include "quennet/bus/event_poller.h"
#include "quennet/link/link_engine.h"
#include "quennet/link/protocol_events.h"
#include "quennetd/currency.h"

namespace quennetd {

// The command that moves coins: journalled as a payout.
inline const QString kDispenseMethod = QStringLiteral("Dispense_Coins");
// The emergency stop: ends a payout under way.
inline const QString kHopperStopMethod = QStringLiteral("Hopper_Stop");
// The command that sends the note in escrow to the stacker or back to the customer.
inline const QString kRouteMethod = QStringLiteral("RouteBill");

// Where a route sends the note in escrow.
enum class RouteCode : std::uint8_t {
  Return = quennet::kRouteReturn,
  Stack = quennet::kRouteStack
};
// The master inhibit: a device that accepts, or one that takes nothing.
enum class Master : std::uint8_t { Inhibit = 0, Accept = 1 };

// What came back for any call.
struct CallStatus {
  int result = quennet::kResultNotEnabled;
  QString caption;
  bool acknowledged = false;
  QVariantMap outputs;  // as the method's table names them: for consumers who asked for the call
  bool ok() const { return result == quennet::kResultOk; }
};

// The value of a call whose reply carries nothing the service reads.
using Nothing = std::monostate;

template <typename T>
struct CallReply : CallStatus {
  std::optional<T> value;  // set when the call ran and its output reads as a T
};

template <typename T>
struct DeviceCall {
  quennet::BusCommand command;
  quennet::BusClient::Priority priority = quennet::BusClient::Priority::Normal;
  // The method's first output (invalid when it has none) and the whole result.
  std::function<std::optional<T>(const QVariant& output, const quennet::BusResult& all)> read;
  // The same call ahead of every ordinary request still queued.
  DeviceCall atOnce() const {
    DeviceCall call = *this;
    call.priority = quennet::BusClient::Priority::High;
    return call;
  }
};

// A device's serial number as GetSerialNo renders it and as its label reads it.
// A hopper's payout status: its event counter (moved once by every dispense, 0 after a reset),
// the coins of the payout still to go out, and those paid and not paid so far.
struct HopperStatus {
  int counter = 0;
  int remaining = 0;
  int paid = 0;
  int unpaid = 0;
  bool operator==(const HopperStatus&) const = default;
};

struct SerialNumber {
  QString rendered;
  QString label;
};

namespace calls {

// Address 0: every address that answers.
DeviceCall<QList<quint8>> addressPoll();
DeviceCall<QString> equipmentCategory();
DeviceCall<QString> manufacturer();
DeviceCall<SerialNumber> serialNumber();
// The code of a note (validator) or coin (acceptor) position, 1..16: "GB0010A", "GB010A".
DeviceCall<QString> denominationCode(bool notes, int position);
// A country's scale factor and decimal places, as the validator gives them.
DeviceCall<Scale> scaleFactor(const QString& country);
// Where a device's event counter stands, from its event buffer (or a hopper's status).
DeviceCall<int> eventCounter(quennet::EventPoller::Source source);
// Bit k of `mask` opens position k + 1.
DeviceCall<Nothing> setInhibits(std::uint16_t mask);
DeviceCall<Nothing> setBillMode(int mode);
DeviceCall<Nothing> setMaster(Master master);
DeviceCall<Nothing> enableHopper();
DeviceCall<Nothing> routeBill(RouteCode route);
DeviceCall<Nothing> dispenseCoins(int coins);
// Where a hopper's payout stands.
DeviceCall<HopperStatus> hopperStatus();
// A hopper's own count of the coins it has paid.
DeviceCall<qint64> hopperCount();

// Whether a consumer's command routes a note, and whether it sends it to the stacker.
bool isRoute(const QString& method);
bool isStackRoute(const QString& method, const QVariantList& inputs);

// What a finished reply says, typed by `call`.
template <typename T>
CallReply<T> replyOf(const quennet::BusReply& reply, const DeviceCall<T>& call);

// What a call that could not be sent says: result 5 and why.
CallStatus notSent(const QString& why);

// The first output of `method`'s reply, by the name the method table gives it.
QVariant firstOutput(const QString& method, const QVariantMap& outputs);

}  // namespace calls

// Sends typed calls on one bus; each continuation runs in this thread once the reply is in (never
// before send() returns), and not at all once this object is gone: its owner declares it after the
// bus, so that replies the bus finishes as it is destroyed call nobody.
class DeviceCalls {
 public:
  explicit DeviceCalls(quennet::BusClient* bus) : bus_(bus) {}

  template <typename T>
  void send(quint8 address, const DeviceCall<T>& call,
            std::type_identity_t<std::function<void(const CallReply<T>&)>> then = {}) {
    QString misuse;
    quennet::BusReply* reply = invoke(address, call.command, call.priority, &misuse);
    if (!reply) {
      if (!then) return;
      QMetaObject::invokeMethod(
          &context_,
          [then, misuse] {
            CallReply<T> failed;
            static_cast<CallStatus&>(failed) = calls::notSent(misuse);
            then(failed);
          },
          Qt::QueuedConnection);
      return;
    }
    QObject::connect(reply, &quennet::BusReply::finished, reply, &QObject::deleteLater);
    if (!then) return;
    QObject::connect(reply, &quennet::BusReply::finished, &context_,
                     [reply, call, then] { then(calls::replyOf(*reply, call)); });
  }

 private:
  // Null (with `misuse`) when the bus refuses the request before it is queued.
  quennet::BusReply* invoke(quint8 address, const quennet::BusCommand& command,
                            quennet::BusClient::Priority priority, QString* misuse);

  quennet::BusClient* bus_;
  QObject context_;
};

template <typename T>
CallReply<T> calls::replyOf(const quennet::BusReply& reply, const DeviceCall<T>& call) {
  CallReply<T> r;
  r.result = reply.result();
  r.caption = reply.caption();
  r.acknowledged = reply.acknowledged();
  r.outputs = reply.outputs();
  if (r.ok() && call.read) {
    r.value = call.read(firstOutput(call.command.method, r.outputs), reply.busResult());
  }
  return r;
}

}  // namespace quennetd
