// Note enabling, country mask and scale, counters and security against the virtual validator.
#include <QLabel>
#include <QTreeWidget>

#include "tests/tolvar/bench_fixture.h"
#include "tolvar/mainwindow/presenters/note_enabling.h"

using tolvar::frmHost;

class NoteBench : public BenchOnSimulator {
 protected:
  frmHost& openWithNoteTable() {
    frmHost& w = open();
    click("tlbHost", "Note_Data");
    EXPECT_EQ(named<QTreeWidget>(w, "lstvwNoteID")->topLevelItemCount(), 16);
    return w;
  }
  void tick(frmHost& w, std::initializer_list<int> notes) {
    for (int i = 0; i < 16; ++i)
      named<QTreeWidget>(w, "lstvwNoteID")->topLevelItem(i)->setCheckState(0, Qt::Unchecked);
    for (int note : notes)
      named<QTreeWidget>(w, "lstvwNoteID")->topLevelItem(note - 1)->setCheckState(0, Qt::Checked);
  }
  std::vector<int> ticked(frmHost& w) {
    std::vector<int> notes;
    for (int i = 0; i < 16; ++i) {
      if (named<QTreeWidget>(w, "lstvwNoteID")->topLevelItem(i)->checkState(0) == Qt::Checked)
        notes.push_back(i + 1);
    }
    return notes;
  }
  using Mask = std::array<std::uint8_t, 2>;
};

TEST_F(NoteBench, SelectedNotesBecomeTheMask) {
  frmHost& w = open();
  click("tlbEnable", "Enable_N");  // no note table yet: everything enabled
  EXPECT_EQ(sim.inhibitMask(), (Mask{0xFF, 0xFF}));
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  click("tlbHost", "Note_Data");
  tick(w, {1, 8, 9, 16});
  click("tlbEnable", "Enable_N");
  EXPECT_EQ(sim.inhibitMask(), (Mask{0x81, 0x81}));
  tick(w, {3});
  click("tlbEnable", "Enable_N");
  EXPECT_EQ(sim.inhibitMask(), (Mask{0x04, 0x00}));
  tick(w, {});
  click("tlbEnable", "Enable_N");
  EXPECT_EQ(sim.inhibitMask(), (Mask{0x00, 0x00}));
  click("tlbEnable", "Enable_All");
  EXPECT_EQ(sim.inhibitMask(), (Mask{0xFF, 0xFF}));
  // Every note is ticked; positions 15 and 16 hold none and stay clear.
  EXPECT_EQ(ticked(w).size(), 14u);
}

TEST_F(NoteBench, ShowEnabledTicksTheValidatorsMask) {
  frmHost& w = open();
  click("tlbEnable", "Show_Enabled");
  EXPECT_EQ(w.statusText(), "WARNING! Upload Note data First!");
  click("tlbHost", "Note_Data");
  tick(w, {1, 3, 16});
  click("tlbEnable", "Enable_N");
  tick(w, {2, 4, 5});
  click("tlbEnable", "Show_Enabled");
  EXPECT_EQ(ticked(w), (std::vector<int>{1, 3}));  // 16 holds no note
  EXPECT_EQ(w.statusText(), "BNV Reply: ");
}

TEST_F(NoteBench, CountryCodeIsAskedAndUpperCased) {
  frmHost& w = openWithNoteTable();
  ui.queueInput("gb");
  click("tlbEnable", "Read_Mask");
  EXPECT_EQ(w.statusText(), "BNV Reply: F,0");
  const auto& prompt = ui.shown().back();
  EXPECT_EQ(prompt.text,
            "Enter a 2 character country code.\r\nE.g. GB for Britain, EU for Euro, "
            "US for USA");
  EXPECT_EQ(prompt.defaultText, "GB");

  ui.queueInput("gb");
  click("tlbEnable", "Enable_Cntry");
  EXPECT_EQ(sim.inhibitMask(), (Mask{0x0F, 0x00}));
  EXPECT_EQ(ticked(w), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");

  const int frames = sim.framesReceived();
  for (const char* wrong : {"g", "gbr"}) {
    ui.clearShown();
    ui.queueInput(wrong);
    click("tlbEnable", "Read_Mask");
    ASSERT_EQ(ui.messages().size(), 1u) << wrong;
    EXPECT_EQ(ui.messages()[0].text,
              "INPUT DATA ERROR! The Country Code should be exactly 2 characters long!");
  }
  ui.clearShown();
  click("tlbEnable", "Read_Scale");  // cancelled: no message
  EXPECT_TRUE(ui.messages().empty());
  EXPECT_EQ(sim.framesReceived(), frames);

  // A code no note carries would inhibit every note: refused, with the table known before any
  // frame and, without it, once the validator's empty mask is back.
  ui.queueInput("xx");
  click("tlbEnable", "Enable_Cntry");
  EXPECT_EQ(sim.framesReceived(), frames);
  named<QTreeWidget>(w, "lstvwNoteID")->clear();
  ui.queueInput("xx");
  click("tlbEnable", "Enable_Cntry");
  EXPECT_EQ(sim.framesReceived(), frames + 1);
  EXPECT_EQ(sim.inhibitMask(), (Mask{0x0F, 0x00}));
  ASSERT_EQ(ui.messages().size(), 2u);
  for (const auto& box : ui.messages()) {
    EXPECT_EQ(box.text, "No note in the table has the country code XX: nothing was sent.");
  }
  EXPECT_EQ(w.statusText(), "No note in the table has the country code XX: nothing was sent.");
}

TEST_F(NoteBench, ScaleAndCounters) {
  frmHost& w = open();
  ui.queueInput("GB");
  click("tlbEnable", "Read_Scale");
  EXPECT_EQ(named<QLabel>(w, "lblScaleFactor")->text(), "100");
  EXPECT_EQ(named<QLabel>(w, "lblDecPlaces")->text(), "2");
  EXPECT_EQ(w.statusText(), "BNV Reply: 64,0,2");

  // Master inhibit is on: every insertion is counted and refused.
  for (int i = 0; i < 11; ++i) sim.insertNote(1);
  click("tlbEnable", "Note_Insert");
  EXPECT_EQ(named<QLabel>(w, "lblBillCount_0")->text(), "11");
  EXPECT_EQ(w.statusText(), "BNV Reply: B");
  click("tlbEnable", "Note_Accept");
  EXPECT_EQ(named<QLabel>(w, "lblBillCount_1")->text(), "0");
  sim.injectFault(bnvsim::Fault::Silent);
  click("tlbEnable", "Note_Accept");
  EXPECT_EQ(w.statusText(), "BNV Reply: ");
  EXPECT_EQ(named<QLabel>(w, "lblBillCount_1")->text(), "0");
}

TEST_F(NoteBench, SecurityOfOneNote) {
  frmHost& w = openWithNoteTable();
  ui.queueInput("5");
  ui.queueInput("250");
  click("tlbEnable", "Mod_Security");
  EXPECT_EQ(named<QTreeWidget>(w, "lstvwNoteID")->topLevelItem(4)->text(3), "250");
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  // The validator keeps it: a fresh read shows it again.
  click("tlbHost", "Note_Data");
  EXPECT_EQ(named<QTreeWidget>(w, "lstvwNoteID")->topLevelItem(4)->text(3), "250");

  const int frames = sim.framesReceived();
  ui.clearShown();
  for (const char* note : {"0", "17", "abc"}) {
    ui.queueInput(note);
    click("tlbEnable", "Mod_Security");
    EXPECT_EQ(w.statusText(), "The note number must lie in the range 1 to 16. Nothing was sent.")
        << note;
  }
  EXPECT_EQ(ui.messages().size(), 3u);
  ui.clearShown();
  for (const char* security : {"256", "-1", "abc"}) {
    ui.queueInput("5");
    ui.queueInput(security);
    click("tlbEnable", "Mod_Security");
    EXPECT_EQ(w.statusText(),
              "The security value must lie in the range 0 to 255. Nothing was sent.")
        << security;
  }
  ASSERT_EQ(ui.messages().size(), 3u);
  EXPECT_EQ(ui.messages()[0].title, "Tolvar");
  EXPECT_EQ(sim.framesReceived(), frames);
  EXPECT_EQ(ui.pendingInputs(), 0u);
}
