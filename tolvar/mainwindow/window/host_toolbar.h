#pragma once
// A toolbar built from a table of buttons (index from 1 with separators counted, key, caption,
// tooltip, style, key). A click reports the button's key; a check button has already flipped.

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
  // Button `index` counted from 1, separators included.
  QAction* buttonAt(int index) const;
  int buttonCount() const;
  // Sets a check button's state without running its handler.
  void setPressed(const QString& key, bool pressed);

 signals:
  void buttonClicked(const QString& key);
};

}  // namespace tolvar
