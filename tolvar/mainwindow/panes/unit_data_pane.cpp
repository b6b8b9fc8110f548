#include "tolvar/mainwindow/panes/unit_data_pane.h"

#include <algorithm>

#include <QStringList>
#include <QTreeWidget>

namespace tolvar {

namespace {
constexpr int kCellMargins = 12;  // a cell's padding and focus frame, both sides
// Wider than designed so that no unit data header is cut off.
constexpr int kWidth = 3435;
}  // namespace

UnitDataPane::UnitDataPane(QWidget* body)
    : BodyPane(QStringLiteral("unitData"), bodyRect(0, 2520, kWidth, 4455), body) {
  lstViewUnitData =
      reportView(this, QStringLiteral("lstViewUnitData"), place(bodyRect(0, 2520, kWidth, 4455)),
                 {QStringLiteral("Header"), QStringLiteral("Data")}, {1440, 1440});
}

void UnitDataPane::fitCaptions(const QStringList& captions) {
  // The header column takes its longest caption; the data column has the rest.
  int headerWidth = 0;
  for (const QString& caption : captions) {
    headerWidth = std::max(headerWidth, lstViewUnitData->fontMetrics().horizontalAdvance(caption));
  }
  lstViewUnitData->setColumnWidth(0, headerWidth + kCellMargins);
}

}  // namespace tolvar
