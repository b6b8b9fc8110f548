// The form's caption labels and tool bar buttons: each shows its whole text, in the form's own
// size, where nothing covers it. The window on real screens: the program
// started on an X server of a given size and scale, where everything lands.
#include <QAction>
#include <QCoreApplication>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QPalette>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTreeWidget>

#include "tests/tolvar/bench_fixture.h"
#include "tolvar/mainwindow/traffic/traffic_dock.h"

namespace {

using FormLayout = BenchOnSimulator;

// What the window shows where `widget` stands, as it is and with the widget's text drawn in no
// colour, and what the widget draws of itself over the latter: where nothing covers the widget,
// the window shows just that.
struct Shown {
  QImage withText;
  QImage bare;
  QImage drawn;
};

Shown shownInWindow(QWidget* window, QWidget* widget) {
  const QRect at(widget->mapTo(window, QPoint(0, 0)), widget->size());
  const auto grab = [window, at] {
    return window->grab(at).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
  };
  Shown shown;
  shown.withText = grab();
  const QPalette kept = widget->palette();
  QPalette blank = kept;
  for (const auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text}) {
    blank.setColor(role, Qt::transparent);
  }
  widget->setPalette(blank);
  shown.bare = grab();
  widget->setPalette(kept);
  shown.drawn = shown.bare;
  widget->render(&shown.drawn, QPoint(), QRegion(), QWidget::DrawChildren);
  return shown;
}

// Every caption of the form shows its whole text in the form's own size, inside the window, and
// nothing on the form is drawn over it.
TEST_F(FormLayout, CaptionsShowWholeAndUncovered) {
  tolvar::frmHost& w = open();
  w.show();
  QList<QLabel*> captions;
  for (QLabel* label : w.findChildren<QLabel*>()) {
    // A caption shown only with its control (the key's, with encryption on) is not looked at.
    if (label->objectName().startsWith(QLatin1String("lblCaption_")) && label->isVisibleTo(&w)) {
      captions << label;
    }
  }
  ASSERT_FALSE(captions.isEmpty());
  for (QLabel* label : captions) {
    SCOPED_TRACE(label->objectName().toStdString() + " " + label->text().toStdString());
    EXPECT_TRUE(w.rect().contains(QRect(label->mapTo(&w, QPoint(0, 0)), label->size())));
    // Drawn in the form's own size, not shrunk to fit.
    EXPECT_EQ(label->font().pointSizeF(), w.font().pointSizeF());
    const QRect room = label->contentsRect();
    if (label->wordWrap()) {
      EXPECT_LE(label->heightForWidth(room.width()), room.height());
    } else {
      EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), room.width());
      EXPECT_LE(label->fontMetrics().height(), room.height());
    }
    const Shown shown = shownInWindow(&w, label);
    EXPECT_FALSE(shown.withText == shown.bare) << "no text drawn";
    EXPECT_TRUE(shown.withText == shown.drawn) << "covered";
  }
}

// Every button of the four bars shows on the form's width with its whole caption drawn: none
// is pushed into an overflow menu or cut.
TEST_F(FormLayout, EveryToolBarButtonShowsWhole) {
  tolvar::frmHost& w = open();
  w.show();
  const std::pair<const char*, const char*> bars[] = {{"tlbHost", nullptr},
                                                      {"tlbEnable", "Enable_Bar"},
                                                      {"tlbUtility", "Utilities_Bar"},
                                                      {"tlbDiagnostic", "Diag_Bar"}};
  for (const auto& [name, toggle] : bars) {
    SCOPED_TRACE(name);
    if (toggle) click("tlbHost", toggle);
    QCoreApplication::processEvents();
    auto* bar = named<tolvar::HostToolBar>(w, QLatin1String(name));
    ASSERT_TRUE(bar->isVisible());
    int buttons = 0;
    for (QAction* action : bar->actions()) {
      if (action->isSeparator()) continue;
      SCOPED_TRACE(action->text().toStdString());
      ++buttons;
      QWidget* button = bar->widgetForAction(action);
      ASSERT_NE(button, nullptr);
      EXPECT_TRUE(button->isVisible());
      EXPECT_TRUE(bar->rect().contains(button->geometry()));
      EXPECT_LE(button->fontMetrics().horizontalAdvance(action->text()), button->width());
      const Shown shown = shownInWindow(&w, button);
      EXPECT_FALSE(shown.withText == shown.bare) << "no text drawn";
      EXPECT_TRUE(shown.withText == shown.drawn) << "covered";
    }
    EXPECT_GT(buttons, 0);
  }
}

// Every unit data header shows whole in its column, and every value in the rest of the view.
TEST_F(FormLayout, UnitDataRowsAreNotCutOff) {
  tolvar::frmHost& w = open();
  w.show();
  click("tlbHost", "Unit_Data");
  QTreeWidget* view = named<QTreeWidget>(w, "lstViewUnitData");
  ASSERT_EQ(view->topLevelItemCount(), 17);
  const QFontMetrics metrics = view->fontMetrics();
  for (int i = 0; i < view->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* row = view->topLevelItem(i);
    SCOPED_TRACE(row->text(0).toStdString());
    EXPECT_LE(metrics.horizontalAdvance(row->text(0)) + 8, view->columnWidth(0));
    EXPECT_LE(view->columnWidth(0) + metrics.horizontalAdvance(row->text(1)) + 8,
              view->viewport()->width());
  }
}

// The window is as large as what it shows: no blank band where a hidden bar would go, and an
// opened bar pushes the body down instead of covering it.
TEST_F(FormLayout, TheWindowFitsWhatItShows) {
  tolvar::frmHost& w = open();
  w.show();
  QWidget* body = named<QWidget>(w, "body");
  tolvar::HostToolBar* host = named<tolvar::HostToolBar>(w, "tlbHost");
  EXPECT_EQ(body->mapTo(&w, QPoint(0, 0)).y(), host->mapTo(&w, QPoint(0, host->height())).y());
  EXPECT_EQ(w.maximumSize(), w.minimumSize());
  const int closedHeight = w.sizeHint().height();
  click("tlbHost", "Enable_Bar");
  EXPECT_EQ(w.sizeHint().height(),
            closedHeight + named<tolvar::HostToolBar>(w, "tlbEnable")->height());
  EXPECT_EQ(body->mapTo(&w, QPoint(0, 0)).y(),
            named<tolvar::HostToolBar>(w, "tlbEnable")->mapTo(&w, QPoint(0, 0)).y() +
                named<tolvar::HostToolBar>(w, "tlbEnable")->height());

  // With the traffic dock shown the window can be resized, and the dock takes the room while
  // the form keeps its size.
  w.trafficDock()->toggleViewAction()->trigger();
  QCoreApplication::processEvents();
  EXPECT_NE(w.maximumSize(), w.minimumSize());
  const QSize form = body->size();
  const int dockHeight = w.trafficDock()->height();
  w.resize(w.width() + 120, w.height() + 150);
  QCoreApplication::processEvents();
  EXPECT_EQ(body->size(), form);
  EXPECT_EQ(w.trafficDock()->height(), dockHeight + 150);
}

// Where the window and its parts landed, by phase ("start", "enlarged") and name.
using Placement = QHash<QString, QHash<QString, QRect>>;

// Runs the bench as the program starts it, with the Virtual Validator, on a fresh X server of
// `screen` pixels at `scale`, without a settings file.
Placement placedOn(const QString& screen, const QString& scale, QString* output) {
  QTemporaryDir dir;
  QProcess child;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  environment.insert(QStringLiteral("QT_SCALE_FACTOR"), scale);
  child.setProcessEnvironment(environment);
  child.start(QStringLiteral("xvfb-run"),
              {QStringLiteral("-a"), QStringLiteral("-s"), "-screen 0 " + screen + "x24",
               QStringLiteral(QUENNET_BENCH_DRIVER), QStringLiteral("geometry"),
               QStringLiteral("--simulate"), QStringLiteral("--settings"),
               dir.filePath(QStringLiteral("tolvar.ini"))});
  child.waitForFinished(60000);
  *output = QString::fromLocal8Bit(child.readAllStandardOutput() + child.readAllStandardError());
  Placement placed;
  for (const QString& line : output->split(QLatin1Char('\n'))) {
    // "PHASE NAME X Y WIDTH HEIGHT"; section titles may hold spaces.
    QStringList words = line.split(QLatin1Char(' '));
    if (words.size() < 6) continue;
    const QString phase = words.takeFirst();
    const int h = words.takeLast().toInt();
    const int w = words.takeLast().toInt();
    const int y = words.takeLast().toInt();
    const int x = words.takeLast().toInt();
    placed[phase][words.join(QLatin1Char(' '))] = QRect(x, y, w, h);
  }
  return placed;
}

// A fresh start fits the screen with its docks and is centred as a whole, at any scale, and a
// pane or a second tool bar shown later keeps it on the screen; made as
// large as the screen (as a window manager maximizes it), the form stays at the top left under
// its bar and the Virtual Validator takes the room. Where the screen is wide enough it shows
// every section of the pane without scrolling.
TEST(WindowOnScreen, FitsCentresAndGivesTheRoomToThePanes) {
  if (QStandardPaths::findExecutable(QStringLiteral("xvfb-run")).isEmpty()) {
    GTEST_SKIP() << "xvfb-run is not installed (scripts/setup.sh installs it)";
  }
  struct Case {
    const char* screen;
    const char* scale;
    bool roomy;  // every pane at its full size: the Virtual Validator, the traffic pane
  };
  // Xvfb runs no window manager: 1280x744 stands for a 1280x800 screen less its title bar and a
  // panel.
  const Case cases[] = {{"1280x800", "1", false},
                        {"1280x744", "1", false},
                        {"1920x1080", "1.5", false},
                        {"1600x1000", "1", true}};
  const QString pane = QStringLiteral("virtualValidatorDock");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.screen) + " at scale " + c.scale);
    QString output;
    const Placement placed = placedOn(QLatin1String(c.screen), QLatin1String(c.scale), &output);
    ASSERT_TRUE(placed.contains("start") && placed.contains("enlarged")) << output.toStdString();
    const QHash<QString, QRect>& start = placed["start"];
    const QRect screen = start["screen"];
    const QRect frame = start["frame"];
    EXPECT_TRUE(screen.contains(frame)) << output.toStdString();
    EXPECT_LE(std::abs(frame.center().x() - screen.center().x()), 1) << output.toStdString();
    EXPECT_LE(std::abs(frame.center().y() - screen.center().y()), 1) << output.toStdString();
    ASSERT_TRUE(start.contains("dock:" + pane)) << output.toStdString();
    EXPECT_TRUE(frame.contains(start["dock:" + pane]));
    if (c.roomy) {
      for (auto part = start.begin(); part != start.end(); ++part) {
        if (!part.key().startsWith(QLatin1String("section:"))) continue;
        EXPECT_TRUE(start["viewport:" + pane].contains(part.value()))
            << part.key().toStdString() << "\n"
            << output.toStdString();
      }
    }
    for (const QString& phase : {QStringLiteral("start"), QStringLiteral("enlarged")}) {
      SCOPED_TRACE(phase.toStdString());
      const QHash<QString, QRect>& at = placed[phase];
      const QRect window = at["window"];
      // The bar right under the menu, the body right under the bar, at the window's left.
      EXPECT_EQ(at["tlbHost"].top(), at["menu"].bottom() + 1) << output.toStdString();
      EXPECT_EQ(at["body"].top(), at["tlbHost"].bottom() + 1) << output.toStdString();
      EXPECT_EQ(at["body"].left(), window.left());
      // The form and the pane fill the window's width between them, up to the splitter.
      const QRect dock = at["dock:" + pane];
      EXPECT_EQ(dock.right(), window.right()) << output.toStdString();
      EXPECT_LE(dock.left() - at["central"].right(), 8) << output.toStdString();
      EXPECT_EQ(at["central"].width(), at["body"].width()) << output.toStdString();
    }
    // The traffic pane shown grows the window, which stays on the screen; where the screen has
    // room the pane shows a dozen frames.
    const QHash<QString, QRect>& docked = placed["docked"];
    EXPECT_TRUE(docked.contains("dock:trafficDock")) << output.toStdString();
    EXPECT_TRUE(docked["screen"].contains(docked["frame"])) << output.toStdString();
    if (c.roomy) {
      EXPECT_GE(docked["trafficTable"].height(), 12 * docked["trafficRow"].height())
          << output.toStdString();
    }
    // A second tool bar as well, and the console and Script Run beside the traffic pane: the
    // window still fits, its status bar and the docks' tabs on the screen.
    const QHash<QString, QRect>& barred = placed["barred"];
    ASSERT_TRUE(barred.contains("dock:trafficDock")) << output.toStdString();
    EXPECT_TRUE(barred["screen"].contains(barred["frame"])) << output.toStdString();
    EXPECT_TRUE(barred["screen"].contains(barred["status"])) << output.toStdString();
    EXPECT_GE(barred["status"].top(), barred["dock:trafficDock"].bottom()) << output.toStdString();
    const QHash<QString, QRect>& enlarged = placed["enlarged"];
    EXPECT_EQ(enlarged["window"].size(), enlarged["screen"].size());
    EXPECT_EQ(enlarged["body"].size(), start["body"].size());
    EXPECT_EQ(enlarged["dock:" + pane].height(), enlarged["central"].height());
  }
}

}  // namespace
