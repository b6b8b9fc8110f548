#pragma once
// Builds a MethodInfo from a member function pointer: the C++ parameter types give each
// parameter's direction and type, so the table only names the parameters. Internal to the table.

#include <algorithm>
#include <cstddef>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "quennet/commands/dispatch.h"

namespace quennet::dispatch_detail {

// A parameter as the table names it; arraySize for byte arrays and texts whose length is fixed.
struct ParamName {
  // Implicit, so the table names most parameters by a plain string.
  ParamName(const char* n, int size = 0) : name(n), arraySize(size) {}
  const char* name;
  int arraySize;
};

std::uint8_t toByte(const QVariant& value, const QString& param);
std::int32_t toLong(const QVariant& value, const QString& param, std::int32_t low,
                    std::int32_t high);
// `most` > 0: more characters or values than that are a MisuseError, never cut off.
QString toText(const QVariant& value, const QString& param, int most);
std::vector<std::uint8_t> toBytes(const QVariant& value, const QString& param, int most);
QVariantList fromBytes(const std::vector<std::uint8_t>& bytes);

template <typename T>
struct Param;

template <>
struct Param<std::uint8_t> {
  static constexpr ParamDirection direction = ParamDirection::In;
  static constexpr ParamType type = ParamType::Byte;
  using Storage = std::uint8_t;
  static Storage load(const QVariant& v, const ParamInfo& p) { return toByte(v, p.name); }
  static std::uint8_t pass(Storage& s) { return s; }
};

template <>
struct Param<std::int16_t> {
  static constexpr ParamDirection direction = ParamDirection::In;
  static constexpr ParamType type = ParamType::Long;
  using Storage = std::int16_t;
  static Storage load(const QVariant& v, const ParamInfo& p) {
    return static_cast<std::int16_t>(toLong(v, p.name, INT16_MIN, INT16_MAX));
  }
  static std::int16_t pass(Storage& s) { return s; }
};

template <>
struct Param<const QString&> {
  static constexpr ParamDirection direction = ParamDirection::In;
  static constexpr ParamType type = ParamType::Text;
  using Storage = QString;
  static Storage load(const QVariant& v, const ParamInfo& p) {
    return toText(v, p.name, p.arraySize);
  }
  static const QString& pass(Storage& s) { return s; }
};

template <>
struct Param<std::span<const std::uint8_t>> {
  static constexpr ParamDirection direction = ParamDirection::In;
  static constexpr ParamType type = ParamType::ByteArray;
  using Storage = std::vector<std::uint8_t>;
  static Storage load(const QVariant& v, const ParamInfo& p) {
    return toBytes(v, p.name, p.arraySize);
  }
  static std::span<const std::uint8_t> pass(Storage& s) { return s; }
};

template <>
struct Param<QString&> {
  static constexpr ParamDirection direction = ParamDirection::Out;
  static constexpr ParamType type = ParamType::Text;
  using Storage = QString;
  static Storage make(const ParamInfo&) { return {}; }
  static QString& pass(Storage& s) { return s; }
  static QVariant value(const Storage& s) { return s; }
};

template <>
struct Param<std::uint8_t&> {
  static constexpr ParamDirection direction = ParamDirection::Out;
  static constexpr ParamType type = ParamType::Byte;
  using Storage = std::uint8_t;
  static Storage make(const ParamInfo&) { return 0; }
  static std::uint8_t& pass(Storage& s) { return s; }
  static QVariant value(const Storage& s) { return static_cast<int>(s); }
};

template <>
struct Param<std::int32_t&> {
  static constexpr ParamDirection direction = ParamDirection::Out;
  static constexpr ParamType type = ParamType::Long;
  using Storage = std::int32_t;
  static Storage make(const ParamInfo&) { return 0; }
  static std::int32_t& pass(Storage& s) { return s; }
  static QVariant value(const Storage& s) { return s; }
};

template <>
struct Param<std::span<std::uint8_t>> {
  static constexpr ParamDirection direction = ParamDirection::Out;
  static constexpr ParamType type = ParamType::ByteArray;
  using Storage = std::vector<std::uint8_t>;
  static Storage make(const ParamInfo& p) {
    return Storage(static_cast<std::size_t>(p.arraySize), 0);
  }
  static std::span<std::uint8_t> pass(Storage& s) { return s; }
  static QVariant value(const Storage& s) { return fromBytes(s); }
  // Only the bytes the device sent, not the zeros the array was allocated with.
  static void trim(Storage& s, std::size_t delivered) { s.resize(std::min(s.size(), delivered)); }
};

// Data bytes the call put into its output array: a transaction's count on result 0, and on
// result 3 (a collect-all overflow fills the array); nothing for results that leave it alone.
inline std::size_t deliveredBytes(const CommandSet& set, std::int32_t result) {
  const bool delivered = result == kResultOk || result == kResultChecksum;
  return delivered ? static_cast<std::size_t>(set.deliveredDataCount()) : 0;
}

// How a return value becomes the result code; a returned string is an output of its own.
inline std::int32_t resultOf(std::int16_t code, QVariantMap&) {
  return code;
}
inline std::int32_t resultOf(const QVariant& code, QVariantMap&) {
  return code.toInt();
}
inline constexpr const char* kReturnedTextName = "Text";
inline std::int32_t resultOf(const QString& text, QVariantMap& outputs) {
  outputs.insert(QString::fromLatin1(kReturnedTextName), text);
  return kResultOk;
}

template <typename... A, std::size_t... I>
InvokeResult call(auto fn, CommandSet& set, const QList<ParamInfo>& params,
                  const QVariantList& inputs, std::index_sequence<I...>) {
  using Storage = std::tuple<typename Param<A>::Storage...>;
  Storage storage;
  int nextInput = 0;
  [[maybe_unused]] const auto prepare = [&]<typename P>(auto& slot, const ParamInfo& info) {
    if constexpr (Param<P>::direction == ParamDirection::In) {
      slot = Param<P>::load(inputs.at(nextInput++), info);
    } else {
      slot = Param<P>::make(info);
    }
  };
  (prepare.template operator()<A>(std::get<I>(storage), params.at(static_cast<qsizetype>(I))), ...);
  InvokeResult out;
  out.result = resultOf((set.*fn)(Param<A>::pass(std::get<I>(storage))...), out.outputs);
  [[maybe_unused]] const auto collect = [&]<typename P>(auto& slot, const ParamInfo& info) {
    if constexpr (Param<P>::direction == ParamDirection::Out) {
      if constexpr (Param<P>::type == ParamType::ByteArray) {
        Param<P>::trim(slot, deliveredBytes(set, out.result));
      }
      out.outputs.insert(info.name, Param<P>::value(slot));
    }
  };
  (collect.template operator()<A>(std::get<I>(storage), params.at(static_cast<qsizetype>(I))), ...);
  return out;
}

template <typename R>
void describeReturn(QList<ParamInfo>& params) {
  if constexpr (std::is_same_v<R, QString>) {
    params.append({QString::fromLatin1(kReturnedTextName), ParamDirection::Out, ParamType::Text});
  }
}

template <typename R, typename... A>
MethodInfo describe(const char* name, auto fn, const std::array<ParamName, sizeof...(A)>& names) {
  MethodInfo info;
  info.name = QString::fromLatin1(name);
  std::size_t i = 0;
  ((info.params.append({QString::fromLatin1(names[i].name), Param<A>::direction, Param<A>::type,
                        names[i].arraySize}),
    ++i),
   ...);
  const QList<ParamInfo> declared = info.params;
  describeReturn<R>(info.params);
  const int inputCount = static_cast<int>(info.inputs().size());
  info.invoker = [fn, declared, inputCount, methodName = info.name](CommandSet& set,
                                                                    const QVariantList& inputs) {
    if (inputs.size() != inputCount) {
      throw MisuseError(QStringLiteral("%1 takes %2 input(s), %3 given")
                            .arg(methodName)
                            .arg(inputCount)
                            .arg(inputs.size()));
    }
    return call<A...>(fn, set, declared, inputs, std::index_sequence_for<A...>{});
  };
  return info;
}

template <typename R, typename... A, typename... N>
requires(sizeof...(A) == sizeof...(N)) MethodInfo
    method(const char* name, R (CommandSet::*fn)(A...), N... names) {
  return describe<R, A...>(name, fn, {ParamName(names)...});
}

template <typename R, typename... A, typename... N>
requires(sizeof...(A) == sizeof...(N)) MethodInfo
    method(const char* name, R (LinkEngine::*fn)(A...) const, N... names) {
  MethodInfo info = describe<R, A...>(name, fn, {ParamName(names)...});
  info.asksDevice = false;
  return info;
}

}  // namespace quennet::dispatch_detail
