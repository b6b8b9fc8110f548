#pragma once
// The bus's addresses: an address poll or an address clash collects every device's answer in
// every framing, the reply line shows them as the utility bar always has, and the Bus View lists
// them with the mode each answers in and what it says it is. A device picked there is the one the
// bench's commands go to.

#include <map>
#include <optional>

#include <QObject>

#include "quennet/commands/bus_scan.h"

namespace tolvar {

class BusViewPane;
class DetailsPane;
class LineTurn;

class BusView : public QObject {
  Q_OBJECT

 public:
  BusView(LineTurn& turn, BusViewPane& pane, DetailsPane& details);

  // Run on the line: an address poll (or an address clash) in every framing, then each address
  // that one device answered asked in each framing in turn (CRC-16, encrypted with the key box's
  // key, the 8-bit checksum) until it answers, and what it is.
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
  quennet::DeviceFraming benchFraming();
  // The key box's key, for devices that encrypt; none when the box holds no key.
  std::optional<quennet::KeyDigits> keyToTry() const;
  // The address box's address, marked in the pane.
  void markCurrent();

  LineTurn& turn_;
  BusViewPane& pane_;
  DetailsPane& details_;
  // The framing each device of the last collection answered in.
  std::map<int, quennet::DeviceFraming> framings_;
};

}  // namespace tolvar
