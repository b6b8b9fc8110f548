// Note enabling, country mask and scale, counters and security against the virtual validator.
#include <QLabel>
#include <QTreeWidget>

#include "tests/tolvar/bench_fixture.h"
#include "tolvar/mainwindow/note_enabling.h"

using tolvar::frmHost;

class NoteBench : public BenchOnSimulator {
 protected:
  frmHost& openWithNoteTable() {
    frmHost& w = open();
    click(w.tlbHost, "Note_Data");
    EXPECT_EQ(w.lstvwNoteID->topLevelItemCount(), 16);
    return w;
  }
  void tick(frmHost& w, std::initializer_list<int> notes) {
    for (int i = 0; i < 16; ++i) w.lstvwNoteID->topLevelItem(i)->setCheckState(0, Qt::Unchecked);
    for (int note : notes) w.lstvwNoteID->topLevelItem(note - 1)->setCheckState(0, Qt::Checked);
  }
  std::vector<int> ticked(frmHost& w) {
    std::vector<int> notes;
    for (int i = 0; i < 16; ++i) {
      if (w.lstvwNoteID->topLevelItem(i)->checkState(0) == Qt::Checked) notes.push_back(i + 1);
    }
    return notes;
  }
  using Mask = std::array<std::uint8_t, 2>;
};

TEST_F(NoteBench, SelectedNotesBecomeTheMask) {
  frmHost& w = open();
  click(w.tlbEnable, "Enable_N");  // no note table yet: everything enabled
  EXPECT_EQ(sim.inhibitMask(), (Mask{0xFF, 0xFF}));
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  click(w.tlbHost, "Note_Data");
  tick(w, {1, 8, 9, 16});
  click(w.tlbEnable, "Enable_N");
  EXPECT_EQ(sim.inhibitMask(), (Mask{0x81, 0x81}));
  tick(w, {3});
  click(w.tlbEnable, "Enable_N");
  EXPECT_EQ(sim.inhibitMask(), (Mask{0x04, 0x00}));
  tick(w, {});
  click(w.tlbEnable, "Enable_N");
  EXPECT_EQ(sim.inhibitMask(), (Mask{0x00, 0x00}));
  click(w.tlbEnable, "Enable_All");
  EXPECT_EQ(sim.inhibitMask(), (Mask{0xFF, 0xFF}));
  EXPECT_EQ(ticked(w).size(), 16u);
}

TEST_F(NoteBench, ShowEnabledTicksTheValidatorsMask) {
  frmHost& w = open();
  click(w.tlbEnable, "Show_Enabled");
  EXPECT_EQ(w.statusText(), "WARNING! Upload Note data First!");
  click(w.tlbHost, "Note_Data");
  tick(w, {1, 3, 16});
  click(w.tlbEnable, "Enable_N");
  tick(w, {2, 4, 5});
  click(w.tlbEnable, "Show_Enabled");
  EXPECT_EQ(ticked(w), (std::vector<int>{1, 3, 16}));
  EXPECT_EQ(w.statusText(), "BNV Reply: ");
}

TEST_F(NoteBench, CountryCodeIsAskedAndUpperCased) {
  frmHost& w = openWithNoteTable();
  ui.queueInput("gb");
  click(w.tlbEnable, "Read_Mask");
  EXPECT_EQ(w.statusText(), "BNV Reply: F,0");
  const auto& prompt = ui.shown().back();
  EXPECT_EQ(prompt.text,
            "Enter a 2 character country code.\r\nE.g. GB for Britain, EU for Euro, "
            "US for USA");
  EXPECT_EQ(prompt.defaultText, "GB");

  ui.queueInput("gb");
  click(w.tlbEnable, "Enable_Cntry");
  EXPECT_EQ(sim.inhibitMask(), (Mask{0x0F, 0x00}));
  EXPECT_EQ(ticked(w), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");

  const int frames = sim.framesReceived();
  for (const char* wrong : {"g", "gbr"}) {
    ui.clearShown();
    ui.queueInput(wrong);
    click(w.tlbEnable, "Read_Mask");
    ASSERT_EQ(ui.messages().size(), 1u) << wrong;
    EXPECT_EQ(ui.messages()[0].text,
              "INPUT DATA ERROR! The Country Code should be exactly 2 characters long!");
  }
  ui.clearShown();
  click(w.tlbEnable, "Read_Scale");  // cancelled: no message
  EXPECT_TRUE(ui.messages().empty());
  EXPECT_EQ(sim.framesReceived(), frames);

  // A code no note carries would inhibit every note: refused, with the table known before any
  // frame and, without it, once the validator's empty mask is back.
  ui.queueInput("xx");
  click(w.tlbEnable, "Enable_Cntry");
  EXPECT_EQ(sim.framesReceived(), frames);
  w.lstvwNoteID->clear();
  ui.queueInput("xx");
  click(w.tlbEnable, "Enable_Cntry");
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
  click(w.tlbEnable, "Read_Scale");
  EXPECT_EQ(w.lblScaleFactor->text(), "100");
  EXPECT_EQ(w.lblDecPlaces->text(), "2");
  EXPECT_EQ(w.statusText(), "BNV Reply: 64,0,2");

  // Master inhibit is on: every insertion is counted and refused.
  for (int i = 0; i < 11; ++i) sim.insertNote(1);
  click(w.tlbEnable, "Note_Insert");
  EXPECT_EQ(w.lblBillCount[0]->text(), "11");
  EXPECT_EQ(w.statusText(), "BNV Reply: B");
  click(w.tlbEnable, "Note_Accept");
  EXPECT_EQ(w.lblBillCount[1]->text(), "0");
  sim.injectFault(bnvsim::Fault::Silent);
  click(w.tlbEnable, "Note_Accept");
  EXPECT_EQ(w.statusText(), "BNV Reply: ");
  EXPECT_EQ(w.lblBillCount[1]->text(), "0");
}

TEST_F(NoteBench, SecurityOfOneNote) {
  frmHost& w = openWithNoteTable();
  ui.queueInput("5");
  ui.queueInput("250");
  click(w.tlbEnable, "Mod_Security");
  EXPECT_EQ(w.lstvwNoteID->topLevelItem(4)->text(3), "250");
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  // The validator keeps it: a fresh read shows it again.
  click(w.tlbHost, "Note_Data");
  EXPECT_EQ(w.lstvwNoteID->topLevelItem(4)->text(3), "250");

  const int frames = sim.framesReceived();
  ui.clearShown();
  for (const char* note : {"0", "17", "abc"}) {
    ui.queueInput(note);
    click(w.tlbEnable, "Mod_Security");
    EXPECT_EQ(w.statusText(), "The note number must lie in the range 1 to 16. Nothing was sent.")
        << note;
  }
  EXPECT_EQ(ui.messages().size(), 3u);
  ui.clearShown();
  for (const char* security : {"256", "-1", "abc"}) {
    ui.queueInput("5");
    ui.queueInput(security);
    click(w.tlbEnable, "Mod_Security");
    EXPECT_EQ(w.statusText(),
              "The security value must lie in the range 0 to 255. Nothing was sent.")
        << security;
  }
  ASSERT_EQ(ui.messages().size(), 3u);
  EXPECT_EQ(ui.messages()[0].title, "Tolvar Emulator");
  EXPECT_EQ(sim.framesReceived(), frames);
  EXPECT_EQ(ui.pendingInputs(), 0u);
}
