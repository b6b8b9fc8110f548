// The command line and the program's end: --quit-after takes only a finite positive number, and
// a box that is open when the time is up does not keep the program alive.
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include "tolvar/app/launch.h"
#include "tolvar/mainwindow/services/widget_ui_services.h"

namespace {

int quitAfterExit(const char* value) {
  int exitCode = -1;
  const auto options =
      tolvar::parseLaunchOptions({"tolvar", "--quit-after", QString::fromLatin1(value)}, exitCode);
  return options ? options->quitAfterMs : -exitCode;
}

}  // namespace

TEST(Launch, QuitAfterTakesAFinitePositiveNumber) {
  EXPECT_EQ(quitAfterExit("5"), 5000);
  EXPECT_EQ(quitAfterExit("0.25"), 250);
  for (const char* refused : {"0", "-1", "inf", "nan", "1e10", "abc", ""}) {
    EXPECT_EQ(quitAfterExit(refused), -2) << refused;
  }
}

TEST(Launch, StopAskingClosesTheOpenBoxAndAnswersTheNextOnes) {
  tolvar::WidgetUiServices ui;
  QTimer::singleShot(100, [&ui] { ui.stopAsking(); });
  QElapsedTimer clock;
  clock.start();
  ui.messageBox("Comms Port Error", "Tolvar", tolvar::MsgIcon::Critical);
  EXPECT_LT(clock.elapsed(), 5000);
  EXPECT_EQ(
      ui.messageBox("Save?", "Tolvar", tolvar::MsgIcon::None, tolvar::MsgButtons::YesNoCancel),
      tolvar::MsgResult::Cancel);
  EXPECT_TRUE(ui.inputBox("Key?", "Tolvar", "1").isEmpty());
  QDialog dialog;
  ui.runDialog(dialog);
  EXPECT_FALSE(dialog.isVisible());
}
