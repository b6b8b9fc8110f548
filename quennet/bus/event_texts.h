#pragma once
// The words for the result pairs of a device's event buffer, shared by the event poller, the
// command-line tool and Tolvar's event label. A pair (A, B) with A = 0 is a status event with
// code B; otherwise note or coin A took route or sorter path B.

#include <cstdint>
#include <optional>

#include <QString>

#include "quennet/quennet_export.h"

namespace quennet {

// A bill validator's status code ("Stacker Full"), or an empty string for a code without a name.
QUENNET_EXPORT QString billStatusText(std::uint8_t code);
// A bill event: the status text ("Status 17" for a code without a name) or the note's route
// ("Note 3 stacked.", "Note 3 in escrow.", "Note 3 route 7").
QUENNET_EXPORT QString billEventText(std::uint8_t a, std::uint8_t b);
// A coin acceptor event: "Coin 2 accepted, sorter path 1" ("Coin 4 (GB010A) accepted, sorter
// path 1" with the coin's identity); with credit 0 the error code's name ("Coin Rejected",
// "Credit Sensor Blocked", "Coin Inhibited (Type 5)"), "Coin Error 41" for a code without one.
QUENNET_EXPORT QString coinEventText(std::uint8_t a, std::uint8_t b, const QString& coinId = {});
// A coin identity's value ("GB010A": 10), nothing for an unused position ("......") or an
// identity without three digits of value.
QUENNET_EXPORT std::optional<int> coinValue(const QString& coinId);

}  // namespace quennet
