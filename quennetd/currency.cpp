#include "quennetd/currency.h"

#include <array>
#include <limits>
#include <string_view>

namespace quennetd {

namespace {

struct Currency {
  std::string_view country;  // as in note and coin identities
  std::string_view code;     // ISO 4217
  int exponent;
};

// Countries whose notes ccTalk validators are programmed for; "EU" is the euro area.
constexpr std::array kCurrencies = {
    Currency{"AE", "AED", 2}, Currency{"AR", "ARS", 2}, Currency{"AU", "AUD", 2},
    Currency{"BG", "BGN", 2}, Currency{"BH", "BHD", 3}, Currency{"BR", "BRL", 2},
    Currency{"CA", "CAD", 2}, Currency{"CH", "CHF", 2}, Currency{"CL", "CLP", 0},
    Currency{"CN", "CNY", 2}, Currency{"CO", "COP", 2}, Currency{"CZ", "CZK", 2},
    Currency{"DK", "DKK", 2}, Currency{"EG", "EGP", 2}, Currency{"EU", "EUR", 2},
    Currency{"GB", "GBP", 2}, Currency{"HK", "HKD", 2}, Currency{"HU", "HUF", 2},
    Currency{"ID", "IDR", 2}, Currency{"IL", "ILS", 2}, Currency{"IN", "INR", 2},
    Currency{"IQ", "IQD", 3}, Currency{"IS", "ISK", 0}, Currency{"JO", "JOD", 3},
    Currency{"JP", "JPY", 0}, Currency{"KR", "KRW", 0}, Currency{"KW", "KWD", 3},
    Currency{"KZ", "KZT", 2}, Currency{"LY", "LYD", 3}, Currency{"MA", "MAD", 2},
    Currency{"MX", "MXN", 2}, Currency{"MY", "MYR", 2}, Currency{"NG", "NGN", 2},
    Currency{"NO", "NOK", 2}, Currency{"NZ", "NZD", 2}, Currency{"OM", "OMR", 3},
    Currency{"PE", "PEN", 2}, Currency{"PH", "PHP", 2}, Currency{"PL", "PLN", 2},
    Currency{"PY", "PYG", 0}, Currency{"QA", "QAR", 2}, Currency{"RO", "RON", 2},
    Currency{"RS", "RSD", 2}, Currency{"RU", "RUB", 2}, Currency{"SA", "SAR", 2},
    Currency{"SE", "SEK", 2}, Currency{"SG", "SGD", 2}, Currency{"TH", "THB", 2},
    Currency{"TN", "TND", 3}, Currency{"TR", "TRY", 2}, Currency{"TW", "TWD", 2},
    Currency{"UA", "UAH", 2}, Currency{"UG", "UGX", 0}, Currency{"US", "USD", 2},
    Currency{"VN", "VND", 0}, Currency{"ZA", "ZAR", 2},
};

}  // namespace

std::optional<int> minorUnitExponent(const QString& country) {
  const QByteArray key = country.toLatin1();
  for (const Currency& c : kCurrencies) {
    if (std::string_view(key.constData(), static_cast<std::size_t>(key.size())) == c.country) {
      return c.exponent;
    }
  }
  return std::nullopt;
}

std::optional<qint64> minorUnits(qint64 amount, const Scale& scale, const QString& country) {
  const std::optional<int> exponent = minorUnitExponent(country);
  if (!exponent || scale.factor <= 0 || scale.decimals < 0 || amount < 0) return std::nullopt;
  // amount x factor x 10^(exponent - decimals), exactly or not at all.
  qint64 value = amount * scale.factor;
  for (int k = scale.decimals; k < *exponent; ++k) {
    if (value > std::numeric_limits<qint64>::max() / 10) return std::nullopt;
    value *= 10;
  }
  for (int k = *exponent; k < scale.decimals; ++k) {
    if (value % 10 != 0) return std::nullopt;
    value /= 10;
  }
  return value;
}

}  // namespace quennetd
