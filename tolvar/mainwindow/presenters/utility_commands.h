#pragma once
// The commands of the utility and diagnostic toolbars: communication statistics, master
// inhibit, bill operating mode, address change, motors, stacker and self test. Each makes one
// control call and shows the outcome in the panes' labels and the status line.

#include <cstdint>

#include <QObject>
#include <QString>

namespace tolvar {

class CountersPane;
class EventPane;
class LineTurn;
class StatisticsPane;

class UtilityCommands : public QObject {
  Q_OBJECT

 public:
  UtilityCommands(LineTurn& turn, StatisticsPane& statistics, CountersPane& counters,
                  EventPane& events);

  void ReadCommsStats();
  void ClearCommsStats();
  void ReadMasterInhibit();
  // The same read without a reply of its own: after a reset, whose reply stays shown.
  void refreshMasterInhibit();
  void WriteMasterInhibit(std::uint8_t value);
  // What a command the device acknowledged set, whoever sent it: the master inhibit status
  // (bit 0 set: notes taken) and the bill operating mode.
  void showMasterInhibit(std::uint8_t status);
  void showBillMode(std::uint8_t mode);
  void ReadBillMode();
  void WriteBillMode();
  void ChangeSlaveAddress();
  void RandomizeSlaveAddress();
  void DriveMotors(std::uint8_t first, std::uint8_t second);
  void TestStacker();
  void RunValidatorSelfTest();

 private:
  LineTurn& turn_;
  StatisticsPane& statistics_;
  CountersPane& counters_;
  EventPane& events_;
};

}  // namespace tolvar
