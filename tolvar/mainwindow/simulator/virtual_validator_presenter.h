#pragma once
// Runs the Virtual Validator pane's controls on the built-in simulator through its typed operator
// calls, so the pane says what the simulator's console says for the same action, and keeps the
// pane's view of the device up to date. The dock that holds the pane exists only when the program
// runs its own virtual validator.

#include <memory>

#include <QDockWidget>
#include <QObject>
#include <QTimer>

#include "tolvar/mainwindow/simulator/virtual_validator_pane.h"

namespace bnvsim {
class Operator;
class Simulator;
struct Done;
}  // namespace bnvsim

namespace tolvar {

class VirtualValidatorPresenter : public QObject {
  Q_OBJECT

 public:
  VirtualValidatorPresenter(bnvsim::Simulator& simulator, VirtualValidatorPane& pane,
                            QObject* parent = nullptr);
  ~VirtualValidatorPresenter() override;

  // Reads the device's state into the pane.
  void refresh();
  VirtualValidatorState state() const;

 private:
  // Each of the pane's controls to its call.
  void connectControls();
  // What an action did, and the device's new state.
  void show(const bnvsim::Done& done);

  bnvsim::Simulator& simulator_;
  std::unique_ptr<bnvsim::Operator> hands_;
  VirtualValidatorPane& pane_;
  QTimer refresh_;
  // Until the first action the pane's last line is a hint, which follows the device's state.
  bool hinting_ = true;
};

// The "Virtual Validator" dock: the pane and its presenter.
class VirtualValidatorDock : public QDockWidget {
  Q_OBJECT

 public:
  VirtualValidatorDock(bnvsim::Simulator& simulator, QWidget* parent = nullptr);

  VirtualValidatorPane* pane() { return pane_; }
  VirtualValidatorPresenter& presenter() { return *presenter_; }
  // The bench's port is now `device`.
  void followPort(const QString& device);

 private:
  QString slavePath_;
  VirtualValidatorPane* pane_;
  VirtualValidatorPresenter* presenter_;
};

}  // namespace tolvar
