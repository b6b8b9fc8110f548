#include "quennet/commands/command_set.h"

namespace quennet {

std::int16_t CommandSet::SendPoll(std::uint8_t Device, QString& strResponse) {
  CommandBuffer.at(1) = Device;
  CommandBuffer.at(2) = 0;
  CommandBuffer.at(3) = 1;
  CommandBuffer.at(4) = 254;
  return TransactText(strResponse, 0);
}

}  // namespace quennet
