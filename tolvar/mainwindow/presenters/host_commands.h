#pragma once
// The host bar's line commands: simple poll, reset, key change and save.

#include <QObject>

namespace tolvar {

class DetailsPane;
class LineTurn;

class HostCommands : public QObject {
  Q_OBJECT

 public:
  // A changed key is written into `details`.
  HostCommands(LineTurn& turn, DetailsPane& details) : turn_(turn), details_(details) {}

  void SendSimplePoll();
  void ResetValidator();
  void ChangeKeyCode();
  void SaveKeyCode();

 signals:
  // The validator took the reset.
  void deviceReset();

 private:
  LineTurn& turn_;
  DetailsPane& details_;
};

}  // namespace tolvar
