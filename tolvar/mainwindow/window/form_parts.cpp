#include "tolvar/mainwindow/window/form_parts.h"

#include <QLabel>
#include <QTreeWidget>

#include "tolvar/mainwindow/window/twips.h"

namespace tolvar {

QRect bodyRect(int left, int top, int width, int height) {
  return twipsRect(left, top - kBodyTopTwips, width, height);
}

QLabel* captionLabel(QWidget* parent, int index, const char* text, QRect geometry, bool wrap) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setObjectName(QStringLiteral("lblCaption_%1").arg(index));
  label->setGeometry(geometry);
  label->setWordWrap(wrap);
  return label;
}

QLabel* valueLabel(QWidget* parent, const QString& name, QRect geometry) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setGeometry(geometry);
  label->setAutoFillBackground(true);
  label->setBackgroundRole(QPalette::Base);
  label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  return label;
}

QTreeWidget* reportView(QWidget* parent, const QString& name, QRect geometry,
                        const QStringList& columns, const QList<int>& widthsTwips) {
  auto* view = new QTreeWidget(parent);
  view->setObjectName(name);
  view->setGeometry(geometry);
  view->setRootIsDecorated(false);
  view->setColumnCount(static_cast<int>(columns.size()));
  view->setHeaderLabels(columns);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  for (int i = 0; i < widthsTwips.size(); ++i) view->setColumnWidth(i, px(widthsTwips.at(i)));
  return view;
}

BodyPane::BodyPane(const QString& name, QRect area, QWidget* body) : QWidget(body) {
  setObjectName(name);
  setGeometry(area);
}

QLabel* BodyPane::valueAt(const QString& name, int left, int top) {
  return valueLabel(this, name, place(bodyRect(left, top, 975, 255)));
}

}  // namespace tolvar
