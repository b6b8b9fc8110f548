#include "tolvar/mainwindow/panes/statistics_pane.h"

#include <QLabel>

namespace tolvar {

StatisticsPane::StatisticsPane(QWidget* body)
    : BodyPane(QStringLiteral("statistics"), bodyRect(0, 7080, 2775, 735), body) {
  const char* captions[] = {"Rx Timeouts:", "Rx Bytes Ignored:", "Rx Bad Checksums:"};
  for (int i = 0; i < 3; ++i) {
    const int top = 7080 + 240 * i;
    captionLabel(this, 6 + i, captions[i], place(bodyRect(0, top, 1815, 255)));
    lblCommsData[i] = valueAt(QStringLiteral("lblCommsData_%1").arg(i), 1800, top);
  }
}

}  // namespace tolvar
