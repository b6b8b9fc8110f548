#pragma once
// Polling the validator's event buffer, decoding the newest event and routing an escrowed note.

#include <array>
#include <cstdint>

#include <QObject>

#include "tolvar/mainwindow/panes/event_pane.h"

class QTimer;

namespace tolvar {

class DetailsPane;
struct EventDisplay;
class LineTurn;

class Polling : public QObject {
  Q_OBJECT

 public:
  // Polls the address in `details`; shows events and takes route requests in `events`.
  Polling(LineTurn& turn, DetailsPane& details, EventPane& events);

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
  // An escrow button, once the line is free.
  void escrowPressed(std::uint8_t route);
  // The validator was reset, or the port that led to it was lost: no note is left to route
  // (the next device on the line may be another one).
  void deviceReset();
  // The poll in progress reads the inhibit status after the event buffer (asked for while the
  // event buffer's reply is taken in).
  void askInhibitStatus() { askInhibits_ = true; }

  // Polls the device polled so far, whatever the address box says, until the user types an
  // address or starts polling again: another device picked to talk to is not polled for events.
  // Returns that address.
  std::uint8_t holdAddress();

  bool polling() const;
  QTimer* timer() { return tmrPoll_; }
  void stop();
  std::uint8_t pendingRoute() const { return bytPendingRoute_; }
  void dropPendingRoute();
  // The pending request's button stays pressed in until the request has gone out.
  void showPendingRoute();
  std::uint8_t lastEventCount() const { return bytLastEventCount_; }

 signals:
  // The timer started (true) or stopped (false): the poll button says what a click does next.
  void pollingChanged(bool polling);
  // A press of the poll button that did not start the timer: the button comes back out.
  void pollButtonReleased();
  // The event counter came back at 0: the validator was reset, powered up or replaced.
  void deviceRestarted();

 private:
  void onRoutePressed(std::uint8_t route);
  void sendPendingRoute();
  void showNewestEvent(std::uint8_t a, std::uint8_t b);
  void showEvent(const EventDisplay& shown);
  // The escrow buttons after new events: shown while a note is held, gone once it has left.
  void followEscrow(const std::array<std::uint8_t, 11>& buffer);
  // The address to poll: txtAddress when it holds a whole number 0..255, else the last good one.
  std::uint8_t pollAddress();

  LineTurn& turn_;
  DetailsPane& details_;
  EventPane& events_;
  QTimer* tmrPoll_;
  std::uint8_t bytPendingRoute_ = kRouteNone;
  std::uint8_t bytLastEventCount_ = 0;
  std::uint8_t lastGoodAddress_ = quennet::kValidatorAddress;
  bool held_ = false;
  // A tick whose message box is still open: the ticks it lets through are skipped.
  bool ticking_ = false;
  // A timer tick's poll: its reply does not cover a user command's result still being read.
  bool fromTimer_ = false;
  bool askInhibits_ = false;
};

}  // namespace tolvar
