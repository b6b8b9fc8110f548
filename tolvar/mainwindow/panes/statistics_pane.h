#pragma once
// The validator's communication statistics: receive time-outs, bytes ignored, bad checksums.

#include "tolvar/mainwindow/window/form_parts.h"

class QLabel;

namespace tolvar {

class StatisticsPane : public BodyPane {
  Q_OBJECT

 public:
  explicit StatisticsPane(QWidget* body);

  QLabel* lblCommsData[3]{};
};

}  // namespace tolvar
