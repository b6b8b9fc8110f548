#include "tolvar/mainwindow/window/host_toolbar.h"

#include <QAction>
#include <QKeySequence>
#include <QSignalBlocker>

namespace tolvar {

HostToolBar::HostToolBar(const QString& name, std::span<const ToolButtonSpec> buttons,
                         QWidget* parent)
    : QToolBar(name, parent) {
  setObjectName(name);
  setMovable(false);
  setFloatable(false);
  setToolButtonStyle(Qt::ToolButtonTextOnly);
  // Seventeen captions share the form's width.
  setStyleSheet(QStringLiteral(
      "QToolBar { spacing: 0px; } QToolButton { padding: 1px 1px; font-size: 7pt; }"));
  for (const ToolButtonSpec& button : buttons) {
    if (button.style == ButtonStyle::Separator) {
      addSeparator();
      continue;
    }
    QAction* action = addAction(QString::fromLatin1(button.caption));
    const QString key = QString::fromLatin1(button.key);
    action->setObjectName(key);
    action->setData(key);
    // The tool tip names the key; a button without a tool tip shows the key alone, not its
    // caption.
    const QKeySequence shortcut(QString::fromLatin1(button.shortcut));
    action->setShortcut(shortcut);
    const QString keyText = shortcut.toString(QKeySequence::NativeText);
    const QString tip = QString::fromLatin1(button.toolTip);
    action->setToolTip(tip.isEmpty() ? keyText : QStringLiteral("%1 (%2)").arg(tip, keyText));
    action->setCheckable(button.style == ButtonStyle::Check);
    connect(action, &QAction::triggered, this, [this, key] { emit buttonClicked(key); });
  }
}

QAction* HostToolBar::button(const QString& key) const {
  for (QAction* action : actions()) {
    if (!action->isSeparator() && action->data().toString() == key) return action;
  }
  return nullptr;
}

void HostToolBar::setPressed(const QString& key, bool pressed) {
  if (QAction* action = button(key)) {
    const QSignalBlocker block(action);
    action->setChecked(pressed);
  }
}

}  // namespace tolvar
