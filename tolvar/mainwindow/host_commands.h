#pragma once
// The host bar's own commands: simple poll, reset, key change and save, options, about.

namespace tolvar {

class frmHost;

class HostCommands {
 public:
  explicit HostCommands(frmHost& host) : host_(host) {}

  void SendSimplePoll();
  void ResetValidator();
  void ChangeKeyCode();
  void SaveKeyCode();
  void ShowOptions();
  void ShowAbout();

 private:
  frmHost& host_;
};

}  // namespace tolvar
