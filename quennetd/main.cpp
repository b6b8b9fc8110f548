// quennetd: the cash-device service. Owns one ccTalk bus and serves it on MQTT until SIGTERM,
// SIGINT or SIGHUP, each of which stops it in order.
#include <signal.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include "quennet/quennet_version.h"
#include "quennetd/daemon_options.h"
#include "quennetd/service.h"

namespace {

void notify(const QString& state) {
  sd_notify(0, state.toUtf8().constData());
}

}  // namespace

int main(int argc, char* argv[]) {
  // Blocked before any thread starts, so every thread leaves them to the signal descriptor.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  const int signalFd = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);

  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("quennetd"));
  QString error;
  const auto options = quennetd::parseOptions(app.arguments().mid(1), &error);
  if (!options) {
    std::fprintf(stderr, "quennetd: %s\n", qPrintable(error));
    return 2;
  }
  if (options->help) {
    std::printf("%s", qPrintable(quennetd::helpText()));
    return 0;
  }
  if (options->version) {
    std::printf("quennetd %s\n", QUENNET_VERSION_STR);
    return 0;
  }

  if (options->inhibitOnly) {
    quennetd::inhibitAcceptors(*options, [](int status, const QStringList& log) {
      for (const QString& line : log) std::fprintf(stderr, "quennetd: %s\n", qPrintable(line));
      QCoreApplication::exit(status);
    });
    return app.exec();
  }

  quennetd::Service service(*options);
  QObject::connect(&service, &quennetd::Service::statusChanged, [](const QString& line) {
    notify(QStringLiteral("STATUS=") + line);
    std::fprintf(stderr, "quennetd: %s\n", qPrintable(line));
  });
  QObject::connect(
      &service, &quennetd::Service::finished, &app, [] { QCoreApplication::exit(0); },
      Qt::QueuedConnection);
  QSocketNotifier stop(signalFd, QSocketNotifier::Read);
  QObject::connect(&stop, &QSocketNotifier::activated, [&] {
    signalfd_siginfo info{};
    while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    notify(QStringLiteral("STOPPING=1"));
    service.shutdown();
  });

  if (!service.start(&error)) {
    std::fprintf(stderr, "quennetd: %s\n", qPrintable(error));
    return 2;
  }
  notify(QStringLiteral("READY=1\nSTATUS=") + service.statusLine());
  // The watchdog is fed from the event loop, so a loop that hangs is restarted.
  QTimer watchdog;
  std::uint64_t watchdogUs = 0;
  if (sd_watchdog_enabled(0, &watchdogUs) > 0) {
    QObject::connect(&watchdog, &QTimer::timeout, [] { notify(QStringLiteral("WATCHDOG=1")); });
    watchdog.start(static_cast<int>(watchdogUs / 2000));
  }
  return app.exec();
}
