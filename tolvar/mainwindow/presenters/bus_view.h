#pragma once
// The bus's addresses: an address poll or an address clash collects every device's answer, the
// reply line shows them as the utility bar always has, and the Bus View lists them with what
// each device says it is. A device picked there is the one the bench's commands go to.

#include <QObject>

namespace tolvar {

class BusViewPane;
class DetailsPane;
class LineTurn;

class BusView : public QObject {
  Q_OBJECT

 public:
  BusView(LineTurn& turn, BusViewPane& pane, DetailsPane& details);

  // Run on the line: an address poll (or an address clash), then one equipment category request
  // to each address that one device answered.
  ///@{
  void PollAddresses() { collect(false); }
  void PollAddressClash() { collect(true); }
  ///@}
  // The bench's commands go to `address` from now on: it is put into the address box.
  void talkTo(int address);

 signals:
  // The user picked another device to talk to: its commands go there from now on.
  void talkingTo(int address);

 private:
  void collect(bool clash);
  // The address box's address, marked in the pane.
  void markCurrent();

  LineTurn& turn_;
  BusViewPane& pane_;
  DetailsPane& details_;
};

}  // namespace tolvar
