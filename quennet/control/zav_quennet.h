#pragma once
// The embeddable control: a status label painted from ControlCore's label state. Everything
// else (properties, port, commands) is ControlCore's.

#include <QLabel>
#include <QWidget>

#include "quennet/control/control_core.h"
#include "quennet/control/ole_color_palette.h"
#include "quennet/control/qt_control_messages.h"
#include "quennet/quennet_widgets_export.h"

/// The embeddable control: a status label painted from ControlCore's label state; everything else
/// is ControlCore's.
class QUENNET_WIDGETS_EXPORT zav_quennet : public QWidget, public quennet::ControlCore {
  Q_OBJECT

 public:
  /// A control on a QtSerialLine.
  explicit zav_quennet(QWidget* parent = nullptr);
  /// With a serial line of the caller's (a ScriptedLine in tests).
  zav_quennet(std::unique_ptr<quennet::SerialLine> line, QWidget* parent = nullptr);
  ~zav_quennet() override;

  /// Enabled is the control's port property; QWidget's own enabled state stays untouched so the
  /// label keeps taking double clicks.
  using ControlCore::setEnabled;

  /// The label's height, so a layout gives the control no more than its resize rule keeps.
  QSize sizeHint() const override;

  /// The status label.
  QLabel* lblStatus;

 signals:
  /// The label was double-clicked.
  void DblClick();

 protected:
  void labelChanged(const quennet::LabelState& state) override;
  /// The label follows the widget's width and palette; a double click on it emits DblClick().
  ///@{
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  ///@}

 private:
  void setUpLabel();

  quennet::QtControlMessages defaultMessages_{this};
};
