#pragma once
// Names of ccTalk headers as the generic protocol tables give them, for traces and logs.

#include <cstdint>

#include <QString>

#include "quennet/quennet_export.h"

namespace quennet {

/// The name of a command header ("Simple poll", "Read buffered bill events"), or "Header n" for
/// a value the table does not name.
QUENNET_EXPORT QString headerName(std::uint8_t header);

/// What a reply's header means: "ACK", "NAK", "BUSY", "Reply" for data under header 0, else the
/// command name of the header.
QUENNET_EXPORT QString replyName(std::uint8_t header, int dataLength);

}  // namespace quennet
