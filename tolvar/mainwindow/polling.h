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

  // What became of a route request.
  enum class RouteOutcome {
    NotSent,   // the address or key was refused; its message has been shown
    Accepted,  // the validator answered ACK
    Refused,   // the validator answered, but did not route: NAK, "Cannot Route Note" ...
    NoAnswer,  // BUSY, a time-out or a broken reply: worth trying again
  };
  RouteOutcome RouteNote(std::uint8_t route);
  // Escrow buttons.
  void escrowPressed(std::uint8_t route);

  bool polling() const;
  std::uint8_t pendingRoute() const { return bytPendingRoute_; }
  void dropPendingRoute();
  // The pending request's button stays pressed in until the request has gone out.
  void showPendingRoute();
  std::uint8_t lastEventCount() const { return bytLastEventCount_; }

 private:
  void stopTimer();
  void sendPendingRoute();
  void showNewestEvent(std::uint8_t a, std::uint8_t b);
  // The address to poll: txtAddress when it holds a whole number 0..255, else the last good one.
  std::uint8_t pollAddress();

  frmHost& host_;
  std::uint8_t bytPendingRoute_ = kRouteNone;
  std::uint8_t bytLastEventCount_ = 0;
  std::uint8_t lastGoodAddress_ = 40;
  // A tick whose message box is still open: the ticks it lets through are skipped.
  bool ticking_ = false;
};

}  // namespace tolvar
