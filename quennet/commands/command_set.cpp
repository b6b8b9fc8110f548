#include "quennet/commands/command_set.h"

#include <array>

#include "quennet/commands/reply_renderings.h"
#include "quennet/link/protocol.h"
#include "quennet/link/quennet_error.h"

namespace quennet {

namespace {

// Every header a command method sends has its row; the table test holds them to that.
const HeaderInfo& rowOf(cctalk_Codes header) {
  static const HeaderInfo kUnknown;
  const HeaderInfo* info = headerInfo(static_cast<std::uint8_t>(header));
  Q_ASSERT(info);
  return info ? *info : kUnknown;
}

}  // namespace

std::int16_t CommandSet::textCommand(std::uint8_t Device, cctalk_Codes header, QString& response,
                                     std::span<const std::uint8_t> data) {
  const HeaderInfo& row = rowOf(header);
  LoadFrame(Device, static_cast<std::uint8_t>(header), data);
  // The stacker cycle's reply comes only when the stroke is done; the long wait covers it only.
  if (row.wait == ReplyWait::Long) requestLongWait();
  return TransactText(response, row.replyData);
}

std::int16_t CommandSet::bytesCommand(std::uint8_t Device, cctalk_Codes header,
                                      std::span<std::uint8_t> reply,
                                      std::span<const std::uint8_t> data) {
  const HeaderInfo& row = rowOf(header);
  LoadFrame(Device, static_cast<std::uint8_t>(header), data);
  return TransactBytes(reply, row.replyData, row.replyLeast);
}

std::int16_t CommandSet::counterCommand(std::uint8_t Device, cctalk_Codes header,
                                        std::int32_t& count, std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, 3> bytes{};
  const std::int16_t result = bytesCommand(Device, header, bytes, data);
  count = counterValue(bytes);
  return result;
}

std::int16_t CommandSet::countryCommand(std::uint8_t Device, cctalk_Codes header,
                                        const QString& Country, std::span<std::uint8_t> reply) {
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
  return bytesCommand(Device, header, reply, letters);
}

}  // namespace quennet
