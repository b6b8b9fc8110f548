// The form's caption labels: each shows its whole text inside the box it was designed with.
#include <QLabel>

#include "tests/tolvar/bench_fixture.h"
#include "tolvar/mainwindow/twips.h"

namespace {

using FormLayout = BenchOnSimulator;

TEST_F(FormLayout, CaptionsFitTheirDesignedBoxes) {
  struct Caption {
    int index;
    QRect twips;  // left, top, width, height as designed
  };
  const Caption captions[] = {
      {0, {120, 240, 1095, 255}},    {2, {120, 1320, 930, 555}},    {3, {3120, 7005, 1815, 255}},
      {4, {120, 600, 1035, 390}},    {5, {3120, 7320, 1815, 255}},  {6, {0, 7080, 1815, 255}},
      {7, {0, 7320, 1815, 255}},     {8, {0, 7560, 1815, 255}},     {9, {7800, 3960, 1815, 255}},
      {10, {7800, 4320, 1815, 255}}, {11, {7800, 4560, 1815, 255}}, {12, {7800, 5160, 1815, 255}},
      {13, {7800, 4920, 1815, 255}}};
  tolvar::frmHost& w = open();
  w.show();
  for (const Caption& c : captions) {
    const QLabel* label = w.lblCaption.at(static_cast<std::size_t>(c.index));
    SCOPED_TRACE(label->text().toStdString());
    const QRect& t = c.twips;
    EXPECT_EQ(label->geometry(), tolvar::twipsRect(t.x(), t.y(), t.width(), t.height()));
    const QRect room = label->contentsRect();
    if (label->wordWrap()) {
      EXPECT_LE(label->heightForWidth(room.width()), room.height());
    } else {
      EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), room.width());
      EXPECT_LE(label->fontMetrics().height(), room.height());
    }
  }
}

}  // namespace
