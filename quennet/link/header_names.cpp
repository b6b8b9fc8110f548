#include "quennet/link/header_names.h"

#include <algorithm>
#include <array>

namespace quennet {

namespace {

struct HeaderName {
  std::uint8_t header;
  const char* name;
};

// Sorted by header for the binary search. Every header the command set sends is here, plus the
// neighbours a monitor meets on a bus with coin acceptors and hoppers.
constexpr std::array kHeaderNames = std::to_array<HeaderName>({
    {0, "Reply"},
    {1, "Reset device"},
    {2, "Request comms status variables"},
    {3, "Clear comms status variables"},
    {4, "Request comms revision"},
    {5, "NAK message"},
    {6, "BUSY message"},
    {136, "Store encryption code"},
    {137, "Switch encryption code"},
    {138, "Finish firmware upgrade"},
    {139, "Begin firmware upgrade"},
    {140, "Upload firmware"},
    {141, "Request firmware upgrade capability"},
    {142, "Finish bill table upgrade"},
    {143, "Begin bill table upgrade"},
    {144, "Upload bill tables"},
    {145, "Request currency revision"},
    {146, "Operate bi-directional motors"},
    {147, "Perform stacker cycle"},
    {148, "Read opto voltages"},
    {149, "Request individual error counter"},
    {150, "Request individual accept counter"},
    {151, "Test lamps"},
    {152, "Request bill operating mode"},
    {153, "Modify bill operating mode"},
    {154, "Route bill"},
    {155, "Request bill position"},
    {156, "Request country scaling factor"},
    {157, "Request bill id"},
    {158, "Modify bill id"},
    {159, "Read buffered bill events"},
    {160, "Request cipher key"},
    {161, "Pump RNG"},
    {162, "Modify inhibit and override registers"},
    {163, "Test hopper"},
    {164, "Enable hopper"},
    {165, "Modify variable set"},
    {166, "Request hopper status"},
    {167, "Dispense hopper coins"},
    {168, "Request hopper dispense count"},
    {169, "Request address mode"},
    {170, "Request base year"},
    {171, "Request hopper coin"},
    {172, "Emergency stop"},
    {180, "Request security setting"},
    {181, "Modify security setting"},
    {184, "Request coin id"},
    {192, "Request build code"},
    {196, "Request creation date"},
    {197, "Calculate ROM checksum"},
    {213, "Request option flags"},
    {216, "Request data storage availability"},
    {225, "Request accept counter"},
    {226, "Request insertion counter"},
    {227, "Request master inhibit status"},
    {228, "Modify master inhibit status"},
    {229, "Read buffered credit or error codes"},
    {230, "Request inhibit status"},
    {231, "Modify inhibit status"},
    {232, "Perform self-check"},
    {236, "Read opto states"},
    {237, "Read input lines"},
    {240, "Test solenoids"},
    {241, "Request software revision"},
    {242, "Request serial number"},
    {243, "Request database version"},
    {244, "Request product code"},
    {245, "Request equipment category id"},
    {246, "Request manufacturer id"},
    {247, "Request variable set"},
    {248, "Request status"},
    {249, "Request polling priority"},
    {250, "Address random"},
    {251, "Address change"},
    {252, "Address clash"},
    {253, "Address poll"},
    {254, "Simple poll"},
    {255, "Factory set-up and test"},
});

static_assert(std::is_sorted(kHeaderNames.begin(), kHeaderNames.end(),
                             [](const HeaderName& a, const HeaderName& b) {
                               return a.header < b.header;
                             }));

constexpr std::uint8_t kHeaderAck = 0;
constexpr std::uint8_t kHeaderNak = 5;
constexpr std::uint8_t kHeaderBusy = 6;

}  // namespace

QString headerName(std::uint8_t header) {
  const auto it = std::lower_bound(
      kHeaderNames.begin(), kHeaderNames.end(), header,
      [](const HeaderName& entry, std::uint8_t value) { return entry.header < value; });
  if (it != kHeaderNames.end() && it->header == header) return QString::fromLatin1(it->name);
  return QStringLiteral("Header %1").arg(header);
}

QString replyName(std::uint8_t header, int dataLength) {
  switch (header) {
    case kHeaderAck:
      return dataLength == 0 ? QStringLiteral("ACK") : QStringLiteral("Reply");
    case kHeaderNak:
      return QStringLiteral("NAK");
    case kHeaderBusy:
      return QStringLiteral("BUSY");
    default:
      return headerName(header);
  }
}

}  // namespace quennet
