#pragma once
// Random text typed into Tolvar's address and key boxes, then the details applied as every
// command applies them: the window either refuses with one message or sends to the address the
// box now shows, with the key the key box now shows.

#include <random>

#include <QString>

namespace tolvar {
class frmHost;
class ScriptedUiServices;
}  // namespace tolvar

namespace soak {

struct BoxOutcome {
  bool accepted = false;
  bool probed = false;  // a poll went to the accepted address
  QString detail;       // empty when handled right
};

struct BoxTally {
  int typed = 0;
  int accepted = 0;
  int refused = 0;
  int wrong = 0;
  void add(const BoxOutcome& outcome);
};

class BoxTyper {
 public:
  BoxTyper(tolvar::frmHost& host, tolvar::ScriptedUiServices& ui, std::mt19937& random)
      : host_(host), ui_(ui), random_(random) {}
  BoxOutcome typeOnce();

 private:
  QString randomText();
  QString checkAccepted(std::uint8_t address, bool encrypt);
  bool restore();

  tolvar::frmHost& host_;
  tolvar::ScriptedUiServices& ui_;
  std::mt19937& random_;
};

}  // namespace soak
