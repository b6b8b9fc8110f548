#pragma once
// The ccTalk command methods: each fills CommandBuffer, runs one transaction and decodes the
// reply into its outputs. Names are those of the control's type library.

#include <cstdint>
#include <span>

#include <QString>

#include "quennet/link/link_engine.h"

namespace quennet {

class QUENNET_EXPORT CommandSet : public LinkEngine {
 public:
  // Simple poll (header 254): "ACK" from a live device.
  std::int16_t SendPoll(std::uint8_t Device, QString& strResponse);
};

}  // namespace quennet
