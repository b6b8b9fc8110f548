#include <gtest/gtest.h>

#include "control/control_fixture.h"
#include "quennet/control/ole_color_palette.h"
#include "quennet/link/quennet_error.h"

using namespace quennet;
using controltest::ScriptedControl;

namespace {

// Runs `let` and returns the run-time error number it raised, 0 when it raised none.
template <typename Let>
int errorOf(Let let) {
  try {
    let();
  } catch (const QuennetError& e) {
    return e.number();
  }
  return 0;
}

}  // namespace

TEST(ControlProperties, DefaultsAfterFirstPlacement) {
  ScriptedControl s;
  ControlCore& c = *s.control;
  EXPECT_EQ(c.ForeColor(), 0x8000000EU);
  EXPECT_FALSE(c.Enabled());
  EXPECT_EQ(c.BackColor(), 0x8000000DU);
  EXPECT_EQ(c.Settings(), QStringLiteral("9600,n,8,1"));
  EXPECT_EQ(c.CommPort(), 1);
  EXPECT_EQ(c.MessageTime(), 0);
  EXPECT_FALSE(c.MakeChksmError());
  EXPECT_FALSE(c.MakeTimeoutError());
  EXPECT_FALSE(c.CommsEcho());
  EXPECT_FALSE(c.Encryption());
  EXPECT_EQ(c.KeyCode(), 0);
  EXPECT_EQ(c.ChecksumType(), CHKSM_8BIT);
  EXPECT_EQ(c.HopperCode(), 15263748);
  EXPECT_TRUE(c.PortName().isEmpty());
  EXPECT_EQ(c.deviceName(), QStringLiteral("/dev/ttyS0"));
  EXPECT_FALSE(s.line->isOpen());
  EXPECT_TRUE(s.changed.isEmpty()) << "first placement is not a change";
}

TEST(ControlProperties, EveryAcceptedLetReportsItsProperty) {
  ScriptedControl s;
  ControlCore& c = *s.control;
  c.setForeColor(0x000000FF);
  EXPECT_EQ(c.ForeColor(), 0x000000FFU);
  c.setEnabled(true);
  EXPECT_EQ(c.ForeColor(), kColorInactiveCaptionText) << "Enabled shows its own colours";
  c.setBackColor(0x00FF0000);
  c.setSettings(QStringLiteral("19200,e,7,2"));
  c.setCommPort(2);
  c.setMakeChksmError(true);
  c.setMakeTimeoutError(true);
  c.setCommsEcho(true);
  c.setEncryption(true);
  c.setKeyCode(0x123456);
  c.setChecksumType(CHKSM_16BIT);
  c.setHopperCode(42);
  c.setPortName(QStringLiteral("/dev/ttyUSB0"));
  EXPECT_EQ(s.changed, (QStringList{"ForeColor", "Enabled", "BackColor", "Settings", "CommPort",
                                    "MakeChksmError", "MakeTimeoutError", "CommsEcho", "Encryption",
                                    "KeyCode", "ChecksumType", "HopperCode", "PortName"}));
  EXPECT_EQ(c.BackColor(), 0x00FF0000U);
  EXPECT_EQ(c.Settings(), QStringLiteral("19200,e,7,2"));
  EXPECT_EQ(c.CommPort(), 2);
  EXPECT_EQ(c.HopperCode(), 42);
  EXPECT_EQ(c.PortName(), QStringLiteral("/dev/ttyUSB0"));
  EXPECT_EQ(s.line->deviceName(), QStringLiteral("/dev/ttyUSB0"));
  EXPECT_TRUE(c.Enabled());
}

TEST(ControlProperties, RefusedLetsRaiseTheirNumberAndChangeNothing) {
  ScriptedControl s;
  ControlCore& c = *s.control;
  c.setUserMode(false);  // design environment
  EXPECT_EQ(errorOf([&] { c.setMessageTime(5); }), kErrSetNotPermitted);
  EXPECT_EQ(errorOf([&] { c.setMakeChksmError(true); }), kErrSetNotPermitted);
  EXPECT_EQ(errorOf([&] { c.setMakeTimeoutError(true); }), kErrSetNotPermitted);
  EXPECT_EQ(errorOf([&] { c.setKeyCode(0x123456); }), kErrSetNotPermitted);
  EXPECT_EQ(errorOf([&] { c.setKeyCode(-1); }), kErrSetNotPermitted) << "mode is checked first";
  EXPECT_FALSE(c.MakeChksmError());
  EXPECT_FALSE(c.MakeTimeoutError());
  EXPECT_EQ(c.KeyCode(), 0);
  EXPECT_EQ(c.keyDigits(), KeyDigits{});
  // The rest are design-time properties.
  EXPECT_EQ(errorOf([&] { c.setCommsEcho(true); }), 0);
  EXPECT_EQ(errorOf([&] { c.setChecksumType(CHKSM_16BIT); }), 0);
  EXPECT_EQ(s.changed, (QStringList{"CommsEcho", "ChecksumType"}));

  c.setUserMode(true);
  EXPECT_EQ(errorOf([&] { c.setMessageTime(5); }), kErrSetNotSupportedAtRuntime);
  EXPECT_EQ(c.MessageTime(), 0);
  EXPECT_EQ(errorOf([&] { c.setSettings(QStringLiteral("fast,n,8,1")); }), 380);
  EXPECT_EQ(c.Settings(), QStringLiteral("9600,n,8,1"));
  EXPECT_EQ(s.changed.size(), 2);
}

TEST(ControlProperties, KeyCodeDerivesDigitsAndRefusesNegativeCodes) {
  ScriptedControl s;
  ControlCore& c = *s.control;
  c.setKeyCode(0x582604);
  EXPECT_EQ(c.keyDigits(), (KeyDigits{4, 0, 6, 2, 8, 5}));
  try {
    c.setKeyCode(-7);
    ADD_FAILURE() << "a negative key code was accepted";
  } catch (const QuennetError& e) {
    EXPECT_EQ(e.number(), kErrInvalidProcedureCall);
  }
  EXPECT_EQ(c.KeyCode(), 0x582604);
  EXPECT_EQ(c.keyDigits(), (KeyDigits{4, 0, 6, 2, 8, 5}));
  EXPECT_EQ(s.changed, QStringList{"KeyCode"});
}

TEST(ControlProperties, LinkPropertiesShapeTheFramesSent) {
  ScriptedControl s;
  ControlCore& c = *s.control;
  c.setEnabled(true);
  QString reply;
  c.SendPoll(2, reply);
  EXPECT_EQ(s.line->writtenLog(), QByteArray("\x02\x00\x01\xFE\xFF", 5));

  s.line->clearLog();
  c.setMakeChksmError(true);
  c.SendPoll(2, reply);
  EXPECT_NE(s.line->writtenLog().back(), '\xFF') << "checksum fault not injected";

  s.line->clearLog();
  c.setMakeChksmError(false);
  c.setChecksumType(CHKSM_16BIT);
  c.SendPoll(2, reply);
  // 2,0,CRC low,254,CRC high with the CRC 0x60B1 of 2,0,254.
  EXPECT_EQ(s.line->writtenLog(), QByteArray("\x02\x00\xB1\xFE\x60", 5));

  c.setCommsEcho(true);
  EXPECT_EQ(c.SendPoll(2, reply), kResultTimeout);
  EXPECT_EQ(c.labelState().caption, QStringLiteral("Timeout Error [-5]"));
}

TEST(ControlProperties, OleColoursMapToTheScheme) {
  QPalette scheme;
  scheme.setColor(QPalette::Active, QPalette::Highlight, QColor(1, 2, 3));
  scheme.setColor(QPalette::Active, QPalette::HighlightedText, QColor(4, 5, 6));
  scheme.setColor(QPalette::Active, QPalette::Mid, QColor(7, 8, 9));
  scheme.setColor(QPalette::Active, QPalette::Light, QColor(10, 11, 12));
  EXPECT_EQ(oleColorToQColor(0x8000, scheme), QColor(0, 128, 0));
  EXPECT_EQ(oleColorToQColor(0x00332211, scheme), QColor(0x11, 0x22, 0x33));
  EXPECT_EQ(oleColorToQColor(kColorHighlight, scheme), QColor(1, 2, 3));
  EXPECT_EQ(oleColorToQColor(kColorHighlightText, scheme), QColor(4, 5, 6));
  EXPECT_EQ(oleColorToQColor(kColorInactiveCaption, scheme), QColor(7, 8, 9));
  EXPECT_EQ(oleColorToQColor(kColorInactiveCaptionText, scheme), QColor(10, 11, 12));
}
