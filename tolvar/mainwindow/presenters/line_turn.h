#pragma once
// The line's turn: one command on the line at a time, a click that waits for it, and the steps
// every command runs around its control call (check the address and key, clear the last
// frames, send, then the reply in the status bar and the frames in the debug boxes).

#include <cstdint>
#include <functional>

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include "tolvar/mainwindow/presenters/key_code.h"
#include "tolvar/mainwindow/settings/host_settings.h"

class QLabel;
class zav_quennet;

namespace tolvar {

class DebugPane;
class DetailsPane;
class UiServices;

class LineTurn : public QObject {
  Q_OBJECT

 public:
  // `status` is the status bar's first panel.
  LineTurn(zav_quennet& control, UiServices& ui, const HostSettings& settings, DetailsPane& details,
           DebugPane& debug, QLabel& status);

  zav_quennet& control() { return control_; }
  UiServices& ui() { return ui_; }
  const HostSettings& settings() const { return settings_; }

  // No overlapping transactions: the control lets the event loop run while it waits for a
  // reply, so clicks and timer ticks can arrive mid-transaction. Only a transaction holds the
  // line: a dialog or a question box does not, and polling goes on behind it. Every command
  // runs inside a scope; a scope that cannot be acquired means a transaction is on the line.
  // `showBusy` puts up the busy pointer for as long as the scope lives.
  class Scope {
   public:
    explicit Scope(LineTurn& turn, bool showBusy = true);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    bool acquired() const { return acquired_; }

   private:
    LineTurn& turn_;
    bool acquired_ = false;
    bool showBusy_ = false;
  };
  // A command that runs step after step: the host bar is off and the pointer busy meanwhile.
  class LongRun {
   public:
    explicit LongRun(LineTurn& turn);
    ~LongRun();
    LongRun(const LongRun&) = delete;
    LongRun& operator=(const LongRun&) = delete;

   private:
    LineTurn& turn_;
  };

  // A transaction is on the line.
  bool running() const;
  // Runs `command` now when the line is free, else once the transaction on it has ended. One
  // command waits at a time; false when another already waits (`command` is dropped).
  bool whenFree(std::function<void()> command);
  // Input refused while another command waits for the line: a short beep.
  void refuse();

  // Checks txtAddress and applies the encryption switch and key; false: refused (its message
  // shown), the caller sends nothing.
  bool ApplyDetails(std::uint8_t& address);
  // The encryption switch and key as the boxes hold them now. `tell` false (a poll): a key
  // with a non-digit shows no box and leaves the last good key loaded.
  bool applyEncryption(bool tell);
  // Normalises `key` in place; false with the message shown when it holds a non-digit.
  bool ValidateKeyCode(QString& key, KeyBytes& keyBytes);
  void LoadKeyCode(const KeyBytes& keyBytes);
  // ApplyDetails, then ClearDisplay; false: nothing may be sent.
  bool begin(std::uint8_t& address);
  // Empty debug boxes and a reply line without a reply.
  void ClearDisplay();
  // The end of every command: the reply in the status bar, then the frames in the debug boxes.
  void showReply(const QString& reply);
  // A timer poll's reply: shown unless a command's result came less than kReplyHoldMs ago, so
  // polling does not wipe that result before it can be read (the traffic pane keeps both).
  void showPollReply(const QString& reply);
  static constexpr int kReplyHoldMs = 4000;
  void ShowDebug();

  void setStatusText(const QString& text);
  QString statusText() const;

 signals:
  void longRunChanged(bool running);

 private:
  // "BNV Reply: " and the reply, or why nothing was sent when the port is closed.
  QString replyLine(const QString& reply) const;
  void runWaitingCommand();

  zav_quennet& control_;
  UiServices& ui_;
  const HostSettings& settings_;
  DetailsPane& details_;
  DebugPane& debug_;
  QLabel& status_;
  std::function<void()> waitingCommand_;
  QElapsedTimer replyShown_;
};

}  // namespace tolvar
