#pragma once
// "Bus View": the devices that answered the last address poll or address clash, one row per
// address, with the mode each answers in and what each says it is; the row picked is the device
// the bench talks to.

#include <QDockWidget>
#include <QList>
#include <QString>
#include <QWidget>

#include "quennet/commands/bus_scan.h"

class QLabel;
class QPushButton;
class QTreeWidget;

namespace tolvar {

// An address that answered, and how often: a second answer is a second device on it.
struct BusDevice {
  int address = 0;
  int answers = 1;
  // The mode it answered in (Unknown: none) and what it said it is; empty when it did not say.
  quennet::FoundDevice found;
};

class BusViewPane : public QWidget {
  Q_OBJECT

 public:
  explicit BusViewPane(QWidget* parent = nullptr);

  // The answers of one collection, in address order, and a line saying what it found.
  void showDevices(const QList<BusDevice>& devices, const QString& summary);
  // The row of `address` marked as the device the bench talks to (none: no such row).
  void markCurrent(int address);
  // The address of the row selected, or -1.
  int selectedAddress() const;

  QPushButton* poll;
  QPushButton* clash;
  QPushButton* talkTo;
  QTreeWidget* devices;
  QLabel* summary;

 signals:
  // The user asks for a collection: an address poll, or an address clash.
  void collect(bool clash);
  // The user picks the device at `address` to talk to.
  void picked(int address);
};

class BusViewDock : public QDockWidget {
  Q_OBJECT

 public:
  explicit BusViewDock(QWidget* parent = nullptr);

  BusViewPane* pane() { return pane_; }

 private:
  BusViewPane* pane_;
};

}  // namespace tolvar
