#include "quennet/link/protocol.h"

#include <algorithm>
#include <array>

#include "quennet/link/frame.h"
#include "quennet/link/protocol_events.h"

namespace quennet {

namespace {

constexpr std::int16_t kNone = HeaderInfo::kNotSent;
// Address poll and clash gather every byte a reply buffer holds.
constexpr std::int16_t kGathered = FrameBuffer::kSize;

// A header the command methods send: `request` data bytes out, a reply of `reply` data bytes
// (at least `least` of them), waited for as long as a reply of that kind takes.
constexpr HeaderInfo sent(std::uint8_t header, const char* name, std::int16_t request,
                          std::int16_t reply = 0, std::int16_t least = -1) {
  return {header,
          name,
          request,
          reply,
          least < 0 ? reply : least,
          reply > 0 ? ReplyWait::Data : ReplyWait::Short};
}

// A header whose reply always carries exactly its `reply` data bytes.
constexpr HeaderInfo exact(std::uint8_t header, const char* name, std::int16_t request,
                           std::int16_t reply) {
  HeaderInfo info = sent(header, name, request, reply);
  info.fixedReply = true;
  return info;
}

constexpr HeaderInfo waited(HeaderInfo info, ReplyWait wait) {
  info.wait = wait;
  return info;
}

// A header the library only names (replies, and commands a monitor meets on a bus).
constexpr HeaderInfo named(std::uint8_t header, const char* name) {
  return {header, name, kNone, 0, 0, ReplyWait::Short};
}

// Sorted by header for the binary search.
constexpr auto kTable = std::to_array<HeaderInfo>({
    named(kHeaderAck, "Reply"),
    sent(RESET_DEVICE, "Reset device", 0),
    exact(GET_COMMS_VARS, "Request comms status variables", 0, 3),
    sent(CLEAR_COMMS_VARS, "Clear comms status variables", 0),
    exact(GET_COMMS_REVN, "Request comms revision", 0, 3),
    named(kHeaderNak, "NAK message"),
    named(kHeaderBusy, "BUSY message"),
    sent(SAVE_ENC_KEY, "Store encryption code", 0),
    sent(CHANGE_ENC_KEY, "Switch encryption code", 3),
    named(138, "Finish firmware upgrade"),
    named(139, "Begin firmware upgrade"),
    named(140, "Upload firmware"),
    sent(GET_FIRMWARE_UPG, "Request firmware upgrade capability", 0, 2, 1),
    named(142, "Finish bill table upgrade"),
    named(143, "Begin bill table upgrade"),
    named(144, "Upload bill tables"),
    sent(GET_CURRENCY_REV, "Request currency revision", 0, 3),
    sent(RUN_MOTORS, "Operate bi-directional motors", 3),
    waited(sent(CYCLE_STACK, "Perform stacker cycle", 0), ReplyWait::Long),
    sent(READ_OPTOS, "Read opto voltages", 0, 17, 1),
    exact(ERROR_COUNTER, "Request individual error counter", 1, 3),
    exact(INDVDL_NOTE_COUNT, "Request individual accept counter", 1, 3),
    named(151, "Test lamps"),
    sent(READ_BILL_MODE, "Request bill operating mode", 0, 2, 1),
    sent(MODIFY_BILL_MODE, "Modify bill operating mode", 1),
    sent(ROUTE_BILL, "Route bill", 1),
    exact(REQUEST_BILL_POSN, "Request bill position", 2, 2),
    exact(REQUEST_CNTRY_SCALE, "Request country scaling factor", 2, 3),
    exact(REQUEST_BILL_ID, "Request bill id", 1, 7),
    named(MODIFY_BILL_ID, "Modify bill id"),
    exact(GET_EVENT_BUFFER, "Read buffered bill events", 0, 11),
    named(160, "Request cipher key"),
    named(161, "Pump RNG"),
    named(162, "Modify inhibit and override registers"),
    sent(HOPPER_TEST, "Test hopper", 0, 3, 1),
    sent(HOPPER_ENABLE, "Enable hopper", 1),
    named(165, "Modify variable set"),
    exact(HOPPER_STATUS, "Request hopper status", 0, 4),
    sent(HOPPER_DISPENSE_COINS, "Dispense hopper coins", 4),
    exact(HOPPER_DISPENSE_COUNT, "Request hopper dispense count", 0, 3),
    sent(GET_ADDRESS_MODE, "Request address mode", 0, 2, 1),
    exact(GET_BASE_YEAR, "Request base year", 0, 4),
    named(REQUEST_HOPPER_COIN, "Request hopper coin"),
    sent(STOP_HOPPER, "Emergency stop", 0),
    exact(REQUEST_BILL_SCTY, "Request security setting", 1, 1),
    sent(MODIFY_BILL_SCTY, "Modify security setting", 2),
    exact(Request_Coin_ID, "Request coin id", 1, 6),
    sent(GET_BUILD_CODE, "Request build code", 0, 8),
    exact(GET_CREATION_DATE, "Request creation date", 0, 2),
    exact(GET_ROM_CHKSUM, "Calculate ROM checksum", 0, 4),
    named(209, "Request sorter paths"),
    exact(GET_OPTION_FLAGS, "Request option flags", 0, 1),
    exact(GET_DATA_STR_AVBL, "Request data storage availability", 0, 5),
    exact(GET_ACCEPTANCE_CNTR, "Request accept counter", 0, 3),
    exact(GET_INSERTION_CNTR, "Request insertion counter", 0, 3),
    exact(GET_MASTER_INHIBIT, "Request master inhibit status", 0, 1),
    sent(SET_MASTER_INHIBIT, "Modify master inhibit status", 1),
    exact(GET_COIN_BUFFER, "Read buffered credit or error codes", 0, 11),
    exact(GET_INHIBIT_STATUS, "Request inhibit status", 0, 2),
    sent(SET_INHIBIT_STATUS, "Modify inhibit status", 2),
    sent(RUN_SELF_TEST, "Perform self-check", 0, 4, 1),
    named(236, "Read opto states"),
    sent(READ_INPUT_LINES, "Read input lines", 0, 8, 1),
    named(240, "Test solenoids"),
    sent(GET_CODE_REVN, "Request software revision", 0, 13),
    exact(GET_SERIAL_NO, "Request serial number", 0, 3),
    named(243, "Request database version"),
    sent(GET_PROD_CODE, "Request product code", 0, 4),
    sent(GET_EQPT_ID, "Request equipment category id", 0, 14),
    sent(GET_MNFCTR_ID, "Request manufacturer id", 0, 3),
    sent(GET_VARIABLE_SET, "Request variable set", 0, 2),
    named(248, "Request status"),
    exact(GET_POLL_PRIORITY, "Request polling priority", 0, 2),
    sent(ADDRESS_RANDOM, "Address random", 0),
    sent(ADDRESS_CHANGE, "Address change", 1),
    waited(sent(ADDRESS_CLASH, "Address clash", 0, kGathered, 1), ReplyWait::Gather),
    waited(sent(ADDRESS_POLL, "Address poll", 0, kGathered, 1), ReplyWait::Gather),
    sent(SIMPLE_POLL, "Simple poll", 0),
    sent(READ_FEEDBAG, "Factory set-up and test", 0, 50, 1),
});

static_assert(std::is_sorted(kTable.begin(), kTable.end(),
                             [](const HeaderInfo& a, const HeaderInfo& b) {
                               return a.header < b.header;
                             }));

}  // namespace

std::int32_t replyWaitMs(ReplyWait wait) {
  switch (wait) {
    case ReplyWait::Short:
      return 200;
    case ReplyWait::Data:
      return 500;
    case ReplyWait::Gather:
      return 1200;
    case ReplyWait::Long:
      break;
  }
  return 8000;
}

std::span<const HeaderInfo> protocolTable() {
  return kTable;
}

const HeaderInfo* headerInfo(std::uint8_t header) {
  const auto it = std::lower_bound(
      kTable.begin(), kTable.end(), header,
      [](const HeaderInfo& entry, std::uint8_t value) { return entry.header < value; });
  return it != kTable.end() && it->header == header ? &*it : nullptr;
}

bool gathersAnswers(std::uint8_t header) {
  const HeaderInfo* info = headerInfo(header);
  return info && info->wait == ReplyWait::Gather;
}

// ---- Refusals carried as data, and replies that carry no data ---------------------------------

namespace {

constexpr auto kRefusals = std::to_array<RefusalReply>({
    {CYCLE_STACK, kStackerFault},
    {CYCLE_STACK, kStackerNotFitted},
    {ROUTE_BILL, kRouteEscrowEmpty},
    {ROUTE_BILL, kRouteFailed},
});

// Commands whose ACK some devices extend with data: a dispense may answer with its event
// counter, an emergency stop with the coins it did not pay.
constexpr std::uint8_t kAckWithCount[] = {HOPPER_DISPENSE_COINS, STOP_HOPPER};

}  // namespace

std::span<const RefusalReply> refusalReplies() {
  return kRefusals;
}

bool isRefusal(std::uint8_t header, std::span<const std::uint8_t> replyData) {
  if (replyData.size() != 1) return false;
  return std::any_of(kRefusals.begin(), kRefusals.end(), [&](const RefusalReply& r) {
    return r.header == header && r.data == replyData[0];
  });
}

bool replyCarriesNoData(std::uint8_t header) {
  const HeaderInfo* info = headerInfo(header);
  if (!info || !info->sent() || info->asksForData()) return false;
  return std::find(std::begin(kAckWithCount), std::end(kAckWithCount), header) ==
         std::end(kAckWithCount);
}

}  // namespace quennet
