#pragma once
// The test bench's main window: one control instance, the settings file, the services every
// command runs around its control call, and the toolbars that start the commands.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include "tolvar/mainwindow/host_settings.h"
#include "tolvar/mainwindow/key_code.h"
#include "tolvar/mainwindow/ui_services.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;
class QTreeWidget;
class zav_quennet;

namespace tolvar {

class DataViews;
class HostCommands;
class HostToolBar;
class NoteEnabling;
class Polling;
class TrafficDock;
class UiControlMessages;
class UtilityCommands;

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

  // Checks txtAddress and applies the encryption switch and key; false: refused (its message
  // shown), the caller sends nothing.
  bool ApplyDetails(std::uint8_t& address);
  // Normalises `key` in place; false with the message shown when it holds a non-digit.
  bool ValidateKeyCode(QString& key, KeyBytes& keyBytes);
  void LoadKeyCode(const KeyBytes& keyBytes);
  void ClearDisplay();
  void ShowDebug();
  void setStatusText(const QString& panel1);
  QString statusText() const;
  // Writes "tolvar.ini" from the window's present state; false after the error box.
  bool WriteSettings();

  Polling& polling() { return *polling_; }
  DataViews& dataViews() { return *dataViews_; }
  NoteEnabling& noteEnabling() { return *noteEnabling_; }
  // The traffic pane and event history, hidden until F9 shows them.
  TrafficDock* trafficDock() { return trafficDock_; }

  // Window controls, named as on the form.
  HostToolBar* tlbHost;
  HostToolBar* tlbEnable;
  HostToolBar* tlbUtility;
  HostToolBar* tlbDiagnostic;
  QLabel* Picture1;
  QGroupBox* fraDetails;
  std::array<QLabel*, 14> lblCaption{};
  QLineEdit* txtAddress;
  QCheckBox* chkEncrpyt;
  QLineEdit* txtEncKey;
  QLabel* lblEvent;
  QTreeWidget* lstvwEventBuffer;
  QTreeWidget* lstViewUnitData;
  QTreeWidget* lstvwNoteID;
  QWidget* fraNote;
  QPushButton* cmdStack;
  QPushButton* cmdReturn;
  QPushButton* cmdHoldNote;
  QLabel* lblMasterInh;
  QLabel* lblBillMode[2]{};
  QLabel* lblBillCount[2]{};
  QGroupBox* fraDebug;
  QRadioButton* optHex;
  QRadioButton* optAscii;
  QPlainTextEdit* txtCommand;
  QPlainTextEdit* txtReply;
  QLabel* lblScaleFactor;
  QLabel* lblDecPlaces;
  QLabel* lblCommsData[3]{};
  zav_quennet* zav_quennet1;
  std::array<QLabel*, 4> staHost{};  // status bar panels 1 to 4
  QTimer* tmrPoll;

  // No overlapping transactions: the control lets the event loop run while it waits for a
  // reply, so clicks and timer ticks can arrive mid-transaction. Only a transaction holds the
  // line: a dialog or a question box does not, and polling goes on behind it. Every command holds
  // a scope; a scope that cannot be acquired means a transaction is on the line. `showBusy` puts
  // up the busy pointer for as long as the scope lives.
  class CommandScope {
   public:
    explicit CommandScope(frmHost& host, bool showBusy = true);
    ~CommandScope();
    CommandScope(const CommandScope&) = delete;
    CommandScope& operator=(const CommandScope&) = delete;
    bool acquired() const { return acquired_; }

   private:
    frmHost& host_;
    bool acquired_ = false;
    bool showBusy_ = false;
  };
  // A transaction is on the line.
  bool commandRunning() const;
  // Runs `command` now when the line is free, else once the transaction on it has ended. One
  // command waits at a time; false when another already waits (`command` is dropped).
  bool whenLineFree(std::function<void()> command);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildForm();
  void buildToolBars();
  void buildStatusBar();
  void startUp();
  void connectHandlers();
  void onToolBarKey(HostToolBar* bar, const QString& key);
  void dispatchHostKey(const QString& key);
  void dispatchEnableKey(const QString& key);
  void toggleBar(HostToolBar* shown, const QString& key);
  void onEncryptionClicked();
  void refreshClock();
  void runWaitingCommand();
  // Input refused while another command waits for the line: a short beep, and a check button
  // flipped back.
  void refuseWhileBusy(HostToolBar* bar, const QString& key);

  UiServices& ui_;
  HostOptions options_;
  HostSettings settings_;
  std::unique_ptr<UiControlMessages> controlMessages_;
  std::unique_ptr<Polling> polling_;
  std::unique_ptr<DataViews> dataViews_;
  std::unique_ptr<NoteEnabling> noteEnabling_;
  std::unique_ptr<HostCommands> hostCommands_;
  std::unique_ptr<UtilityCommands> utilityCommands_;
  QTimer* clock_ = nullptr;
  TrafficDock* trafficDock_ = nullptr;
  std::function<void()> waitingCommand_;
  bool closed_ = false;
  QString userPortName_;
  QStringList namedPortsChosen_;
};

}  // namespace tolvar
