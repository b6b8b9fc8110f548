#pragma once
// The options dialog: serial port, poll interval and the three display/line switches.

#include <QDialog>
#include <QStringList>

#include "tolvar/mainwindow/services/ui_services.h"
#include "tolvar/mainwindow/settings/host_settings.h"

class QCheckBox;
class QComboBox;
class QSpinBox;
class QLineEdit;
class QPushButton;

namespace tolvar {

class frmOptions : public QDialog {
  Q_OBJECT

 public:
  // `portNames` follow COM1 to COM4 in the port list (device names such as /dev/ttyUSB0).
  frmOptions(UiServices& ui, const QStringList& portNames, QWidget* parent = nullptr);

  // Puts the settings into the controls; nothing is filled when the stored port is not listed.
  void fill(const HostSettings& settings);
  // Reads the controls into `settings`; without a port choice the stored port stays.
  void readBack(HostSettings& settings) const;

  QComboBox* cboCommPort;
  QLineEdit* txtPollInterval;
  QCheckBox* chkShowDebug;
  QCheckBox* chkSingleStep;
  QCheckBox* chkEchoMessage;
  QComboBox* cboChecksum;     // the host link's frame check
  QSpinBox* spnReplyTimeout;  // ms; 0: the protocol's own waits
  QPushButton* cmdOK;
  QPushButton* cmdCancel;
  bool blnOptionsCancelled = true;

  // Esc and the close box end here as well as the Cancel button.
  void reject() override;

 private:
  void onOK();

  UiServices& ui_;
};

// The serial devices found on this machine, by device name.
QStringList machineSerialPorts();

// Runs the dialog modally through `ui` and returns true when the user accepted; the settings
// change only then.
bool Set_Options(QWidget* parent, UiServices& ui, HostSettings& settings,
                 const QStringList& extraPorts);

}  // namespace tolvar
