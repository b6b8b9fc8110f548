#include "tolvar/mainwindow/panes/unit_data_pane.h"

#include <algorithm>

#include <QTreeWidget>

#include "tolvar/mainwindow/panes/unit_data_text.h"

namespace tolvar {

namespace {
constexpr int kUnitDataRows = 17;
constexpr int kCellMargins = 12;  // a cell's padding and focus frame, both sides
// Wider than designed so that no unit data header is cut off.
constexpr int kWidth = 3435;
}  // namespace

UnitDataPane::UnitDataPane(QWidget* body)
    : BodyPane(QStringLiteral("unitData"), bodyRect(0, 2520, kWidth, 4455), body) {
  lstViewUnitData =
      reportView(this, QStringLiteral("lstViewUnitData"), place(bodyRect(0, 2520, kWidth, 4455)),
                 {QStringLiteral("Header"), QStringLiteral("Data")}, {1440, 1440});
  // The header column takes its longest header; the data column has the rest.
  int headerWidth = 0;
  for (int step = 0; step < kUnitDataRows; ++step) {
    headerWidth = std::max(headerWidth,
                           lstViewUnitData->fontMetrics().horizontalAdvance(unitDataHeader(step)));
  }
  lstViewUnitData->setColumnWidth(0, headerWidth + kCellMargins);
}

}  // namespace tolvar
