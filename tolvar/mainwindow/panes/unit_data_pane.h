#pragma once
// The unit data view: one row per identification step, header and value.

#include "tolvar/mainwindow/window/form_parts.h"

class QTreeWidget;

namespace tolvar {

class UnitDataPane : public BodyPane {
  Q_OBJECT

 public:
  explicit UnitDataPane(QWidget* body);

  QTreeWidget* lstViewUnitData;
};

}  // namespace tolvar
