// Runs the bench as the program does (the same start-up and options, on whatever display it is
// given) and, once the window is on the screen, does one of two things:
//   bench_driver geometry [tolvar options]
// prints where the window and its parts are, then the same with the traffic pane shown, with a
// second tool bar as well, then after the window has been made as large as the screen, then
// closes it: one line per rectangle, in
// logical pixels on the screen, "PHASE NAME X Y WIDTH HEIGHT" (the window geometry test reads
// them);
//   bench_driver picture SCENE FILE [tolvar options]
// sets a scene up as a user would and saves a picture of the window to FILE (scripts/pictures.sh
// makes the README's pictures so). SCENE: "data" (unit and note data read), "escrow" (every note
// enabled, polling, a note in escrow, the traffic pane), "bus" (an address poll in the Bus View).
#include <cstdio>
#include <cstring>
#include <functional>

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDockWidget>
#include <QGroupBox>
#include <QHeaderView>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QWindow>

#include "tolvar/app/launch.h"
#include "tolvar/mainwindow/console/command_console.h"
#include "tolvar/mainwindow/console/script_run.h"
#include "tolvar/mainwindow/panes/bus_view_pane.h"
#include "tolvar/mainwindow/simulator/virtual_validator_presenter.h"
#include "tolvar/mainwindow/traffic/traffic_dock.h"
#include "tolvar/mainwindow/traffic/traffic_pane.h"
#include "tolvar/mainwindow/window/frm_host.h"
#include "tolvar/mainwindow/window/host_toolbar.h"

namespace {

void print(const char* phase, const QString& name, const QRect& r) {
  std::printf("%s %s %d %d %d %d\n", phase, qPrintable(name), r.x(), r.y(), r.width(), r.height());
}

QRect onScreen(const QWidget* widget) {
  return {widget->mapToGlobal(QPoint(0, 0)), widget->size()};
}

void report(const char* phase, QMainWindow& window) {
  QCoreApplication::processEvents();
  print(phase, QStringLiteral("screen"), window.screen()->availableGeometry());
  print(phase, QStringLiteral("frame"), window.frameGeometry());
  print(phase, QStringLiteral("window"), onScreen(&window));
  print(phase, QStringLiteral("menu"), onScreen(window.menuBar()));
  print(phase, QStringLiteral("central"), onScreen(window.centralWidget()));
  print(phase, QStringLiteral("status"), onScreen(window.statusBar()));
  for (const char* name : {"tlbHost", "body"}) {
    if (const auto* part = window.findChild<QWidget*>(QLatin1String(name))) {
      print(phase, QLatin1String(name), onScreen(part));
    }
  }
  for (const QDockWidget* dock : window.findChildren<QDockWidget*>()) {
    // A dock behind another one's tab is not drawn.
    if (dock->isHidden() || dock->visibleRegion().isEmpty()) continue;
    print(phase, QStringLiteral("dock:") + dock->objectName(), onScreen(dock));
    if (dock->isFloating())
      print(phase, QStringLiteral("floating:") + dock->objectName(), onScreen(dock));
    // A pane that scrolls shows what lies inside its viewport.
    if (const auto* scroll = qobject_cast<const QScrollArea*>(dock->widget())) {
      print(phase, QStringLiteral("viewport:") + dock->objectName(), onScreen(scroll->viewport()));
      for (const QGroupBox* section : scroll->widget()->findChildren<QGroupBox*>()) {
        print(phase, QStringLiteral("section:") + section->title(), onScreen(section));
      }
    }
  }
  if (auto* frmHost = qobject_cast<tolvar::frmHost*>(&window);
      frmHost && frmHost->trafficDock()->isVisible()) {
    const QTableView* table = frmHost->trafficDock()->trafficPane()->table();
    print(phase, QStringLiteral("trafficTable"), onScreen(table));
    print(phase, QStringLiteral("trafficRow"),
          QRect(0, 0, 0, table->verticalHeader()->defaultSectionSize()));
  }
  std::printf("%s ratio %g\n", phase, window.devicePixelRatioF());
  std::fflush(stdout);
}

void press(tolvar::frmHost& window, const char* bar, const char* key) {
  window.findChild<tolvar::HostToolBar*>(QLatin1String(bar))->button(QLatin1String(key))->trigger();
}

// Sets `scene` up; `done` runs once it can be seen.
bool stage(tolvar::frmHost& window, const QString& scene, const std::function<void()>& done) {
  if (scene == QLatin1String("data")) {
    press(window, "tlbHost", "Unit_Data");
    press(window, "tlbHost", "Note_Data");
    QTimer::singleShot(300, &window, done);
  } else if (scene == QLatin1String("escrow")) {
    press(window, "tlbEnable", "Enable_All");
    press(window, "tlbHost", "Poll_BNV");
    window.trafficDock()->show();
    QTimer::singleShot(600, &window, [&window, done] {
      window.findChild<tolvar::VirtualValidatorDock*>()->pane()->insertNote->click();
      QTimer::singleShot(1500, &window, done);
    });
  } else if (scene == QLatin1String("bus")) {
    press(window, "tlbUtility", "Addr_Poll");
    QTimer::singleShot(300, &window, done);
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool picture = argc >= 4 && std::strcmp(argv[1], "picture") == 0;
  if (!picture && (argc < 2 || std::strcmp(argv[1], "geometry") != 0)) {
    std::fprintf(stderr, "usage: bench_driver geometry|picture SCENE FILE [tolvar options]\n");
    return 2;
  }
  const QString scene = picture ? QString::fromLocal8Bit(argv[2]) : QString();
  const QString file = picture ? QString::fromLocal8Bit(argv[3]) : QString();
  // What follows goes to the program as its own command line.
  const int skipped = picture ? 3 : 1;
  argv[skipped] = argv[0];
  argc -= skipped;
  argv += skipped;
  QApplication app(argc, argv);
  const QDeadlineTimer deadline(20000);
  QTimer look;
  look.setInterval(50);
  QObject::connect(&look, &QTimer::timeout, [&look, &deadline, scene, file, picture] {
    tolvar::frmHost* window = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (auto* main = qobject_cast<tolvar::frmHost*>(top); main && main->isVisible()) {
        window = main;
      }
    }
    if (!window || !window->windowHandle() || !window->windowHandle()->isExposed()) {
      if (deadline.hasExpired()) {
        std::fprintf(stderr, "bench_driver: the window never showed\n");
        QCoreApplication::exit(1);
      }
      return;
    }
    look.stop();
    if (picture) {
      const bool known = stage(*window, scene, [window, file] {
        if (!window->grab().save(file)) std::fprintf(stderr, "bench_driver: cannot save\n");
        window->close();
      });
      if (!known) {
        std::fprintf(stderr, "bench_driver: no scene %s\n", qPrintable(scene));
        window->close();
      }
      return;
    }
    report("start", *window);
    // The traffic pane shown under the form, as F9 shows it.
    window->trafficDock()->toggleViewAction()->trigger();
    QTimer::singleShot(300, window, [window] {
      report("docked", *window);
      // A second bar under the host bar as well, as its button shows it, and the console and
      // Script Run beside the traffic pane.
      press(*window, "tlbHost", "Enable_Bar");
      window->consoleDock()->toggleViewAction()->trigger();
      window->scriptDock()->toggleViewAction()->trigger();
    });
    QTimer::singleShot(600, window, [window] {
      report("barred", *window);
      press(*window, "tlbHost", "Enable_Bar");
      window->consoleDock()->toggleViewAction()->trigger();
      window->scriptDock()->toggleViewAction()->trigger();
      window->trafficDock()->toggleViewAction()->trigger();
      QTimer::singleShot(200, window, [window] {
        // As a window manager maximizes it: the whole available screen.
        window->setGeometry(window->screen()->availableGeometry());
        QTimer::singleShot(300, window, [window] {
          report("enlarged", *window);
          window->close();
        });
      });
    });
  });
  look.start();
  return tolvar::runTolvar(app);
}
