#include "tolvar/mainwindow/panes/counters_pane.h"

#include <QLabel>

namespace tolvar {

CountersPane::CountersPane(QWidget* body)
    : BodyPane(QStringLiteral("counters"), bodyRect(7800, 3960, 2775, 1455), body) {
  const auto row = [this](int caption, const char* text, int top, const QString& value) {
    captionLabel(this, caption, text, place(bodyRect(7800, top, 1815, 255)));
    return valueAt(value, 9600, top);
  };
  lblMasterInh = row(9, "Master Inhibit Status:", 3960, QStringLiteral("lblMasterInh"));
  lblBillMode[1] = row(10, "Escrow Status:", 4320, QStringLiteral("lblBillMode_1"));
  lblBillMode[0] = row(11, "Stacker Status:", 4560, QStringLiteral("lblBillMode_0"));
  lblBillCount[0] = row(13, "Notes Inserted:", 4920, QStringLiteral("lblBillCount_0"));
  lblBillCount[1] = row(12, "Notes Accepted:", 5160, QStringLiteral("lblBillCount_1"));
}

}  // namespace tolvar
