#pragma once
// What an operator does to the virtual devices by hand (a note in the bezel, the cash box out,
// the line spoiled) as typed calls on a running simulator. Each call says what was done in the
// words of the console line that does the same ("insert 2") and what the devices made of it
// ("ok: GB0010A held in escrow"), so the console and the bench's Virtual Validator pane, both
// clients of these calls, say the same.

#include <cstdint>
#include <optional>

#include <QString>
#include <QStringList>

#include "bnvsim/simulator.h"

namespace bnvsim {

// The longest reply delay and escrow hold time the simulator takes: ten minutes.
inline constexpr int kMaxSettingMs = 600000;

std::optional<Fault> faultFromName(const QString& name);
// The fault kinds by name, in the order of Fault.
QStringList faultNames();
// "silent, busy, nak, badcrc, truncated, noise, late, noecho, twice, busylate, echonoise,
// echohost, wronglength"
QString faultNameList();
// The faults in force as the status line names them: "busy x2, noise p=0.25, self test 39", or
// "none".
QString faultsText(const ActiveFaults& active);
// A finite probability in 0..1 ("nan" and "inf" are not).
std::optional<double> probabilityFromText(const QString& text);
// Milliseconds in 0..`most`.
std::optional<int> millisecondsFromText(const QString& text, int most);

struct Done {
  QString action;  // the console line that does the same
  QString answer;  // what the operator is told
};

// The console's forms of the actions that take values, as a refusal names them.
inline constexpr char kFaultForm[] = "fault KIND [COUNT 0..1000] or fault clear";
inline constexpr char kProbabilityForm[] = "probability KIND P (0..1)";
inline constexpr char kKeyForm[] = "key DIGITS (six decimal digits)";
inline constexpr char kDelayForm[] = "delay MS (0..600000)";
inline constexpr char kBusyForm[] = "busy ADDRESS N (N 0..1000)";
inline constexpr char kSlowResetForm[] = "slowreset ADDRESS [MS 0..600000]";

// "usage: FORM", the answer to a line or a value that cannot be run.
QString usageAnswer(const char* form);

class Operator {
 public:
  explicit Operator(Simulator& simulator) : simulator_(simulator) {}

  // A note into the validator's bezel, by position; a position without a note is refused by the
  // validator as a note it does not know.
  Done insertNote(int position);
  // A note this validator does not know: the first position that holds none.
  Done insertUnknownNote();
  // A coin by position at the coin acceptor, when one is on the bus.
  Done insertCoin(int position);
  Done removeCashBox();
  // Back, emptied.
  Done insertCashBox();
  Done jam();
  // A note pulled back on a string.
  Done cheat();
  Done stackerFull();
  // The next note stacked reaches the cash box, and the validator resets before its stacked
  // event is written.
  Done brownOut();
  // Every device back as at power-up: all notes inhibited, events 0.
  Done powerCycle();
  // The fault code the self test reports (0: no fault).
  Done setSelfTestCode(std::uint8_t code);
  // The next `count` replies spoiled this way (1..kMaxQueuedFaults); 0 clears this kind, queued
  // and random.
  Done spoilReplies(Fault fault, int count);
  // Any reply spoiled this way with `probability` (0..1).
  Done spoilAtRandom(Fault fault, double probability);
  // Every fault, queued and random, and the self-test code.
  Done clearFaults();
  Done setEcho(bool on);
  Done setCrc(bool on);
  Done setEncryption(bool on);
  Done setPacing(bool on);
  // Six decimal digits; anything else is refused and changes nothing.
  Done setKey(const QString& digits);
  // 0..kMaxSettingMs; anything else is refused and changes nothing.
  Done setReplyDelay(int ms);
  // The device at `address` answers BUSY to its next `count` commands (0..kMaxQueuedFaults).
  Done answerBusy(int address, int count);
  // The device at `address` is silent for `ms` (0..kMaxSettingMs) after it acknowledges a reset.
  Done slowReset(int address, int ms);

 private:
  Done setSwitch(const char* word, bool LineOptions::*flag, bool on);

  Simulator& simulator_;
};

}  // namespace bnvsim
