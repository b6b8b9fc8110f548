#pragma once
// The control's message boxes as Qt message boxes, parented to the control's window.

#include <QPointer>
#include <QWidget>

#include "quennet/control/control_messages.h"
#include "quennet/quennet_widgets_export.h"

namespace quennet {

/// The control's message boxes as Qt message boxes.
class QUENNET_WIDGETS_EXPORT QtControlMessages : public ControlMessages {
 public:
  /// Boxes parented to `parent`'s window.
  explicit QtControlMessages(QWidget* parent) : parent_(parent) {}
  void show(const QString& text, const QString& title, Icon icon) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace quennet
