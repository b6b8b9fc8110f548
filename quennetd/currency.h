#pragma once
// Money in minor units. A note's identity ("GB0010A") gives its value in units of the validator's
// scaling: value x factor / 10^decimals of the currency. The service credits minor units (pence,
// cents, yen), so it needs each currency's own number of decimals, its ISO 4217 exponent.

#include <optional>

#include <QString>
#include <QtGlobal>

namespace quennetd {

// What the validator says about a country's notes (RequestScaleFactor).
struct Scale {
  int factor = 0;
  int decimals = 0;
};

// The ISO 4217 exponent of the currency of a ccTalk country code ("GB": 2, "JP": 0, "KW": 3);
// nothing for a country not in the table.
std::optional<int> minorUnitExponent(const QString& country);

// `amount` (the note identity's value) in minor units of `country`'s currency; nothing when the
// country is unknown, the scale is unusable, or the value is not a whole number of minor units.
std::optional<qint64> minorUnits(qint64 amount, const Scale& scale, const QString& country);

}  // namespace quennetd
