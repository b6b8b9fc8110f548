#include <QApplication>
#include <QMouseEvent>

#include <gtest/gtest.h>

#include "control/control_fixture.h"
#include "quennet/control/zav_quennet.h"
#include "support/reply_frames.h"

using namespace quennet;
using controltest::CapturedMessages;

namespace {

struct Widget {
  Widget() {
    auto owned = std::make_unique<ScriptedLine>();
    line = owned.get();
    control = std::make_unique<zav_quennet>(std::move(owned));
    control->setMessages(&messages);
  }
  void doubleClickLabel() {
    const QPointF at(2, 2);
    QMouseEvent click(QEvent::MouseButtonDblClick, at, control->lblStatus->mapToGlobal(at),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(control->lblStatus, &click);
  }

  ScriptedLine* line = nullptr;
  CapturedMessages messages;
  std::unique_ptr<zav_quennet> control;
};

}  // namespace

TEST(ZavQuennet, LabelPaintsTheControlState) {
  Widget w;
  QLabel* label = w.control->lblStatus;
  const QPalette scheme = w.control->palette();
  w.control->setEnabled(true);
  // Open, nothing heard yet: grey until a reply.
  EXPECT_EQ(label->text(), QStringLiteral("Comms Ready"));
  EXPECT_EQ(label->palette().color(QPalette::Window),
            oleColorToQColor(kColorInactiveCaption, scheme));
  EXPECT_EQ(label->toolTip(), QStringLiteral("Comm Port 1 (/dev/ttyS0), 9600,n,8,1"));

  w.line->setResponder([](const QByteArray& written) {
    return testframes::completeFrameLength(written) ? testframes::reply(6, {}, false)
                                                    : QByteArray();
  });
  QString reply;
  EXPECT_EQ(w.control->SendPoll(40, reply), kResultBusy);
  EXPECT_EQ(label->text(), QStringLiteral("BUSY"));
  // Green is for a good reply only: a failure shows in red.
  EXPECT_EQ(label->palette().color(QPalette::Window), QColor(255, 0, 0));

  w.control->setEnabled(false);
  EXPECT_EQ(label->text(), QStringLiteral("Comms Disabled"));
  EXPECT_EQ(label->palette().color(QPalette::Window),
            oleColorToQColor(kColorInactiveCaption, scheme));
  EXPECT_EQ(label->palette().color(QPalette::WindowText),
            oleColorToQColor(kColorInactiveCaptionText, scheme));
  w.control->setForeColor(0x000000FF);
  EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(255, 0, 0));
}

TEST(ZavQuennet, DoubleClickOnTheLabelRaisesDblClickWhateverThePortState) {
  Widget w;
  int raised = 0;
  QObject::connect(w.control.get(), &zav_quennet::DblClick, [&] { ++raised; });
  w.doubleClickLabel();
  EXPECT_EQ(raised, 1);
  // The Enabled property must not disable the widget: a container toggles it by double click.
  w.control->setEnabled(false);
  EXPECT_TRUE(w.control->isEnabled());
  w.doubleClickLabel();
  EXPECT_EQ(raised, 2);
}

TEST(ZavQuennet, ResizeStretchesTheLabelAndKeepsItsHeight) {
  Widget w;
  w.control->show();
  const int labelHeight = w.control->lblStatus->height();
  ASSERT_GT(labelHeight, 0);
  for (const QSize size : {QSize(320, 90), QSize(150, 4)}) {
    w.control->resize(size);
    QApplication::processEvents();
    EXPECT_EQ(w.control->lblStatus->geometry(), QRect(0, 0, size.width(), labelHeight));
    EXPECT_EQ(w.control->size(), QSize(size.width(), labelHeight));
  }
}
