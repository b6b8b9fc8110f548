#include "quennet/control/zav_quennet.h"

#include <QEvent>
#include <QResizeEvent>

zav_quennet::zav_quennet(QWidget* parent) : QWidget(parent), lblStatus(new QLabel(this)) {
  setUpLabel();
}

zav_quennet::zav_quennet(std::unique_ptr<quennet::SerialLine> line, QWidget* parent)
    : QWidget(parent), ControlCore(std::move(line)), lblStatus(new QLabel(this)) {
  setUpLabel();
}

zav_quennet::~zav_quennet() = default;

void zav_quennet::setUpLabel() {
  lblStatus->setObjectName(QStringLiteral("lblStatus"));
  lblStatus->setTextFormat(Qt::PlainText);  // captions such as "Xmit Command <254>"
  lblStatus->setAlignment(Qt::AlignCenter);
  lblStatus->setAutoFillBackground(true);
  lblStatus->installEventFilter(this);
  setMessages(&defaultMessages_);
  // ControlCore painted its first state before this widget existed.
  labelChanged(labelState());
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  const int height = lblStatus->sizeHint().height();
  lblStatus->setGeometry(0, 0, width(), height);
  resize(width(), height);
}

void zav_quennet::labelChanged(const quennet::LabelState& state) {
  // System colours resolve against the control's scheme, not the label's altered palette.
  const QPalette scheme = palette();
  QPalette colours = lblStatus->palette();
  colours.setColor(QPalette::Window, quennet::oleColorToQColor(state.backColor, scheme));
  colours.setColor(QPalette::WindowText, quennet::oleColorToQColor(state.foreColor, scheme));
  lblStatus->setPalette(colours);
  lblStatus->setText(state.caption);
  lblStatus->setToolTip(state.toolTip);
}

QSize zav_quennet::sizeHint() const {
  return QSize(lblStatus->sizeHint().width(), lblStatus->height());
}

void zav_quennet::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  lblStatus->setGeometry(0, 0, width(), lblStatus->height());
  if (height() != lblStatus->height()) resize(width(), lblStatus->height());
}

void zav_quennet::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::PaletteChange) labelChanged(labelState());
}

bool zav_quennet::eventFilter(QObject* watched, QEvent* event) {
  if (watched == lblStatus && event->type() == QEvent::MouseButtonDblClick) {
    emit DblClick();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}
