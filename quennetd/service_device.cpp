#include "quennetd/service_device.h"

#include <algorithm>

namespace quennetd {

namespace {

bool allDigits(const QString& text) {
  return !text.isEmpty() &&
         std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
}

}  // namespace

Denomination noteDenomination(const QString& code, const std::optional<Scale>& scale) {
  Denomination d{code, {}, {}, scale};
  if (code.size() < 6 || !allDigits(code.mid(2, 4))) return d;
  d.currency = code.left(2);
  if (scale) d.value = minorUnits(code.mid(2, 4).toLongLong(), *scale, d.currency);
  return d;
}

Denomination coinDenomination(const QString& code) {
  Denomination d{code, {}, {}, {}};
  if (code.size() < 5 || !code[0].isLetter()) return d;
  d.currency = code.left(2);
  if (allDigits(code.mid(2, 3))) d.value = code.mid(2, 3).toLongLong();
  return d;
}

std::uint16_t maskOf(const QList<Denomination>& table, const QString& notes) {
  std::uint16_t mask = 0;
  for (int k = 0; k < table.size(); ++k) {
    const bool defined = !table[k].currency.isEmpty();
    if (defined && (notes == u"all" || table[k].currency == notes)) mask |= 1U << k;
  }
  return mask;
}

std::optional<quennet::EventPoller::Source> sourceOf(const QString& category) {
  return quennet::EventPoller::sourceOf(category);
}

quennet::EventPoller::Source sourceOf(DeviceRole role) {
  using Source = quennet::EventPoller::Source;
  switch (role) {
    case DeviceRole::Validator:
      return Source::BillValidator;
    case DeviceRole::CoinAcceptor:
      return Source::CoinAcceptor;
    case DeviceRole::Hopper:
      break;
  }
  return Source::Hopper;
}

}  // namespace quennetd
