#include "tolvar/mainwindow/host_toolbar.h"

#include <QAction>
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
    // A button without a tooltip shows none, not its caption.
    action->setToolTip(QString::fromLatin1(button.toolTip));
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

QAction* HostToolBar::buttonAt(int index) const {
  const QList<QAction*> all = actions();
  return index >= 1 && index <= all.size() ? all.at(index - 1) : nullptr;
}

int HostToolBar::buttonCount() const {
  return static_cast<int>(actions().size());
}

void HostToolBar::setPressed(const QString& key, bool pressed) {
  if (QAction* action = button(key)) {
    const QSignalBlocker block(action);
    action->setChecked(pressed);
  }
}

}  // namespace tolvar
