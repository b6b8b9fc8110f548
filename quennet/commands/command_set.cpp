#include "quennet/commands/command_set.h"

#include <array>

#include "quennet/commands/reply_renderings.h"
#include "quennet/link/quennet_error.h"

namespace quennet {

namespace {
constexpr std::uint8_t kHostAddress = 1;
}  // namespace

void CommandSet::loadFrame(std::uint8_t destination, cctalk_Codes header,
                           std::span<const std::uint8_t> data) {
  CommandBuffer.at(1) = destination;
  CommandBuffer.at(2) = static_cast<std::uint8_t>(data.size());
  CommandBuffer.at(3) = kHostAddress;
  CommandBuffer.at(4) = static_cast<std::uint8_t>(header);
  for (std::size_t i = 0; i < data.size(); ++i) {
    CommandBuffer.at(static_cast<int>(i) + 5) = data[i];
  }
}

std::int16_t CommandSet::textCommand(std::uint8_t Device, cctalk_Codes header, QString& response,
                                     std::int16_t expectedDataLen,
                                     std::span<const std::uint8_t> data) {
  loadFrame(Device, header, data);
  return TransactText(response, expectedDataLen);
}

std::int16_t CommandSet::bytesCommand(std::uint8_t Device, cctalk_Codes header,
                                      std::span<std::uint8_t> reply, std::int16_t expectedDataLen,
                                      std::span<const std::uint8_t> data, int fewestData) {
  loadFrame(Device, header, data);
  return TransactBytes(reply, expectedDataLen, fewestData);
}

std::int16_t CommandSet::counterCommand(std::uint8_t Device, cctalk_Codes header,
                                        std::int32_t& count, std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, 3> bytes{};
  const std::int16_t result = bytesCommand(Device, header, bytes, 3, data);
  count = counterValue(bytes);
  return result;
}

std::int16_t CommandSet::countryCommand(std::uint8_t Device, cctalk_Codes header,
                                        const QString& Country, std::span<std::uint8_t> reply,
                                        std::int16_t expectedDataLen) {
  if (Country.size() < 2) {
    throw QuennetError(kErrSubscriptOutOfRange,
                       QStringLiteral("The country code needs two characters"));
  }
  // A letter outside printable ASCII has no byte of its own: it would go out as 0 or as another
  // character's code and ask about a country nobody named.
  const auto printable = [](QChar c) { return c.unicode() >= 0x20 && c.unicode() <= 0x7E; };
  if (!printable(Country[0]) || !printable(Country[1])) {
    throw QuennetError(kErrInvalidProcedureCall,
                       QStringLiteral("The country code must be printable ASCII"));
  }
  const std::array<std::uint8_t, 2> letters = {static_cast<std::uint8_t>(Country[0].unicode()),
                                               static_cast<std::uint8_t>(Country[1].unicode())};
  return bytesCommand(Device, header, reply, expectedDataLen, letters);
}

}  // namespace quennet
