#pragma once
// Routes the control's own message boxes through the bench's UI services, so tests capture them
// like every other box.

#include "quennet/control/control_core.h"
#include "quennet/control/control_messages.h"
#include "tolvar/mainwindow/services/ui_services.h"

namespace tolvar {

class UiControlMessages : public quennet::ControlMessages {
 public:
  UiControlMessages(UiServices& ui, const quennet::ControlCore& control)
      : ui_(ui), control_(control) {}
  // The control reports a port it cannot open before it falls back to another: the device it
  // names now is the one it tried, and the user needs that name to know what to fix.
  void show(const QString& text, const QString& title, Icon icon) override {
    const QString device = control_.deviceName();
    const QString shown =
        text.contains(device) ? text : text + QStringLiteral("\r\nDevice: ") + device;
    ui_.messageBox(shown, title, icon == Icon::Critical ? MsgIcon::Critical : MsgIcon::Warning);
  }

 private:
  UiServices& ui_;
  const quennet::ControlCore& control_;
};

}  // namespace tolvar
