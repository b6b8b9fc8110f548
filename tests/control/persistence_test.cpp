#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "control/control_fixture.h"

using namespace quennet;
using controltest::RecordingBag;
using controltest::ScriptedControl;

namespace {

const QStringList kSavedOrder = {"ForeColor",  "BackColor",   "Enabled",        "Settings",
                                 "CommPort",   "MessageTime", "MakeChksmError", "MakeTimeoutError",
                                 "CommsEcho",  "Encryption",  "KeyCode",        "ChecksumType",
                                 "HopperCode", "PortName"};
const QStringList kRestoredOrder = {
    "ForeColor",   "Enabled",        "BackColor",        "Settings",  "CommPort",
    "MessageTime", "MakeChksmError", "MakeTimeoutError", "CommsEcho", "Encryption",
    "KeyCode",     "ChecksumType",   "HopperCode",       "PortName"};

QStringList prefixed(const QString& prefix, const QStringList& names) {
  QStringList out;
  for (const QString& name : names) out << prefix + name;
  return out;
}

// Sets every saved property away from its default.
void changeEverything(ControlCore& c) {
  c.setSettings(QStringLiteral("19200,e,7,2"));
  c.setCommPort(4);
  c.setMakeChksmError(true);
  c.setMakeTimeoutError(true);
  c.setCommsEcho(true);
  c.setEncryption(true);
  c.setKeyCode(0x582604);
  c.setChecksumType(CHKSM_16BIT);
  c.setHopperCode(99);
  c.setPortName(QStringLiteral("/dev/ttyUSB1"));
  c.setEnabled(true);
}

}  // namespace

TEST(ControlPersistence, SavesAndRestoresInTheirOrders) {
  ScriptedControl saved;
  RecordingBag bag;
  saved.control->WriteProperties(bag);
  EXPECT_EQ(bag.log, prefixed("w:", kSavedOrder));
  EXPECT_TRUE(bag.values().isEmpty()) << "defaults need not be stored";

  ScriptedControl restored;
  bag.log.clear();
  restored.control->ReadProperties(bag);
  EXPECT_EQ(bag.log, prefixed("r:", kRestoredOrder));
}

TEST(ControlPersistence, RoundTripKeepsEveryValue) {
  ScriptedControl first;
  changeEverything(*first.control);
  MemoryPropertyBag bag;
  first.control->WriteProperties(bag);

  ScriptedControl second;
  second.control->ReadProperties(bag);
  const ControlCore& c = *second.control;
  EXPECT_TRUE(c.Enabled());
  EXPECT_EQ(c.Settings(), QStringLiteral("19200,e,7,2"));
  EXPECT_EQ(c.CommPort(), 4);
  EXPECT_TRUE(c.MakeChksmError());
  EXPECT_TRUE(c.MakeTimeoutError());
  EXPECT_TRUE(c.CommsEcho());
  EXPECT_TRUE(c.Encryption());
  EXPECT_EQ(c.KeyCode(), 0x582604);
  EXPECT_EQ(c.ChecksumType(), CHKSM_16BIT);
  EXPECT_EQ(c.HopperCode(), 99);
  EXPECT_EQ(c.PortName(), QStringLiteral("/dev/ttyUSB1"));
  // The port opened once, on the saved device, not first on the platform name.
  EXPECT_EQ(second.line->log, QStringList{"open /dev/ttyUSB1"});
  EXPECT_EQ(c.labelState().toolTip, QStringLiteral("Comm Port 4 (/dev/ttyUSB1), 19200,e,7,2"));
  EXPECT_TRUE(second.messages.boxes.empty());
  EXPECT_TRUE(second.changed.isEmpty()) << "restoring is not a change";

  MemoryPropertyBag again;
  second.control->WriteProperties(again);
  EXPECT_EQ(again.values(), bag.values());
}

TEST(ControlPersistence, RestoredKeyCodeWaitsForARunTimeLet) {
  MemoryPropertyBag bag;
  bag.setValue(QStringLiteral("KeyCode"), 0x582604);
  ScriptedControl s;
  s.control->ReadProperties(bag);
  EXPECT_EQ(s.control->KeyCode(), 0x582604);
  EXPECT_EQ(s.control->keyDigits(), KeyDigits{});
  s.control->setKeyCode(s.control->KeyCode());
  EXPECT_EQ(s.control->keyDigits(), (KeyDigits{4, 0, 6, 2, 8, 5}));
}

TEST(ControlPersistence, RestoreShowsThePortStateInsteadOfSavedColours) {
  MemoryPropertyBag bag;
  bag.setValue(QStringLiteral("ForeColor"), 0x000000FFU);
  bag.setValue(QStringLiteral("BackColor"), 0x0000FF00U);
  ScriptedControl s;
  s.control->ReadProperties(bag);
  EXPECT_EQ(s.control->labelState().caption, QStringLiteral("Comms Disabled"));
  EXPECT_EQ(s.control->ForeColor(), kColorInactiveCaptionText);
  EXPECT_EQ(s.control->BackColor(), kColorInactiveCaption);

  MemoryPropertyBag saved;
  s.control->WriteProperties(saved);
  EXPECT_EQ(saved.values().value(QStringLiteral("ForeColor")).toUInt(), 0x80000013U);
  EXPECT_EQ(saved.values().value(QStringLiteral("BackColor")).toUInt(), 0x80000003U);
}

TEST(ControlPersistence, RestoreOnAnUnopenablePortFallsBackToPortOne) {
  MemoryPropertyBag bag;
  bag.setValue(QStringLiteral("Enabled"), true);
  bag.setValue(QStringLiteral("CommPort"), 3);
  ScriptedControl s;
  s.control->setDisplayName(QStringLiteral("zav_quennet1"));
  s.control->setMessageTitle(QStringLiteral("Tolvar"));
  s.line->setOpenFails(true);
  s.control->ReadProperties(bag);

  ASSERT_EQ(s.messages.boxes.size(), 1U);
  const controltest::Box& box = s.messages.boxes.front();
  EXPECT_EQ(box.text, QStringLiteral("zav_quennet1\nComms Port Error: 8002\nInvalid Port Number"));
  EXPECT_EQ(box.title, QStringLiteral("Tolvar"));
  EXPECT_EQ(box.icon, ControlMessages::Icon::Critical);
  EXPECT_EQ(s.control->CommPort(), 1);
  EXPECT_EQ(s.line->deviceName(), QStringLiteral("/dev/ttyS0"));
  EXPECT_FALSE(s.control->Enabled());
  // The label shows the failure, never "Comms Ready" over a closed port.
  EXPECT_EQ(s.control->labelState().caption, QStringLiteral("Comms Error: Invalid Port Number"));
  EXPECT_EQ(s.control->BackColor(), kColorInactiveCaption);
  // Asking again by the Enabled Let fails the same way.
  s.control->setEnabled(true);
  EXPECT_EQ(s.messages.boxes.size(), 2U);
  EXPECT_EQ(s.control->labelState().caption, QStringLiteral("Comms Error: Invalid Port Number"));

  // The wanted state survives: a later Enabled Let or save still says enabled.
  MemoryPropertyBag saved;
  s.control->WriteProperties(saved);
  EXPECT_TRUE(saved.values().value(QStringLiteral("Enabled")).toBool());
  EXPECT_FALSE(saved.values().contains(QStringLiteral("CommPort")));
}

TEST(ControlPersistence, SettingsBagKeepsTheStateInAnIniFile) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath(QStringLiteral("form.ini"));
  {
    ScriptedControl first;
    changeEverything(*first.control);
    QSettings ini(path, QSettings::IniFormat);
    SettingsPropertyBag bag(ini, QStringLiteral("zav_quennet1"));
    first.control->WriteProperties(bag);
  }
  QSettings ini(path, QSettings::IniFormat);
  EXPECT_FALSE(ini.contains(QStringLiteral("zav_quennet1/MessageTime")));
  EXPECT_TRUE(ini.contains(QStringLiteral("zav_quennet1/HopperCode")));
  SettingsPropertyBag bag(ini, QStringLiteral("zav_quennet1"));
  ScriptedControl second;
  second.control->ReadProperties(bag);
  EXPECT_EQ(second.control->CommPort(), 4);
  EXPECT_EQ(second.control->HopperCode(), 99);
  EXPECT_TRUE(second.control->CommsEcho());
  EXPECT_EQ(second.control->ChecksumType(), CHKSM_16BIT);
  EXPECT_EQ(second.control->PortName(), QStringLiteral("/dev/ttyUSB1"));
  EXPECT_TRUE(second.control->Enabled());
}
