#pragma once
// Routes the control's own message boxes through the bench's UI services, so tests capture them
// like every other box.

#include "quennet/control/control_messages.h"
#include "tolvar/mainwindow/ui_services.h"

namespace tolvar {

class UiControlMessages : public quennet::ControlMessages {
 public:
  explicit UiControlMessages(UiServices& ui) : ui_(ui) {}
  void show(const QString& text, const QString& title, Icon icon) override {
    ui_.messageBox(text, title, icon == Icon::Critical ? MsgIcon::Critical : MsgIcon::Warning);
  }

 private:
  UiServices& ui_;
};

}  // namespace tolvar
