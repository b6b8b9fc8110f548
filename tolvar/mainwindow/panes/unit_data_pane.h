#pragma once
// The unit data view: one row per identification step, header and value.

#include "tolvar/mainwindow/window/form_parts.h"

#include <QStringList>

class QTreeWidget;

namespace tolvar {

class UnitDataPane : public BodyPane {
  Q_OBJECT

 public:
  explicit UnitDataPane(QWidget* body);
  // The header column as wide as the longest of the rows' captions.
  void fitCaptions(const QStringList& captions);

  QTreeWidget* lstViewUnitData;
};

}  // namespace tolvar
