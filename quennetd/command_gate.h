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

namespace quennetd {

inline constexpr int kMaxCommandBytes = 4096;

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
  // before anything is queued.
  GateResult check(const QByteArray& payload);

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

// The error reply: {"id":...,"error":"..."}.
QByteArray errorReply(const QJsonValue& id, const QString& error);

}  // namespace quennetd
