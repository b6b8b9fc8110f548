#pragma once
// The test bench's main window: one control instance, the settings file, the toolbars built from
// one table of their buttons and what each does, the status bar, and the panes and presenters it
// puts together.

#include <array>
#include <functional>
#include <memory>
#include <span>

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include "tolvar/mainwindow/services/ui_services.h"
#include "tolvar/mainwindow/settings/host_settings.h"

class QAction;
class QDockWidget;
class QLabel;
class QMenu;
class QTimer;
class zav_quennet;

namespace tolvar {

class BusView;
class BusViewDock;
class CommandConsoleDock;
class CountersPane;
class DataViews;
class DebugPane;
class DetailsPane;
class EventPane;
class HostCommands;
class HostToolBar;
class LineTurn;
class NoteEnabling;
class NoteListPane;
class Polling;
class ScriptRunDock;
class StatisticsPane;
class TrafficDock;
class UiControlMessages;
class UnitDataPane;
class UtilityCommands;
class VirtualValidatorDock;

// How the program was started.
struct HostOptions {
  QString settingsPath;   // the resolved "tolvar.ini"
  QString simulatedPort;  // --simulate: the virtual validator's device, never saved
};

class frmHost : public QMainWindow {
  Q_OBJECT

 public:
  frmHost(UiServices& ui, HostOptions options, QWidget* parent = nullptr);
  ~frmHost() override;

  zav_quennet* control() { return zav_quennet1; }
  UiServices& ui() { return ui_; }
  HostSettings& settings() { return settings_; }
  const QString& settingsPath() const { return options_.settingsPath; }
  bool simulated() const { return !options_.simulatedPort.isEmpty(); }
  QString simulatedPort() const { return options_.simulatedPort; }
  // The port the user chose last (from the file or the options dialog), never the simulated one;
  // this is what the settings file keeps.
  const QString& userPortName() const { return userPortName_; }
  // Named devices the user has chosen in this run (or the file named), oldest first: the options
  // dialog keeps offering them when the machine no longer lists them.
  const QStringList& namedPortsChosen() const { return namedPortsChosen_; }
  // Moves the control to the port the settings name at once.
  void applyPortSettings();

  // Panel 1 of the status bar: the last reply or why nothing was sent.
  QString statusText() const;
  // Writes "tolvar.ini" from the window's present state; false after the error box.
  bool WriteSettings();

  LineTurn& lineTurn() { return *lineTurn_; }
  Polling& polling() { return *polling_; }
  DataViews& dataViews() { return *dataViews_; }
  NoteEnabling& noteEnabling() { return *noteEnabling_; }
  // The traffic pane and event history, hidden until F9 shows them.
  TrafficDock* trafficDock() { return trafficDock_; }
  // The command console, hidden until F7 shows it.
  CommandConsoleDock* consoleDock() { return consoleDock_; }
  // Script Run, hidden until F5 shows it.
  ScriptRunDock* scriptDock() { return scriptDock_; }
  // The devices on the bus, hidden until F6 or an address poll shows it.
  BusViewDock* busViewDock() { return busViewDock_; }
  // A dock beside the form (the Virtual Validator), listed in the View menu.
  void addSideDock(QDockWidget* dock);
  // The built-in validator's dock, told which port the bench is on.
  void addVirtualValidator(VirtualValidatorDock* dock);
  // "Open Port /dev/ttyUSB0" or "Close Port ...": the port's state flipped, as the double-click
  // on the status label does.
  QAction* portAction() { return portAction_; }

 signals:
  // The port was opened, closed or changed: `device` is its name now.
  void portShown(const QString& device);

 protected:
  QMenu* createPopupMenu() override;

  void closeEvent(QCloseEvent* event) override;

 private:
  // The toolbars: every button of the four bars, one row each, with what a click does
  // (frm_host_toolbar.cpp).
  enum class Bar;
  enum class Turn;
  struct ToolBarRow;
  static std::span<const ToolBarRow> toolBarTable();

  void buildForm();
  void buildToolBars();
  void buildStatusBar();
  void startUp();
  void connectHandlers();
  void onToolBarKey(HostToolBar* bar, const QString& key);
  void toggleBar(HostToolBar* shown, const QString& key);
  void ShowOptions();
  void ShowAbout();
  void refreshClock();
  void buildMenus();
  // The port action's text and the window title name the port and its state.
  void showPort();
  // The form follows a command the device acknowledged (the ticks, the master inhibit, the bill
  // mode), and reads the device's state again after a restart.
  void followCommand(int header, const QByteArray& sent, const QByteArray& reply);
  void rereadDeviceState();
  // Without a dock shown the window is exactly as large as the form; with one it can be
  // resized, and the docks take the room.
  void fitToDocks();
  // Where the window opens (and its size with docks): the stored position when it can be seen
  // there, else centred on the primary screen.
  void placeWindow();
  void watchDock(QDockWidget* dock);
  // The whole window back on its screen, made smaller where it must be and may be.
  void keepOnScreen();
  // An address poll or an address clash, its answers shown in the Bus View.
  ///@{
  void PollAddresses();
  void PollAddressClash();
  ///@}
  void showBusView();
  // Input refused while another command waits for the line: a short beep, and a check button
  // flipped back.
  void refuseWhileBusy(HostToolBar* bar, const QString& key);

  UiServices& ui_;
  HostOptions options_;
  HostSettings settings_;
  std::unique_ptr<UiControlMessages> controlMessages_;
  zav_quennet* zav_quennet1;
  HostToolBar* tlbHost;
  HostToolBar* tlbEnable;
  HostToolBar* tlbUtility;
  HostToolBar* tlbDiagnostic;
  std::array<QLabel*, 4> staHost{};  // status bar panels 1 to 4
  DetailsPane* details_;
  EventPane* events_;
  UnitDataPane* unitData_;
  NoteListPane* notes_;
  CountersPane* counters_;
  DebugPane* debug_;
  StatisticsPane* statistics_;
  std::unique_ptr<LineTurn> lineTurn_;
  std::unique_ptr<Polling> polling_;
  std::unique_ptr<DataViews> dataViews_;
  std::unique_ptr<NoteEnabling> noteEnabling_;
  std::unique_ptr<HostCommands> hostCommands_;
  std::unique_ptr<UtilityCommands> utilityCommands_;
  std::unique_ptr<BusView> busView_;
  QTimer* clock_ = nullptr;
  TrafficDock* trafficDock_ = nullptr;
  CommandConsoleDock* consoleDock_ = nullptr;
  ScriptRunDock* scriptDock_ = nullptr;
  BusViewDock* busViewDock_ = nullptr;
  QAction* portAction_ = nullptr;
  QMenu* viewMenu_ = nullptr;
  bool closed_ = false;
  bool freshStart_ = true;
  QPoint storedPosition_;
  QString userPortName_;
  QStringList namedPortsChosen_;
};

}  // namespace tolvar
