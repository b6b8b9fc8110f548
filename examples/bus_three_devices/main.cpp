// A validator (40), a coin acceptor (2) and a hopper (3) on one line, each driven by its own part
// of the program through one BusClient, while the program's own 10 ms timer keeps its pace.
// Usage: bus_three_devices PORT [SECONDS]   (bnvsim --hopper --coin-acceptor plays all three)
#include <algorithm>
#include <cstdio>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "quennet/bus/event_poller.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = QCoreApplication::arguments();
  if (args.size() < 2) {
    std::fprintf(stderr, "usage: bus_three_devices PORT [SECONDS]\n");
    return 2;
  }
  const int seconds = args.size() > 2 ? args[2].toInt() : 2;

  quennet::BusClient bus;
  bus.setPortName(args[1]);
  bus.setCommsEcho(true);
  if (!bus.open()) {
    std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(args[1]),
                 qPrintable(bus.errorString()));
    return 1;
  }

  // Every device's events, from one poller each on the same client.
  quennet::EventPoller notes(&bus, 40);
  quennet::EventPoller coins(&bus, 2, quennet::EventPoller::Source::CoinAcceptor);
  quennet::EventPoller payouts(&bus, 3, quennet::EventPoller::Source::Hopper);
  for (quennet::EventPoller* poller : {&notes, &coins, &payouts}) {
    QObject::connect(poller, &quennet::EventPoller::eventReceived, [](const quennet::BusEvent& e) {
      std::printf("device %d, event %d: %s\n", e.address, e.counter, qPrintable(e.text));
    });
    poller->setInterval(50);
    poller->start();
  }

  // Requests to all three devices at once; each reply answers its own request.
  int failed = 0;
  int finished = 0;
  const auto report = [&](quennet::BusReply* reply, const char* what) {
    QObject::connect(reply, &quennet::BusReply::finished, [&, reply, what] {
      ++finished;
      if (reply->result() != quennet::kResultOk) ++failed;
      const QVariantMap outputs = reply->outputs();
      std::printf("%s: %d %s %s\n", what, reply->result(), qPrintable(reply->caption()),
                  qPrintable(outputs.value("strResponse", outputs.value("Response")).toString()));
      reply->deleteLater();
    });
  };
  report(bus.invoke(40, "GetSerialNo"), "validator serial number");
  report(bus.invoke(2, "GetSerialNo"), "coin acceptor serial number");
  report(bus.invoke(3, "GetSerialNo"), "hopper serial number");
  report(bus.invoke(2, "SetInhibitStatus", {"255,255"}), "coin inhibits");
  report(bus.invoke(3, "Enable_Hopper"), "hopper enable");
  report(bus.invoke(3, "Dispense_Coins", {2}), "dispense 2 coins");
  const int sent = 6;

  double worstLateMs = 0;
  QElapsedTimer sinceTick;
  QTimer ticker;
  ticker.setTimerType(Qt::PreciseTimer);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    worstLateMs = std::max(worstLateMs, static_cast<double>(sinceTick.nsecsElapsed()) / 1e6 - 10);
    sinceTick.restart();
  });
  ticker.start(10);
  sinceTick.start();

  QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
  app.exec();
  std::printf("%d of %d requests finished, %d failed; the 10 ms timer was at most %.1f ms late\n",
              finished, sent, failed, worstLateMs);
  return finished == sent && failed == 0 ? 0 : 1;
}
