#pragma once
// OLE colours as the widget paints them; the values themselves are in ole_color.h, which the
// headless core uses without Qt Gui.

#include <QColor>
#include <QPalette>

#include "quennet/control/ole_color.h"
#include "quennet/quennet_widgets_export.h"

namespace quennet {

/// Fixed colours map channel by channel; system colours map to the palette role that plays the
/// same part in the scheme (highlight, inactive title, button face ...).
QUENNET_WIDGETS_EXPORT QColor oleColorToQColor(OleColor color, const QPalette& palette);

}  // namespace quennet
