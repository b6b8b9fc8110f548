#pragma once
// The event watch: a bus client's event poller on the validator, each new event printed as one
// line. The same poller serves applications, so the tool and the library share one reading of
// the event counter.

#include <cstdint>

#include <QString>

#include "quennet/bus/bus_client.h"
#include "tools/cli_options.h"
#include "tools/cli_runner.h"

namespace quennet::cli {

// Plain-language reading of one event pair: A non-zero is a credit (note A, route B), A zero a
// status event with code B.
QString describeEvent(std::uint8_t a, std::uint8_t b);

// Enables the validator, reads its event counter, then polls every options.intervalMs and
// prints each event that happened since (with options.fromStart, those the buffer held at
// start too) until streams.keepRunning() says stop or streams.stop fires. Routes notes that
// reach escrow when options.route is set. Returns the exit status.
int watchEvents(BusClient& bus, const CliOptions& options, CliStreams& streams);

}  // namespace quennet::cli
