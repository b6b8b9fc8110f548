#pragma once
// The control's own message boxes go through this interface so a container (or a test) can
// answer, restyle or capture them. The widget supplies QtControlMessages.

#include <QString>

namespace quennet {

/// The control's message boxes, so a container (or a test) can answer, restyle or capture them.
class ControlMessages {
 public:
  /// The icon of a box: a critical error or a warning.
  enum class Icon { Critical, Warning };

  virtual ~ControlMessages() = default;
  /// Modal: returns once the user has dismissed the box.
  virtual void show(const QString& text, const QString& title, Icon icon) = 0;
};

}  // namespace quennet
