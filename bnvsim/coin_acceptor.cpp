#include "bnvsim/coin_acceptor.h"

#include <string_view>

#include "quennet/link/cctalk_codes.h"

namespace bnvsim {

namespace {

constexpr std::array<std::string_view, kCoinPositions> kCoins = {
    "GB001A", "GB002A", "GB005A", "GB010A", "GB020A", "GB050A", "GB100A", "GB200A",
    "......", "......", "......", "......", "......", "......", "......", "......"};

bool coinDefined(int position) {
  return position >= 1 && position <= kCoinPositions &&
         kCoins[static_cast<std::size_t>(position - 1)][0] != '.';
}

Identity acceptorIdentity() {
  return Identity{.equipmentCategory = "Coin Acceptor",
                  .manufacturer = "QNT",
                  .productCode = "QCA1",
                  .buildCode = "QCA-GB01",
                  .softwareRevision = "QCA v1.0.00",
                  .serialNumber = 420017,
                  .addressMode = 0x06};
}

}  // namespace

CoinAcceptor::CoinAcceptor(int address) : Device(address, acceptorIdentity()) {}

void CoinAcceptor::onReset() {
  credits_.clear();
  inhibits_ = Inhibits{};
}

void CoinAcceptor::insertCoin(int position) {
  ++inserted_;
  if (!coinDefined(position)) return credits_.add(0, kCoinRejected);
  if (!inhibits_.masterOpen() || !inhibits_.enabled(position)) {
    return credits_.add(0, kCoinInhibited);
  }
  ++accepted_;
  credits_.add(static_cast<std::uint8_t>(position), 0);
  ++acceptedAt_[static_cast<std::size_t>(position - 1)];
}

std::optional<Reply> CoinAcceptor::answer(std::uint8_t header, std::span<const std::uint8_t> data) {
  switch (header) {
    case quennet::GET_COIN_BUFFER:
      return Reply::bytes(credits_.replyBytes());
    case quennet::Request_Coin_ID:
      if (data.size() != 1 || data[0] < 1 || data[0] > kCoinPositions) return Reply::nak();
      return Reply::text(std::string(kCoins[static_cast<std::size_t>(data[0] - 1)]));
    case quennet::GET_ACCEPTANCE_CNTR:
      return Reply::bytes(counterBytes(accepted_));
    case quennet::GET_INSERTION_CNTR:
      return Reply::bytes(counterBytes(inserted_));
    default:
      if (auto common = coinDeviceAnswer(header, data)) return common;
      return inhibits_.answer(header, data);
  }
}

}  // namespace bnvsim
