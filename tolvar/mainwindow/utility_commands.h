#pragma once
// The commands of the utility and diagnostic toolbars: communication statistics, master
// inhibit, bill operating mode, bus addresses, motors, stacker and self test. Each makes one
// control call and shows the outcome in the main window's labels and status line.

#include <cstdint>

#include <QString>

namespace tolvar {

class frmHost;

class UtilityCommands {
 public:
  explicit UtilityCommands(frmHost& host);

  // Runs the procedure of a utility or diagnostic toolbar key; other keys are ignored.
  void handleKey(const QString& key);

  void ReadCommsStats();
  void ClearCommsStats();
  void ReadMasterInhibit();
  void WriteMasterInhibit(std::uint8_t value);
  void ReadBillMode();
  void WriteBillMode();
  void PollAddresses();
  void PollAddressClash();
  void ChangeSlaveAddress();
  void RandomizeSlaveAddress();
  void DriveMotors(std::uint8_t first, std::uint8_t second);
  void TestStacker();
  void RunValidatorSelfTest();

 private:
  // Checks the address box and clears the display; false: nothing may be sent.
  bool begin(std::uint8_t& device);
  void listAddresses(bool clash);
  // "BNV Reply: " and the reply text in the status line, then the frames in the debug boxes.
  void finish(const QString& reply);

  frmHost& host_;
};

}  // namespace tolvar
