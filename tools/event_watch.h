#pragma once
// The event watch: polls a validator's event buffer and prints each new event as one line.

#include <cstdint>

#include <QString>

#include "tools/cli_options.h"
#include "tools/cli_runner.h"

namespace quennet::cli {

// Plain-language reading of one event pair: A non-zero is a credit (note A, route B), A zero a
// status event with code B.
QString describeEvent(std::uint8_t a, std::uint8_t b);

// How far the event counter moved from `last` to `now`: it runs 1..255 and wraps to 1, and
// reads 0 after a reset (which counts as one step).
int counterAdvance(std::uint8_t last, std::uint8_t now);
// The events a buffer read shows of that advance: at most the five the buffer keeps.
int newEventCount(std::uint8_t last, std::uint8_t now);
// The events that happened between two reads but no longer fit the buffer.
int lostEventCount(std::uint8_t last, std::uint8_t now);

// Enables the validator, reads its event counter, then polls every options.intervalMs and
// prints each event that happened since (with options.fromStart, those the buffer held at
// start too) until streams.keepRunning() says stop or streams.stop fires. Routes notes that
// reach escrow when options.route is set. Returns the exit status.
int watchEvents(CommandSet& set, const CliOptions& options, CliStreams& streams);

}  // namespace quennet::cli
