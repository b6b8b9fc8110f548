#pragma once
// The event watch: polls a validator's event buffer and prints each new event as one line.

#include <cstdint>

#include <QString>

#include "tools/cli_runner.h"

namespace quennet::cli {

// Plain-language reading of one event pair: A non-zero is a credit (note A, route B), A zero a
// status event with code B.
QString describeEvent(std::uint8_t a, std::uint8_t b);

// Events the counter moved on by since `last` (it runs 1..255 and wraps to 1; 0 after a reset),
// at most the five the buffer keeps.
int newEventCount(std::uint8_t last, std::uint8_t now);

// Enables the validator, then polls every `intervalMs` until streams.keepRunning() says stop.
int watchEvents(CommandSet& set, std::uint8_t address, int intervalMs, bool json,
                CliStreams& streams);

}  // namespace quennet::cli
