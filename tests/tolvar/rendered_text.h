#pragma once
// What a label really shows: the colour of its text read from the pixels of the grabbed widget,
// not from the palette the code set.

#include <algorithm>
#include <map>

#include <QColor>
#include <QImage>
#include <QWidget>

// The commonest colour among the pixels that differ from the widget's background; anti-aliased
// edges blend into many shades, the solid strokes of the glyphs share one. Invalid when the
// widget shows no text.
// The commonest colour of all the widget's pixels: the background it is drawn on.
inline QColor renderedBackground(QWidget* widget) {
  const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
  std::map<QRgb, int> counts;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) ++counts[image.pixel(x, y)];
  }
  const auto most =
      std::max_element(counts.begin(), counts.end(),
                       [](const auto& a, const auto& b) { return a.second < b.second; });
  return most == counts.end() ? QColor() : QColor(most->first);
}

inline QColor renderedTextColour(QWidget* widget) {
  const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QRgb background = image.pixel(1, 1);
  std::map<QRgb, int> counts;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (const QRgb pixel = image.pixel(x, y); pixel != background) ++counts[pixel];
    }
  }
  QRgb commonest = 0;
  int most = 0;
  for (const auto& [pixel, count] : counts) {
    if (count > most) {
      most = count;
      commonest = pixel;
    }
  }
  return most > 0 ? QColor(commonest) : QColor();
}
