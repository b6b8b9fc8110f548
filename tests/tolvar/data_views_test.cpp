// Unit data and note data views against the virtual validator.
#include <QLabel>
#include <QMap>
#include <QTreeWidget>

#include "quennet/control/zav_quennet.h"
#include "tests/tolvar/bench_fixture.h"
#include "tests/tolvar/rendered_text.h"
#include "tolvar/mainwindow/panes/unit_data_text.h"
#include "tolvar/mainwindow/presenters/data_views.h"

using tolvar::frmHost;

using DataViewBench = BenchOnSimulator;

// Each row's caption stands beside the device's answer to its own request.
TEST_F(DataViewBench, UnitDataFillsSeventeenRowsEachBesideItsAnswer) {
  frmHost& w = open();
  click("tlbHost", "Unit_Data");
  const QTreeWidget* view = named<QTreeWidget>(w, "lstViewUnitData");
  ASSERT_EQ(view->topLevelItemCount(), 17);
  QMap<QString, QTreeWidgetItem*> rows;
  for (int i = 0; i < view->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = view->topLevelItem(i);
    rows.insert(row->text(0), row);
    EXPECT_FALSE(row->text(1).isEmpty()) << i;
  }
  ASSERT_EQ(rows.size(), 17) << "every caption once";
  EXPECT_EQ(rows.value("Equipment ID")->text(1), "Bill Validator");
  EXPECT_EQ(rows.value("Manufacturer ID")->text(1), "QNT");
  EXPECT_EQ(rows.value("Creation Date")->text(1), "15/03/24");
  EXPECT_EQ(rows.value("ROM Checksum")->text(1), "3CA0E7");
  // The reply's first byte most significant, then the number as the device's label reads it.
  EXPECT_EQ(rows.value("Serial No.")->text(1), "8902162/1234567");
  EXPECT_EQ(rows.value("Serial No.")->toolTip(1), "As the label reads it: 1234567");
  EXPECT_TRUE(rows.value("Option Flags")->text(1).startsWith("Hex: "));
  EXPECT_EQ(rows.value("# Notes / # Banks")->text(1), "16/1");
  EXPECT_TRUE(named<tolvar::HostToolBar>(w, "tlbHost")->isEnabled());
  EXPECT_FALSE(ui.busy());
  EXPECT_GE(ui.busyCount(), 1);
}

TEST_F(DataViewBench, UnitDataStopsAtAFailedStepWithAnEmptyText) {
  frmHost& w = open();
  click("tlbHost", "Unit_Data");
  // The next run fails at its first step: one row, and not the text the earlier run left.
  sim.injectFault(bnvsim::Fault::Busy);
  click("tlbHost", "Unit_Data");
  ASSERT_EQ(named<QTreeWidget>(w, "lstViewUnitData")->topLevelItemCount(), 1);
  EXPECT_EQ(named<QTreeWidget>(w, "lstViewUnitData")->topLevelItem(0)->text(1), "");
  EXPECT_EQ(w.statusText(), "BNV Reply: ");
}

TEST_F(DataViewBench, SingleStepUnitDataRestartsOnThe18thPress) {
  frmHost& w = open();
  w.settings().SnglStp = true;
  for (int press = 1; press <= 17; ++press) {
    click("tlbHost", "Unit_Data");
    ASSERT_EQ(named<QTreeWidget>(w, "lstViewUnitData")->topLevelItemCount(), press);
  }
  click("tlbHost", "Unit_Data");
  ASSERT_EQ(named<QTreeWidget>(w, "lstViewUnitData")->topLevelItemCount(), 1);
  EXPECT_EQ(named<QTreeWidget>(w, "lstViewUnitData")->topLevelItem(0)->text(0), "Equipment ID");
}

// The table shows which notes the validator has enabled, read back after the run, and a
// position without a note is never ticked; the control's panel ends on the good read.
TEST_F(DataViewBench, NoteDataFillsSixteenRowsWithRules) {
  frmHost& w = open();
  w.show();
  click("tlbEnable", "Enable_All");
  click("tlbHost", "Note_Data");  // before unit data: counters unknown
  ASSERT_EQ(named<QTreeWidget>(w, "lstvwNoteID")->topLevelItemCount(), 16);
  EXPECT_EQ(named<QTreeWidget>(w, "lstvwNoteID")->topLevelItem(0)->text(2), "---");
  click("tlbHost", "Unit_Data");
  ASSERT_TRUE(w.dataViews().countersSupported());
  click("tlbHost", "Note_Data");
  ASSERT_EQ(named<QTreeWidget>(w, "lstvwNoteID")->topLevelItemCount(), 16);
  const QTreeWidgetItem* first = named<QTreeWidget>(w, "lstvwNoteID")->topLevelItem(0);
  EXPECT_EQ(first->text(0), "1");
  EXPECT_EQ(first->text(1), "GB0005A");
  EXPECT_EQ(first->text(2), "0");
  EXPECT_FALSE(first->text(3).isEmpty());
  EXPECT_NE(first->text(3), "---");
  const QTreeWidgetItem* unused = named<QTreeWidget>(w, "lstvwNoteID")->topLevelItem(15);
  EXPECT_EQ(unused->text(0), "16");
  EXPECT_EQ(unused->text(1), ".......");
  EXPECT_EQ(unused->text(2), "---");
  EXPECT_EQ(unused->text(3), "---");
  EXPECT_EQ(renderedBackground(w.control()->lblStatus), QColor(0, 128, 0));
  for (int row = 0; row < 16; ++row) {
    const QTreeWidgetItem* note = named<QTreeWidget>(w, "lstvwNoteID")->topLevelItem(row);
    EXPECT_EQ(note->checkState(0), note->text(1) == "......." ? Qt::Unchecked : Qt::Checked) << row;
  }
  EXPECT_EQ(first->checkState(0), Qt::Checked);
  EXPECT_EQ(unused->checkState(0), Qt::Unchecked);
  // Enable All ticks what it enabled: the notes there are.
  named<QTreeWidget>(w, "lstvwNoteID")->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
  click("tlbEnable", "Enable_All");
  EXPECT_EQ(first->checkState(0), Qt::Checked);
  EXPECT_EQ(unused->checkState(0), Qt::Unchecked);
}

TEST_F(DataViewBench, SingleStepNoteDataRestartsOnThe49thPress) {
  frmHost& w = open();
  w.settings().SnglStp = true;
  for (int press = 1; press <= 48; ++press) click("tlbHost", "Note_Data");
  ASSERT_EQ(named<QTreeWidget>(w, "lstvwNoteID")->topLevelItemCount(), 16);
  EXPECT_EQ(named<QTreeWidget>(w, "lstvwNoteID")->topLevelItem(15)->text(3), "---");
  EXPECT_EQ(w.dataViews().noteNo(), 17);
  click("tlbHost", "Note_Data");
  ASSERT_EQ(named<QTreeWidget>(w, "lstvwNoteID")->topLevelItemCount(), 1);
  EXPECT_EQ(named<QTreeWidget>(w, "lstvwNoteID")->topLevelItem(0)->text(1), "GB0005A");
  EXPECT_EQ(w.dataViews().noteColumn(), 2);
}

TEST(UnitDataText, Renderings) {
  const std::uint8_t store[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(tolvar::dataStorageText(store), "1,2,3,4,5,");
  EXPECT_EQ(tolvar::pollPriorityText(2, 20), "200 msecs");
  EXPECT_EQ(tolvar::pollPriorityText(1, 200), "200 msecs");
  EXPECT_EQ(tolvar::pollPriorityText(3, 5), "5 secs");
  EXPECT_EQ(tolvar::pollPriorityText(4, 5), "5[4]");
}
