#pragma once
// Polling the validator's event buffer, decoding the newest event and routing an escrowed note.

#include <cstdint>

namespace tolvar {

class frmHost;

// Route codes of RouteBill and the "no request waiting" marker.
enum RouteCode : std::uint8_t {
  kRouteReturn = 0,
  kRouteStack = 1,
  kRouteHold = 255,
  kRouteNone = 2,
};

class Polling {
 public:
  explicit Polling(frmHost& host);

  // "Poll_BNV": `pressed` is the button's state after the click.
  void TogglePolling(bool pressed);
  // One tmrPoll tick: the pending route request if any, else a poll.
  void tick();
  std::int16_t PollEvents();
  std::int16_t RouteNote(std::uint8_t route);
  // Escrow buttons.
  void escrowPressed(std::uint8_t route);

  bool polling() const;
  std::uint8_t pendingRoute() const { return bytPendingRoute_; }
  void dropPendingRoute() { bytPendingRoute_ = kRouteNone; }
  std::uint8_t lastEventCount() const { return bytLastEventCount_; }

 private:
  void stopTimer();
  void showNewestEvent(std::uint8_t a, std::uint8_t b);
  // The address to poll: txtAddress when it holds a whole number 0..255, else the last good one.
  std::uint8_t pollAddress();

  frmHost& host_;
  std::uint8_t bytPendingRoute_ = kRouteNone;
  std::uint8_t bytLastEventCount_ = 0;
  std::uint8_t lastGoodAddress_ = 40;
};

}  // namespace tolvar
