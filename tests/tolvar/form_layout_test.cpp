// The form's caption labels: each shows its whole text, in the form's own size, inside its box
// (the designed one, widened where the text needs it).
#include <QAction>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QTreeWidget>

#include "tests/tolvar/bench_fixture.h"
#include "tolvar/mainwindow/traffic/traffic_dock.h"
#include "tolvar/mainwindow/window/twips.h"

namespace {

using FormLayout = BenchOnSimulator;

TEST_F(FormLayout, CaptionsFitTheirDesignedBoxes) {
  struct Caption {
    int index;
    QRect twips;  // left, top, width, height as designed
  };
  const Caption captions[] = {
      {0, {120, 240, 1140, 255}},    {2, {120, 1320, 930, 600}},    {3, {3540, 7005, 2115, 255}},
      {4, {120, 600, 1035, 390}},    {5, {3540, 7320, 2115, 255}},  {6, {0, 7080, 1815, 255}},
      {7, {0, 7320, 1815, 255}},     {8, {0, 7560, 1815, 255}},     {9, {7800, 3960, 1815, 255}},
      {10, {7800, 4320, 1815, 255}}, {11, {7800, 4560, 1815, 255}}, {12, {7800, 5160, 1815, 255}},
      {13, {7800, 4920, 1815, 255}}};
  tolvar::frmHost& w = open();
  w.show();
  for (const Caption& c : captions) {
    const auto* label = named<QLabel>(w, QStringLiteral("lblCaption_%1").arg(c.index));
    SCOPED_TRACE(label->text().toStdString());
    const QRect& t = c.twips;
    // Captions in a frame are designed in the frame's place; the others in the body's, which
    // starts at the secondary bars' slot.
    const auto* frame = qobject_cast<const QGroupBox*>(label->parentWidget());
    const QWidget* designedIn = frame ? frame : named<QWidget>(w, "body");
    const int top = frame ? 0 : tolvar::kBodyTopTwips;
    EXPECT_EQ(QRect(label->mapTo(designedIn, QPoint(0, 0)), label->size()),
              tolvar::twipsRect(t.x(), t.y() - top, t.width(), t.height()));
    // Drawn in the form's own size, not shrunk to fit.
    EXPECT_EQ(label->font().pointSizeF(), w.font().pointSizeF());
    const QRect room = label->contentsRect();
    if (label->wordWrap()) {
      EXPECT_LE(label->heightForWidth(room.width()), room.height());
    } else {
      EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), room.width());
      EXPECT_LE(label->fontMetrics().height(), room.height());
    }
  }
}

// Every unit data header shows whole in its column, and every value in the rest of the view.
TEST_F(FormLayout, UnitDataRowsAreNotCutOff) {
  tolvar::frmHost& w = open();
  w.show();
  click("tlbHost", "Unit_Data");
  QTreeWidget* view = named<QTreeWidget>(w, "lstViewUnitData");
  ASSERT_EQ(view->topLevelItemCount(), 17);
  const QFontMetrics metrics = view->fontMetrics();
  for (int i = 0; i < view->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* row = view->topLevelItem(i);
    SCOPED_TRACE(row->text(0).toStdString());
    EXPECT_LE(metrics.horizontalAdvance(row->text(0)) + 8, view->columnWidth(0));
    EXPECT_LE(view->columnWidth(0) + metrics.horizontalAdvance(row->text(1)) + 8,
              view->viewport()->width());
  }
}

// The window is as large as what it shows: no blank band where a hidden bar would go, and an
// opened bar pushes the body down instead of covering it.
TEST_F(FormLayout, TheWindowFitsWhatItShows) {
  tolvar::frmHost& w = open();
  w.show();
  QWidget* body = named<QWidget>(w, "body");
  tolvar::HostToolBar* host = named<tolvar::HostToolBar>(w, "tlbHost");
  EXPECT_EQ(body->mapTo(&w, QPoint(0, 0)).y(), host->mapTo(&w, QPoint(0, host->height())).y());
  EXPECT_EQ(w.maximumSize(), w.minimumSize());
  const int closedHeight = w.sizeHint().height();
  click("tlbHost", "Enable_Bar");
  EXPECT_EQ(w.sizeHint().height(),
            closedHeight + named<tolvar::HostToolBar>(w, "tlbEnable")->height());
  EXPECT_EQ(body->mapTo(&w, QPoint(0, 0)).y(),
            named<tolvar::HostToolBar>(w, "tlbEnable")->mapTo(&w, QPoint(0, 0)).y() +
                named<tolvar::HostToolBar>(w, "tlbEnable")->height());

  // With the traffic dock shown the window can be resized, and the dock takes the room while
  // the form keeps its size.
  w.trafficDock()->toggleViewAction()->trigger();
  QCoreApplication::processEvents();
  EXPECT_NE(w.maximumSize(), w.minimumSize());
  const QSize form = body->size();
  const int dockHeight = w.trafficDock()->height();
  w.resize(w.width() + 120, w.height() + 150);
  QCoreApplication::processEvents();
  EXPECT_EQ(body->size(), form);
  EXPECT_EQ(w.trafficDock()->height(), dockHeight + 150);
}

}  // namespace
