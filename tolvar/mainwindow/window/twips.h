#pragma once
// Form positions are kept in twips as designed; Qt works in device-independent pixels.

#include <QRect>

namespace tolvar {

inline constexpr int kTwipsPerPixel = 15;
// The form's controls under the toolbars are placed relative to this designed top.
inline constexpr int kBodyTopTwips = 1260;

constexpr int px(int twips) {
  return twips / kTwipsPerPixel;
}
constexpr QRect twipsRect(int left, int top, int width, int height) {
  return QRect(px(left), px(top), px(width), px(height));
}

}  // namespace tolvar
