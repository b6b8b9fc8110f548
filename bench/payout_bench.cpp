// quennetd paying coins from a hopper that pays them over time: a pay request of N coins (default
// 50) from the moment it is published to the payout message and the reply at a subscriber, against
// the hopper's own time to pay them (N / rate). Starts its own mosquitto, bnvsim --hopper and
// quennetd.

#include <algorithm>
#include <cstdio>
#include <functional>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include "bench_help.h"
#include "quennetd/mqtt_link.h"
#include "tests/support/free_port.h"

namespace {

constexpr const char* kUsage =
    "usage: bench_payout [--coins N] [--rate R] [--runs K] [--poll-ms MS]\n"
    "Starts its own mosquitto, bnvsim (validator and a hopper paying R coins a second, default 6)\n"
    "and quennetd with a payout hopper, then times K pay requests (default 5) of N coins (default\n"
    "50): from publishing the request to the payout message and to the reply at a subscriber,\n"
    "against N / R, the time the hopper itself takes. Also counts the progress messages.\n";

bool waitFor(quennetd::MqttLink& link, const std::function<bool()>& done, int ms) {
  if (done()) return true;
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  QObject::connect(&link, &quennetd::MqttLink::messageReceived, &loop, [&] {
    if (done()) loop.quit();
  });
  QObject::connect(&link, &quennetd::MqttLink::connected, &loop, [&] {
    if (done()) loop.quit();
  });
  loop.exec();
  return done();
}

}  // namespace

int main(int argc, char** argv) {
  if (answeredHelp(argc, argv, kUsage)) return 0;
  QCoreApplication app(argc, argv);
  int coins = 50;
  int rate = 6;
  int runs = 5;
  int pollMs = 200;
  const QStringList args = app.arguments();
  for (int k = 1; k + 1 < args.size(); k += 2) {
    if (args[k] == u"--coins") coins = std::clamp(args[k + 1].toInt(), 1, 255);
    if (args[k] == u"--rate") rate = std::max(1, args[k + 1].toInt());
    if (args[k] == u"--runs") runs = std::max(1, args[k + 1].toInt());
    if (args[k] == u"--poll-ms") pollMs = args[k + 1].toInt();
  }
  QTemporaryDir dir(QStringLiteral("payout-bench-XXXXXX"));
  const int port = quennet::testing::freePort();
  QFile conf(dir.filePath(QStringLiteral("mosquitto.conf")));
  conf.open(QIODevice::WriteOnly);
  conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(port).toUtf8());
  conf.close();
  QProcess broker;
  broker.start(QStringLiteral("mosquitto"), {"-c", conf.fileName()});
  QProcess devices;
  const QString link = dir.filePath(QStringLiteral("bus"));
  devices.start(QStringLiteral(QUENNET_BNVSIM),
                {"--hopper", "--hopper-rate", QString::number(rate), "--link", link});
  devices.waitForReadyRead();
  devices.readAll();

  quennetd::MqttLink consumer;
  quennetd::MqttSettings settings;
  settings.host = QStringLiteral("127.0.0.1");
  settings.port = port;
  settings.clientId = QStringLiteral("payout-bench-consumer");
  settings.subscriptions = {QStringLiteral("bench/#")};
  bool ready = false;
  QString waitingFor;
  qint64 payoutMs = -1;
  qint64 replyMs = -1;
  int progress = 0;
  int paid = -1;
  QElapsedTimer clock;
  QObject::connect(
      &consumer, &quennetd::MqttLink::messageReceived,
      [&](const QString& topic, const QByteArray& payload) {
        const QJsonObject o = QJsonDocument::fromJson(payload).object();
        const QString leaf = topic.section(u'/', -1);
        if (leaf == u"status" && o.value("state").toString() == u"online" &&
            o.value("devices").toArray().size() == 2) {
          ready = true;
        }
        if (leaf == u"progress" && o.value("request").toString() == waitingFor) {
          ++progress;
        }
        if (leaf == u"payout" && o.value("request").toString() == waitingFor) {
          if (payoutMs < 0) payoutMs = clock.elapsed();
          paid = o.value("paid").toInt();
          consumer.publish(
              QStringLiteral("bench/ack"),
              QJsonDocument(QJsonObject{{"id", o.value("id")}}).toJson(QJsonDocument::Compact), 1,
              false);
        }
        if (leaf == u"reply" && o.value("id").toString() == waitingFor) {
          replyMs = clock.elapsed();
        }
      });
  QString error;
  consumer.start(settings, &error);
  waitFor(
      consumer, [&] { return consumer.isConnected(); }, 10000);
  QProcess service;
  service.start(QStringLiteral(QUENNET_SERVICE),
                {"--port", link, "--broker", QStringLiteral("127.0.0.1:%1").arg(port), "--prefix",
                 "bench", "--journal", dir.filePath(QStringLiteral("service.journal")), "--poll-ms",
                 QString::number(pollMs), "--payout-hoppers", "3:100"});
  if (!waitFor(
          consumer, [&] { return ready; }, 30000)) {
    std::printf("the service did not come up\n");
    return 1;
  }
  const double floorMs = 1000.0 * coins / rate;
  std::vector<qint64> total;
  for (int run = 0; run < runs; ++run) {
    waitingFor = QStringLiteral("bench-pay-%1").arg(run);
    payoutMs = replyMs = -1;
    progress = 0;
    paid = -1;
    clock.start();
    consumer.publish(
        QStringLiteral("bench/cmd"),
        QJsonDocument(QJsonObject{{"id", waitingFor}, {"method", "pay"}, {"amount", 100 * coins}})
            .toJson(QJsonDocument::Compact),
        1, false);
    if (!waitFor(
            consumer, [&] { return replyMs >= 0 && payoutMs >= 0; },
            static_cast<int>(floorMs) * 3 + 10000)) {
      std::printf("run %d: no answer (payout %lld ms, reply %lld ms)\n", run,
                  static_cast<long long>(payoutMs), static_cast<long long>(replyMs));
      continue;
    }
    total.push_back(replyMs);
    std::printf(
        "run %d: %d coins paid of %d; payout message %lld ms, reply %lld ms after the request; "
        "%d progress messages\n",
        run, paid, coins, static_cast<long long>(payoutMs), static_cast<long long>(replyMs),
        progress);
  }
  if (!total.empty()) {
    std::sort(total.begin(), total.end());
    const qint64 median = total[total.size() / 2];
    std::printf(
        "%d coins at %d a second, request to reply: median %lld ms, worst %lld ms; the hopper's "
        "own time %.0f ms, so %.0f ms (%.1f %%) over it\n",
        coins, rate, static_cast<long long>(median), static_cast<long long>(total.back()), floorMs,
        median - floorMs, 100.0 * (median - floorMs) / floorMs);
  }
  service.terminate();
  service.waitForFinished();
  consumer.stop(1000);
  devices.kill();
  broker.kill();
  devices.waitForFinished();
  broker.waitForFinished();
  return 0;
}
