#pragma once
// What a consumer may ask on `cmd`: a request is checked here, whole, before anything of it
// reaches the bus. The methods that only read and RouteBill pass by default; those that move
// money or change a device only when the configuration lists them. Requests are rate-limited.

#include <cstdint>
#include <optional>

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonValue>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include "quennetd/payloads.h"

namespace quennetd {

inline constexpr int kMaxCommandBytes = 4096;
// Consumers' commands waiting for the line behind the one on it; beyond these the answer is "busy".
inline constexpr int kCommandQueueLength = 8;
// The most of the line's time consumers' commands may take, so that the event polls keep their
// interval whatever a consumer sends.
inline constexpr double kCommandShare = 0.25;
// Line time a quiet spell saves up for a short burst of commands.
inline constexpr int kCommandReserveMs = 100;

struct Command {
  QJsonValue id;
  std::uint8_t address = 0;
  QString method;
  QVariantList inputs;
};

struct GateResult {
  std::optional<Command> command;
  QJsonValue id;  // as far as it could be read, for the error reply
  QString error;
};

class CommandGate {
 public:
  CommandGate(const QStringList& allowed, double perSecond, int burst);

  // Unknown names in the allow list: the configuration is wrong.
  QStringList unknownAllowed() const;
  bool isAllowed(const QString& method) const { return allowed_.contains(method); }
  // Open to every consumer: the methods that only read, and RouteBill. The rest change a device.
  static bool isOpen(const QString& method);
  // Charges a request the gate does not read to the rate limit; false: too many.
  bool admit() { return takeToken(); }
  // Checks one request. The method's own input parsing is left to the bus client, which raises
  // before anything is queued. Every request takes its share of the rate, readable or not.
  GateResult check(const QByteArray& payload);
  // A request the broker link refused unread for its size.
  GateResult refuseUnread(qsizetype bytes);

 private:
  bool takeToken();

  QSet<QString> allowed_;
  QStringList unknown_;
  double perSecond_;
  double burst_;
  double tokens_;
  QElapsedTimer clock_;
  qint64 lastMs_ = 0;
};

// The line's time spent on consumers' commands, measured from what each one took: a command may
// start while the account is not overdrawn, and the account earns kCommandShare of the time that
// passes, up to kCommandReserveMs. A command that waited out a time-out pays for all of it.
class LineBudget {
 public:
  LineBudget();
  // Milliseconds until the next command may start; 0: now.
  int waitMs();
  void spend(qint64 ms);

 private:
  void earn();

  double balanceMs_ = kCommandReserveMs;
  QElapsedTimer clock_;
  qint64 lastMs_ = 0;
};

// A key given twice in one object of a JSON text, anywhere in it; empty when none is. A parser
// keeps one of the two silently: a request is never read other than as its sender meant it.
QString duplicateKey(const QByteArray& json);
// The refusal of a request with a key given twice.
QString duplicateKeyError(const QString& key);

// The error reply: {"id":...,"error":"..."}; built with the service's other messages.
using payloads::errorReply;

}  // namespace quennetd
