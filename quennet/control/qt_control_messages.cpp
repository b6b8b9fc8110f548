#include "quennet/control/qt_control_messages.h"

#include <QMessageBox>

namespace quennet {

void QtControlMessages::show(const QString& text, const QString& title, Icon icon) {
  if (icon == Icon::Critical) {
    QMessageBox::critical(parent_, title, text);
  } else {
    QMessageBox::warning(parent_, title, text);
  }
}

}  // namespace quennet
