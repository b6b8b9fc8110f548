#pragma once
// What the form's panes are built from: the designed rectangles under the toolbars, and the
// form's caption, value and list styles.

#include <QList>
#include <QRect>
#include <QStringList>
#include <QWidget>

class QLabel;
class QTreeWidget;

namespace tolvar {

// The designed rectangle of a control under the toolbars. The form keeps a slot for the
// secondary bars at 630 twips; here the bars sit in a column above the body instead, so an
// empty slot leaves no blank band and an open bar pushes the body down.
QRect bodyRect(int left, int top, int width, int height);

// Captions keep the form's face and size: each box is wide enough for its text. `index` is the
// caption's number on the form, kept as its object name "lblCaption_<index>".
QLabel* captionLabel(QWidget* parent, int index, const char* text, QRect geometry,
                     bool wrap = false);
// Value labels: empty at design, on the window background colour so they read as fields.
QLabel* valueLabel(QWidget* parent, const QString& name, QRect geometry);
QTreeWidget* reportView(QWidget* parent, const QString& name, QRect geometry,
                        const QStringList& columns, const QList<int>& widthsTwips);

// A pane over part of the body. Its controls are given their designed body rectangles, so each
// lands on the very pixels the form places it on.
class BodyPane : public QWidget {
 public:
  BodyPane(const QString& name, QRect area, QWidget* body);

 protected:
  QRect place(QRect inBody) const { return inBody.translated(-pos()); }
  // A value label at a designed spot, in the form's value size.
  QLabel* valueAt(const QString& name, int left, int top);
};

}  // namespace tolvar
