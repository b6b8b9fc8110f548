#include "quennetd/command_gate.h"

#include <algorithm>
#include <vector>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include "quennet/commands/dispatch.h"

namespace quennetd {

namespace {

// Open to every consumer: the methods that only read, and the route of the note a consumer was
// offered. The method table says which is which.
bool opensToEveryone(const quennet::MethodInfo& info) {
  return info.hasDevice() &&
         (info.effect == quennet::MethodEffect::ReadsOnly || info.header == quennet::ROUTE_BILL);
}

QString tooMany() {
  return QStringLiteral("too many requests");
}

}  // namespace

CommandGate::CommandGate(const QStringList& allowed, double perSecond, int burst)
    : perSecond_(perSecond), burst_(burst), tokens_(burst) {
  for (const quennet::MethodInfo& info : quennet::methodTable()) {
    if (opensToEveryone(info)) allowed_.insert(info.name);
  }
  for (const QString& name : allowed) {
    const quennet::MethodInfo* info = quennet::findMethod(name);
    if (!info || !info->hasDevice()) {
      unknown_.append(name);
    } else {
      allowed_.insert(name);
    }
  }
  clock_.start();
}

bool CommandGate::isOpen(const QString& method) {
  const quennet::MethodInfo* info = quennet::findMethod(method);
  return info && opensToEveryone(*info);
}

QStringList CommandGate::unknownAllowed() const {
  return unknown_;
}

bool CommandGate::takeToken() {
  const qint64 now = clock_.elapsed();
  tokens_ = std::min(burst_, tokens_ + (now - lastMs_) * perSecond_ / 1000.0);
  lastMs_ = now;
  if (tokens_ < 1) return false;
  tokens_ -= 1;
  return true;
}

GateResult CommandGate::refuseUnread(qsizetype bytes) {
  GateResult out;
  out.error =
      takeToken() ? QStringLiteral("message of %1 bytes refused unread").arg(bytes) : tooMany();
  return out;
}

GateResult CommandGate::check(const QByteArray& payload) {
  GateResult out;
  const auto refuse = [&](const QString& error) {
    out.error = error;
    return out;
  };
  // Garbage costs the sender as much as a request does.
  const bool withinRate = takeToken();
  if (payload.size() > kMaxCommandBytes) {
    return refuse(QStringLiteral("request larger than %1 bytes").arg(kMaxCommandBytes));
  }
  QJsonParseError parseError{};
  const QJsonDocument doc = QJsonDocument::fromJson(payload, &parseError);
  if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
    return refuse(withinRate ? QStringLiteral("not a JSON object") : tooMany());
  }
  const QJsonObject o = doc.object();
  out.id = o.value(QLatin1String("id"));
  if (const QString twice = duplicateKey(payload); !twice.isEmpty()) {
    if (!out.id.isString() && !out.id.isDouble()) out.id = QJsonValue();
    return refuse(withinRate ? duplicateKeyError(twice) : tooMany());
  }
  if (!withinRate) return refuse(tooMany());
  if (!out.id.isString() && !out.id.isDouble()) return refuse(QStringLiteral("no id"));
  const QString method = o.value(QLatin1String("method")).toString();
  const quennet::MethodInfo* info = quennet::findMethod(method);
  if (!info || !info->hasDevice()) {
    return refuse(QStringLiteral("unknown method '%1'").arg(method));
  }
  if (!allowed_.contains(method)) {
    return refuse(QStringLiteral("method %1 is not allowed here").arg(method));
  }
  const QJsonValue address = o.value(QLatin1String("address"));
  const double a = address.toDouble(-1);
  if (!address.isDouble() || a != static_cast<int>(a) || a < 1 || a > 255) {
    return refuse(QStringLiteral("address wants 1..255"));
  }
  const QJsonValue inputs = o.value(QLatin1String("inputs"));
  if (!inputs.isUndefined() && !inputs.isArray())
    return refuse(QStringLiteral("inputs wants a list"));
  const QJsonArray list = inputs.toArray();
  // Device is the first parameter; the rest are what the consumer gives.
  if (list.size() != info->inputs().size() - 1) {
    return refuse(QStringLiteral("%1 takes %2 input(s): %3")
                      .arg(method)
                      .arg(info->inputs().size() - 1)
                      .arg(info->signature()));
  }
  Command command;
  command.id = out.id;
  command.address = static_cast<std::uint8_t>(a);
  command.method = method;
  const auto whole = [](const QJsonValue& v) {
    return v.isDouble() && v.toDouble() == static_cast<double>(static_cast<qint64>(v.toDouble()));
  };
  const QString kinds = QStringLiteral("inputs are whole numbers, texts or lists of whole numbers");
  const QList<quennet::ParamInfo> params = info->inputs();
  for (qsizetype k = 0; k < list.size(); ++k) {
    const QJsonValue& value = list[k];
    const quennet::ParamType type = params[k + 1].type;
    const bool number = type == quennet::ParamType::Byte || type == quennet::ParamType::Long;
    // A number given as text is not taken for the number: the sender meant something else.
    if (number && !whole(value)) {
      return refuse(
          QStringLiteral("input %1 (%2) wants a whole number").arg(k + 1).arg(params[k + 1].name));
    }
    if (value.isString()) {
      command.inputs.append(value.toString());
    } else if (whole(value)) {
      command.inputs.append(static_cast<qlonglong>(value.toDouble()));
    } else if (value.isArray()) {
      QVariantList bytes;
      for (const QJsonValue& element : value.toArray()) {
        if (!whole(element)) return refuse(kinds);
        bytes.append(static_cast<qlonglong>(element.toDouble()));
      }
      command.inputs.append(QVariant(bytes));
    } else {
      return refuse(kinds);
    }
  }
  out.command = command;
  return out;
}

LineBudget::LineBudget() {
  clock_.start();
}

void LineBudget::earn() {
  const qint64 now = clock_.elapsed();
  balanceMs_ = std::min<double>(kCommandReserveMs, balanceMs_ + (now - lastMs_) * kCommandShare);
  lastMs_ = now;
}

int LineBudget::waitMs() {
  earn();
  return balanceMs_ >= 0 ? 0 : static_cast<int>(-balanceMs_ / kCommandShare) + 1;
}

void LineBudget::spend(qint64 ms) {
  earn();
  balanceMs_ -= static_cast<double>(ms);
}

QString duplicateKeyError(const QString& key) {
  return QStringLiteral("key \"%1\" given twice").arg(key);
}

QString duplicateKey(const QByteArray& json) {
  struct Level {
    bool object = false;
    bool expectKey = false;
    QSet<QString> keys;
  };
  std::vector<Level> levels;
  for (qsizetype k = 0; k < json.size(); ++k) {
    const char c = json[k];
    if (c == '"') {
      const qsizetype start = k;
      for (++k; k < json.size() && json[k] != '"'; ++k) {
        if (json[k] == '\\') ++k;
      }
      if (levels.empty() || !levels.back().object || !levels.back().expectKey) continue;
      // The key as JSON means it: "\u0061" is "a".
      const QString key = QJsonDocument::fromJson("[" + json.mid(start, k - start + 1) + "]")
                              .array()
                              .at(0)
                              .toString();
      Level& level = levels.back();
      level.expectKey = false;
      if (level.keys.contains(key)) return key;
      level.keys.insert(key);
    } else if (c == '{' || c == '[') {
      levels.push_back({c == '{', c == '{', {}});
    } else if ((c == '}' || c == ']') && !levels.empty()) {
      levels.pop_back();
    } else if (c == ',' && !levels.empty() && levels.back().object) {
      levels.back().expectKey = true;
    }
  }
  return {};
}

}  // namespace quennetd
