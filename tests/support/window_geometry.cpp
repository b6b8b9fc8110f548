// The window geometry test's child: runs the bench as the program does (the same start-up, on
// whatever display it is given) and, once the window is on the screen, prints where it and its
// parts are, then the same after the window has been made as large as the screen, then closes
// it. One line per rectangle, in logical pixels on the screen: "PHASE NAME X Y WIDTH HEIGHT".
#include <cstdio>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDockWidget>
#include <QGroupBox>
#include <QMainWindow>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QTimer>
#include <QWindow>

#include "tolvar/app/launch.h"

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
  for (const char* name : {"tlbHost", "body"}) {
    if (const auto* part = window.findChild<QWidget*>(QLatin1String(name))) {
      print(phase, QLatin1String(name), onScreen(part));
    }
  }
  for (const QDockWidget* dock : window.findChildren<QDockWidget*>()) {
    if (dock->isHidden()) continue;
    print(phase, QStringLiteral("dock:") + dock->objectName(), onScreen(dock));
    // A pane that scrolls shows what lies inside its viewport.
    if (const auto* scroll = qobject_cast<const QScrollArea*>(dock->widget())) {
      print(phase, QStringLiteral("viewport:") + dock->objectName(), onScreen(scroll->viewport()));
      for (const QGroupBox* section : scroll->widget()->findChildren<QGroupBox*>()) {
        print(phase, QStringLiteral("section:") + section->title(), onScreen(section));
      }
    }
  }
  std::printf("%s ratio %g\n", phase, window.devicePixelRatioF());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QDeadlineTimer deadline(20000);
  QTimer look;
  look.setInterval(50);
  QObject::connect(&look, &QTimer::timeout, [&look, &deadline] {
    QMainWindow* window = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (auto* main = qobject_cast<QMainWindow*>(top); main && main->isVisible()) window = main;
    }
    if (!window || !window->windowHandle() || !window->windowHandle()->isExposed()) {
      if (deadline.hasExpired()) {
        std::fprintf(stderr, "window_geometry: the window never showed\n");
        QCoreApplication::exit(1);
      }
      return;
    }
    look.stop();
    report("start", *window);
    // As a window manager maximizes it: the whole available screen.
    window->setGeometry(window->screen()->availableGeometry());
    QTimer::singleShot(300, window, [window] {
      report("enlarged", *window);
      window->close();
    });
  });
  look.start();
  return tolvar::runTolvar(app);
}
