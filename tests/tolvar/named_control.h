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

#include <ostream>

// Texts print as text in a failed expectation, not as their code units.
inline void PrintTo(const QString& text, std::ostream* os) {
  *os << '"' << text.toStdString() << '"';
}
