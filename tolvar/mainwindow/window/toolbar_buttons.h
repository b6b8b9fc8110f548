#pragma once
// The button tables of the four toolbars.

#include <span>

#include "tolvar/mainwindow/window/host_toolbar.h"

namespace tolvar {

std::span<const ToolButtonSpec> hostBarButtons();
std::span<const ToolButtonSpec> enableBarButtons();
std::span<const ToolButtonSpec> utilityBarButtons();
std::span<const ToolButtonSpec> diagnosticBarButtons();

}  // namespace tolvar
