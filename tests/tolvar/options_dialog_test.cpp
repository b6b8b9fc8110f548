#include <cmath>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include "tolvar/dialogs/frm_options.h"
#include "tolvar/mainwindow/services/scripted_ui_services.h"
#include "tolvar/mainwindow/settings/number_text.h"

namespace tolvar {
namespace {

const QString kWarning =
    QStringLiteral("WARNING! Polling Interval should lie between\r\n100 and 200 msecs");
const QString kExtraPort = QStringLiteral("/dev/pts/quennet-test");

HostSettings storedSettings() {
  HostSettings s;
  s.Commport = 3;
  s.PollInt = 200;
  s.ShwMsg = 1;
  s.SnglStp = false;
  s.MsgEcho = 0;
  return s;
}

bool sameSettings(const HostSettings& a, const HostSettings& b) {
  return a.Commport == b.Commport && a.PollInt == b.PollInt && a.ShwMsg == b.ShwMsg &&
         a.MsgEcho == b.MsgEcho && a.SnglStp == b.SnglStp && a.PortName == b.PortName;
}

class OptionsDialog : public ::testing::Test {
 protected:
  // Runs Set_Options with `user` acting on the shown dialog.
  bool run(const std::function<void(frmOptions&)>& user) {
    ui.queueDialog(user);
    return Set_Options(nullptr, ui, settings, {kExtraPort});
  }

  ScriptedUiServices ui;
  HostSettings settings = storedSettings();
};

TEST_F(OptionsDialog, OpensShowingTheStoredSettings) {
  bool seen = false;
  EXPECT_FALSE(run([&](frmOptions& d) {
    seen = true;
    EXPECT_EQ(d.windowTitle(), "Tolvar Options");
    EXPECT_EQ(d.cboCommPort->currentText(), "COM3");
    EXPECT_EQ(d.txtPollInterval->text(), "200");
    EXPECT_TRUE(d.chkShowDebug->isChecked());
    EXPECT_FALSE(d.chkSingleStep->isChecked());
    EXPECT_FALSE(d.chkEchoMessage->isChecked());
    QStringList entries;
    for (int i = 0; i < d.cboCommPort->count(); ++i) entries << d.cboCommPort->itemText(i);
    EXPECT_EQ(entries.mid(0, 4), (QStringList{"COM1", "COM2", "COM3", "COM4"}));
    EXPECT_EQ(entries.last(), kExtraPort);
    d.cmdCancel->click();
  }));
  EXPECT_TRUE(seen);
}

TEST_F(OptionsDialog, PollIntervalIsCheckedOnOK) {
  struct Case {
    QString typed;
    int accepted;  // 0: refused with the warning
  };
  const Case cases[] = {{"99", 0},       {"100", 100}, {"200", 200},  {"201", 0},
                        {"150abc", 150}, {"abc", 0},   {"", 0},       {"99.5", 100},
                        {"200.5", 200},  {"40000", 0}, {" 120 ", 120}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed.toStdString());
    ui.clearShown();
    settings = storedSettings();
    bool stayedOpen = false;
    const bool accepted = run([&](frmOptions& d) {
      d.txtPollInterval->setText(c.typed);
      d.cmdOK->click();
      stayedOpen = d.isVisible();
    });
    EXPECT_EQ(accepted, c.accepted != 0);
    EXPECT_EQ(stayedOpen, c.accepted == 0);
    if (c.accepted != 0) {
      EXPECT_EQ(settings.PollInt, c.accepted);
      EXPECT_TRUE(ui.shown().empty());
    } else {
      EXPECT_EQ(settings.PollInt, 200);
      ASSERT_EQ(ui.messages().size(), 1u);
      EXPECT_EQ(ui.messages()[0].text, kWarning);
      EXPECT_EQ(ui.messages()[0].title, "Set Options");
      EXPECT_EQ(ui.messages()[0].icon, MsgIcon::Exclamation);
      EXPECT_EQ(ui.messages()[0].buttons, MsgButtons::Ok);
    }
  }
}

TEST_F(OptionsDialog, AcceptedChoicesAreReadBack) {
  settings.PortName = QStringLiteral("/dev/ttyUSB9");  // not on this machine: nothing selected
  settings.Commport = 2;
  EXPECT_TRUE(run([](frmOptions& d) {
    d.cboCommPort->setCurrentIndex(1);
    d.txtPollInterval->setText("150");
    d.chkShowDebug->setChecked(false);
    d.chkSingleStep->setChecked(true);
    d.chkEchoMessage->setChecked(true);
    d.cmdOK->click();
  }));
  EXPECT_EQ(settings.Commport, 2);
  EXPECT_TRUE(settings.PortName.isEmpty());
  EXPECT_EQ(settings.PollInt, 150);
  EXPECT_EQ(settings.ShwMsg, 0);
  EXPECT_TRUE(settings.SnglStp);
  EXPECT_EQ(settings.MsgEcho, 1);
}

TEST_F(OptionsDialog, ChoosingADeviceNameKeepsThePortNumber) {
  EXPECT_TRUE(run([](frmOptions& d) {
    d.cboCommPort->setCurrentText(kExtraPort);
    d.cmdOK->click();
  }));
  EXPECT_EQ(settings.PortName, kExtraPort);
  EXPECT_EQ(settings.Commport, 3);

  // Opened again, the device is the selected entry.
  EXPECT_FALSE(run([](frmOptions& d) {
    EXPECT_EQ(d.cboCommPort->currentText(), kExtraPort);
    EXPECT_EQ(d.txtPollInterval->text(), "200");
  }));

  // A path typed key by key is taken as typed, never completed into a listed device, and is
  // the selected entry when the dialog opens again.
  const QString typed = QStringLiteral("/tmp/x");
  EXPECT_TRUE(run([&typed](frmOptions& d) {
    d.cboCommPort->lineEdit()->selectAll();
    for (const QChar c : typed) {
      QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QCoreApplication::sendEvent(d.cboCommPort->lineEdit(), &key);
    }
    d.cmdOK->click();
  }));
  EXPECT_EQ(settings.PortName, typed);
  EXPECT_FALSE(run([&typed](frmOptions& d) {
    EXPECT_EQ(d.cboCommPort->currentText(), typed);
    d.cmdCancel->click();
  }));
}

TEST_F(OptionsDialog, UnlistedStoredPortOpensUnfilledAndIsKept) {
  for (std::int16_t port : {std::int16_t{7}, std::int16_t{0}}) {
    SCOPED_TRACE(port);
    settings = storedSettings();
    settings.Commport = port;
    EXPECT_TRUE(run([](frmOptions& d) {
      EXPECT_EQ(d.cboCommPort->currentIndex(), -1);
      EXPECT_TRUE(d.txtPollInterval->text().isEmpty());
      EXPECT_FALSE(d.chkShowDebug->isChecked());
      d.txtPollInterval->setText("120");
      d.cmdOK->click();
    }));
    EXPECT_EQ(settings.Commport, port == 0 ? 1 : port);
    EXPECT_EQ(settings.PollInt, 120);
  }
}

TEST_F(OptionsDialog, CancelEscapeAndCloseBoxChangeNothing) {
  const std::function<void(frmOptions&)> endings[] = {
      [](frmOptions& d) { d.cmdCancel->click(); },
      [](frmOptions& d) {
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(&d, &esc);
      },
      [](frmOptions& d) { d.close(); },
      [](frmOptions& d) {
        // A refused interval first, then Cancel: the warning must not count as acceptance.
        d.txtPollInterval->setText("50");
        d.cmdOK->click();
        d.cmdCancel->click();
      }};
  for (const auto& ending : endings) {
    settings = storedSettings();
    bool closed = false;
    EXPECT_FALSE(run([&](frmOptions& d) {
      d.cboCommPort->setCurrentIndex(0);
      d.txtPollInterval->setText("150");
      d.chkShowDebug->setChecked(false);
      d.chkSingleStep->setChecked(true);
      d.chkEchoMessage->setChecked(true);
      ending(d);
      closed = !d.isVisible();
      EXPECT_TRUE(d.blnOptionsCancelled);
    }));
    EXPECT_TRUE(closed);
    EXPECT_TRUE(sameSettings(settings, storedSettings()));
  }
}

TEST(RoundedInRange, HalvesGoToEvenAndOutsideIsRefused) {
  EXPECT_EQ(roundedInRange(40.5, 0, 255), 40);
  EXPECT_EQ(roundedInRange(41.5, 0, 255), 42);
  EXPECT_EQ(roundedInRange(255.4, 0, 255), 255);
  EXPECT_EQ(roundedInRange(255.5, 0, 255), std::nullopt);
  EXPECT_EQ(roundedInRange(-0.5, 0, 255), 0);
  EXPECT_EQ(roundedInRange(-1, 0, 255), std::nullopt);
  EXPECT_EQ(roundedInRange(1e300, 0, 255), std::nullopt);
  EXPECT_EQ(roundedInRange(std::nan(""), 0, 255), std::nullopt);
}

TEST(RoundHalfEven, HalvesGoToEvenAndHugeValuesSaturate) {
  EXPECT_EQ(roundHalfEven(40.5), 40);
  EXPECT_EQ(roundHalfEven(41.5), 42);
  EXPECT_EQ(roundHalfEven(-7.5), -8);
  // A 300-digit address typed into a box must not reach an undefined conversion.
  EXPECT_EQ(roundHalfEven(1e300), 9'000'000'000'000'000);
  EXPECT_EQ(roundHalfEven(-1e300), -9'000'000'000'000'000);
  EXPECT_EQ(roundHalfEven(std::nan("")), 0);
}

}  // namespace
}  // namespace tolvar
