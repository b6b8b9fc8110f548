#include "tolvar/mainwindow/panes/statistics_pane.h"

#include <QLabel>

namespace tolvar {

StatisticsPane::StatisticsPane(QWidget* body)
    : BodyPane(QStringLiteral("statistics"), bodyRect(0, 7080, 2775, 735), body) {
  // The validator's own counts, as Read Rx fetches them; the host's are in the status bar.
  const char* captions[] = {"BNV Timeouts:", "BNV Bytes Ignored:", "BNV Bad Checksums:"};
  for (int i = 0; i < 3; ++i) {
    const int top = 7080 + 240 * i;
    QLabel* caption = captionLabel(this, 6 + i, captions[i], place(bodyRect(0, top, 1815, 255)));
    lblCommsData[i] = valueAt(QStringLiteral("lblCommsData_%1").arg(i), 1800, top);
    const QString whose =
        QStringLiteral("Counted by the validator since its last Clear Rx; read with Read Rx");
    caption->setToolTip(whose);
    lblCommsData[i]->setToolTip(whose);
  }
}

}  // namespace tolvar
