#pragma once
// The validator's state as last read: master inhibit, escrow and stacker modes, and the note
// counters.

#include "tolvar/mainwindow/window/form_parts.h"

class QLabel;

namespace tolvar {

class CountersPane : public BodyPane {
  Q_OBJECT

 public:
  explicit CountersPane(QWidget* body);

  QLabel* lblMasterInh;
  QLabel* lblBillMode[2]{};   // 0: stacker, 1: escrow
  QLabel* lblBillCount[2]{};  // 0: inserted, 1: accepted
};

}  // namespace tolvar
