#include "quennet/control/ole_color_palette.h"

namespace quennet {

namespace {

struct SchemeEntry {
  QPalette::ColorGroup group;
  QPalette::ColorRole role;
};

// Indexes 0..24 of the classic system colour table. Inactive titles use Mid with Light text:
// the same grey-on-grey contrast the classic scheme draws them in.
constexpr SchemeEntry kScheme[] = {
    {QPalette::Active, QPalette::Button},           // 0 scroll bar
    {QPalette::Active, QPalette::Window},           // 1 desktop
    {QPalette::Active, QPalette::Highlight},        // 2 active title
    {QPalette::Active, QPalette::Mid},              // 3 inactive title
    {QPalette::Active, QPalette::Window},           // 4 menu
    {QPalette::Active, QPalette::Base},             // 5 window
    {QPalette::Active, QPalette::Shadow},           // 6 window frame
    {QPalette::Active, QPalette::WindowText},       // 7 menu text
    {QPalette::Active, QPalette::Text},             // 8 window text
    {QPalette::Active, QPalette::HighlightedText},  // 9 active title text
    {QPalette::Active, QPalette::Window},           // 10 active border
    {QPalette::Active, QPalette::Window},           // 11 inactive border
    {QPalette::Active, QPalette::Dark},             // 12 application workspace
    {QPalette::Active, QPalette::Highlight},        // 13 highlight
    {QPalette::Active, QPalette::HighlightedText},  // 14 highlight text
    {QPalette::Active, QPalette::Button},           // 15 button face
    {QPalette::Active, QPalette::Dark},             // 16 button shadow
    {QPalette::Disabled, QPalette::Text},           // 17 grey text
    {QPalette::Active, QPalette::ButtonText},       // 18 button text
    {QPalette::Active, QPalette::Light},            // 19 inactive title text
    {QPalette::Active, QPalette::Light},            // 20 button highlight
    {QPalette::Active, QPalette::Shadow},           // 21 dark shadow
    {QPalette::Active, QPalette::Midlight},         // 22 light
    {QPalette::Active, QPalette::ToolTipText},      // 23 tool tip text
    {QPalette::Active, QPalette::ToolTipBase},      // 24 tool tip background
};

}  // namespace

QColor oleColorToQColor(OleColor color, const QPalette& palette) {
  if ((color & kSystemColorFlag) == 0) {
    return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                  static_cast<int>((color >> 16) & 0xFF));
  }
  const OleColor index = color & 0xFF;
  if (index >= std::size(kScheme)) return palette.color(QPalette::Active, QPalette::Window);
  return palette.color(kScheme[index].group, kScheme[index].role);
}

}  // namespace quennet
