#pragma once
// The ccTalk facts the library knows about each header, in one table: its name, the data a
// command sends with it, the data a reply carries and how long the host waits for that reply.
// The command methods, the bus client, the frame log and the monitor all read it from here.

#include <cstdint>
#include <span>

#include <QString>

#include "quennet/link/cctalk_codes.h"
#include "quennet/quennet_export.h"

namespace quennet {

/// Addresses: the host sends from 1 and every reply goes to 1; 0 reaches every device.
inline constexpr std::uint8_t kHostAddress = 1;
inline constexpr std::uint8_t kBroadcastAddress = 0;

/// Headers of an empty reply.
inline constexpr std::uint8_t kHeaderAck = 0;
inline constexpr std::uint8_t kHeaderNak = 5;
inline constexpr std::uint8_t kHeaderBusy = 6;
/// How a text command's Response names an empty ACK or NAK reply.
inline constexpr char kAckText[] = "ACK";
inline constexpr char kNakText[] = "NACK";  ///< see kAckText

/// How long the host waits for the reply to a header.
enum class ReplyWait : std::uint8_t {
  Short,   // an ACK or NAK: 200 ms
  Data,    // a reply with data: 500 ms
  Gather,  // loose one-byte answers of several devices (address poll, clash): 1200 ms
  Long,    // the stacker cycle: 8000 ms
};

/// The longest gap between two bytes of one frame; a receiver drops a partial frame after it.
inline constexpr int kInterByteGapMs = 50;

/// The wait in milliseconds; it covers the whole reply, echo included.
QUENNET_EXPORT std::int32_t replyWaitMs(ReplyWait wait);

/// One header. The data lengths are those of the command methods; a header the library never
/// sends has `requestData` kNotSent and no reply lengths.
struct HeaderInfo {
  static constexpr std::int16_t kNotSent = -1;  ///< `requestData` of a header never sent
  std::uint8_t header = 0;                      ///< the header number
  const char* name = "";                        ///< its name, as traces and the monitor show it
  std::int16_t requestData = kNotSent;          ///< data bytes the command sends
  /// Data bytes of a full reply (the size of the method's reply array), and the fewest that still
  /// answer the request; the two differ where devices send replies of different lengths.
  ///@{
  std::int16_t replyData = 0;
  std::int16_t replyLeast = 0;
  ///@}
  ReplyWait wait = ReplyWait::Short;  ///< how long the host waits for the reply
  /// The reply to this header always carries exactly `replyData` data bytes (a note's identity, a
  /// counter, the serial number ...): any other count is a wrong-length reply.
  bool fixedReply = false;

  /// True when the library sends this header.
  bool sent() const { return requestData != kNotSent; }
  /// True when the reply carries data (an ACK or NAK does not answer it).
  bool asksForData() const { return replyData > 0; }
  /// The data bytes every reply to this header carries; -1 where the count varies.
  int exactReplyData() const { return fixedReply ? replyData : -1; }
};

/// Every header the library knows, sorted by header.
QUENNET_EXPORT std::span<const HeaderInfo> protocolTable();
/// The header's row, or nullptr when the library does not know it.
QUENNET_EXPORT const HeaderInfo* headerInfo(std::uint8_t header);
/// True for the headers whose answers are loose bytes of several devices, gathered rather than
/// read as one frame (address poll and clash).
QUENNET_EXPORT bool gathersAnswers(std::uint8_t header);

// ---- Refusals carried as data, and replies that carry no data ---------------------------------

/// A reply to `header` whose only data byte is `data` refuses the command: one of the one-byte
/// refusals of protocol_events.h, sent in an ACK frame.
struct RefusalReply {
  std::uint8_t header = 0;  ///< the command refused
  std::uint8_t data = 0;    ///< the reply's one data byte
};

/// Every refusal the library knows, by header.
QUENNET_EXPORT std::span<const RefusalReply> refusalReplies();
/// True when the reply data to `header` is a refusal: result 0, but the device did not act.
QUENNET_EXPORT bool isRefusal(std::uint8_t header, std::span<const std::uint8_t> replyData);
/// True when a reply to `header` carries no data (an ACK or NAK, or a refusal above): other data
/// cannot be its answer. False for headers the library does not send, for data requests, and for
/// the few ACKs some devices extend with a count (hopper dispense, emergency stop).
QUENNET_EXPORT bool replyCarriesNoData(std::uint8_t header);

}  // namespace quennet
