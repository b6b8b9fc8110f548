// A window with the zav_quennet status widget and a Poll button.
// Usage: widget_window PORT [--quit-after MS]
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include "quennet/control/zav_quennet.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QStringList args = QApplication::arguments();
  if (args.size() < 2) {
    qWarning("usage: widget_window PORT [--quit-after MS]");
    return 2;
  }

  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* control = new zav_quennet(&window);
  auto* poll = new QPushButton(QStringLiteral("Poll"), &window);
  auto* reply = new QLabel(&window);
  layout->addWidget(control);
  layout->addWidget(poll);
  layout->addWidget(reply);

  // CRC frames on a line that echoes what the host sends, as bnvsim serves by default.
  control->setPortName(args[1]);
  control->setChecksumType(quennet::CHKSM_16BIT);
  control->setCommsEcho(true);
  control->setEnabled(true);
  int lastResult = -1;
  QObject::connect(poll, &QPushButton::clicked, [control, reply, &lastResult] {
    QString response;
    lastResult = control->SendPoll(40, response);
    reply->setText(QStringLiteral("%1 (result %2)").arg(response).arg(lastResult));
  });
  window.show();

  const int quitAt = args.indexOf(QStringLiteral("--quit-after"));
  if (quitAt > 0 && quitAt + 1 < args.size()) {
    // Scripted run: one poll, then close with its result as the exit status.
    QTimer::singleShot(0, poll, &QPushButton::click);
    QTimer::singleShot(args[quitAt + 1].toInt(), &app,
                       [&app, &lastResult] { app.exit(lastResult); });
  }
  return app.exec();
}
