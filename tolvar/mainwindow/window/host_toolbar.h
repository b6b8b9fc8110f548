#pragma once
// A toolbar built from a list of buttons (caption, key, tool tip, style, shortcut; separators
// between them). A click reports the button's key; a check button has already flipped.

#include <span>

#include <QString>
#include <QToolBar>

class QAction;

namespace tolvar {

enum class ButtonStyle { Button, Check, Separator };

struct ToolButtonSpec {
  const char* caption;
  const char* key;
  const char* toolTip;
  ButtonStyle style;
  const char* shortcut;  // as QKeySequence reads it: "Alt+S", "Ctrl+1"
};

class HostToolBar : public QToolBar {
  Q_OBJECT

 public:
  HostToolBar(const QString& name, std::span<const ToolButtonSpec> buttons,
              QWidget* parent = nullptr);

  // The button with this key, or null.
  QAction* button(const QString& key) const;
  // Sets a check button's state without running its handler.
  void setPressed(const QString& key, bool pressed);

 signals:
  void buttonClicked(const QString& key);
};

}  // namespace tolvar
