#include "tolvar/mainwindow/panes/event_pane.h"

#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

#include "tolvar/mainwindow/window/twips.h"

namespace tolvar {

EventPane::EventPane(QWidget* body)
    : BodyPane(QStringLiteral("events"), bodyRect(7800, 1320, 3975, 2535), body) {
  lblEvent = new QLabel(this);
  lblEvent->setObjectName(QStringLiteral("lblEvent"));
  lblEvent->setGeometry(place(bodyRect(7800, 1320, 3975, 375)));
  lblEvent->setAutoFillBackground(true);
  lblEvent->setBackgroundRole(QPalette::Base);
  // A Base background makes Qt draw the text in the Text role; the event colours are set on
  // WindowText, so the label must draw with that role or every event comes out black.
  lblEvent->setForegroundRole(QPalette::WindowText);
  QFont eventFont(QStringLiteral("Arial Rounded MT Bold"), 12);
  eventFont.setStyleHint(QFont::SansSerif);
  eventFont.setBold(true);
  lblEvent->setFont(eventFont);
  setEventColour(QColor(255, 128, 0));

  lstvwEventBuffer =
      reportView(this, QStringLiteral("lstvwEventBuffer"), place(bodyRect(7800, 1800, 3855, 1695)),
                 {QStringLiteral("Item"), QStringLiteral("Credit"), QStringLiteral("Event")},
                 {1200, 1200, 1200});

  fraNote = new QWidget(this);
  fraNote->setObjectName(QStringLiteral("fraNote"));
  fraNote->setGeometry(place(bodyRect(8040, 3480, 3255, 375)));
  const struct {
    QPushButton*& button;
    const char* name;
    const char* caption;
    int left;
    std::uint8_t route;
  } buttons[] = {{cmdStack, "cmdStack", "Stack Note", 0, kRouteStack},
                 {cmdReturn, "cmdReturn", "Return Note", 1080, kRouteReturn},
                 {cmdHoldNote, "cmdHoldNote", "Hold Note", 2160, kRouteHold}};
  for (const auto& b : buttons) {
    b.button = new QPushButton(QString::fromLatin1(b.caption), fraNote);
    b.button->setObjectName(QString::fromLatin1(b.name));
    b.button->setGeometry(twipsRect(b.left, 0, 1095, 375));
    // A pressed-in button is a route request waiting for the next tick.
    b.button->setCheckable(true);
    connect(b.button, &QPushButton::clicked, this,
            [this, route = b.route] { emit routePressed(route); });
  }
  fraNote->hide();
}

void EventPane::setEventColour(const QColor& colour) {
  QPalette palette = lblEvent->palette();
  palette.setColor(QPalette::WindowText, colour);
  lblEvent->setPalette(palette);
}

void EventPane::setEventText(const QString& text) {
  lblEvent->setText(text);
}

void EventPane::showEscrow(bool shown) {
  fraNote->setVisible(shown);
}

void EventPane::showPendingRoute(std::uint8_t route) {
  const std::pair<QPushButton*, std::uint8_t> buttons[] = {
      {cmdStack, kRouteStack}, {cmdReturn, kRouteReturn}, {cmdHoldNote, kRouteHold}};
  for (const auto& [button, buttonRoute] : buttons) button->setChecked(route == buttonRoute);
}

}  // namespace tolvar
