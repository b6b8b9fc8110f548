#pragma once
// Finds a control of the window by its object name, wherever its pane puts it; a missing one
// fails the test.

#include <stdexcept>
#include <string>

#include <QObject>
#include <QString>

template <class T>
T* named(const QObject& window, const QString& name) {
  T* found = window.findChild<T*>(name);
  if (!found) throw std::runtime_error("no control named " + name.toStdString());
  return found;
}
