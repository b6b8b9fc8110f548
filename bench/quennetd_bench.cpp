// quennetd: note inserted to credit at a subscriber (p50, p99), the same while a consumer floods
// the command topic, 10 000 credits through the journal, coins credited while a consumer
// acknowledges 10 000 credits at once, and the service's CPU time while idle (a minute,
// extrapolated to an hour).
// Starts its own mosquitto, bnvsim --hopper --coin-acceptor and quennetd.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include "bench_help.h"
#include "quennetd/journal.h"
#include "quennetd/mqtt_link.h"
#include "tests/support/free_port.h"

namespace {

using quennet::testing::freePort;

// Runs the event loop until `done` holds, woken by `link`'s messages; false after `ms`.
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

// User plus system CPU time of a process, in seconds.
double cpuSeconds(qint64 pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return 0;
  const QByteArray text = stat.readAll();
  const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
  // After the name: state is field 3, utime 14 and stime 15 (1-based in proc(5)).
  return (fields[11].toDouble() + fields[12].toDouble()) / sysconf(_SC_CLK_TCK);
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * (values.size() - 1))];
}

void journalBench(const QString& path, int credits) {
  quennetd::Journal journal;
  if (!journal.open(path)) {
    std::printf("journal: %s\n", qPrintable(journal.errorString()));
    return;
  }
  QElapsedTimer clock;
  clock.start();
  std::vector<double> each;
  for (int k = 0; k < credits; ++k) {
    QElapsedTimer one;
    one.start();
    const QString id = QStringLiteral("bench-%1").arg(k);
    journal.recordCredit(QStringLiteral("40/1234567"),
                         {id, QJsonDocument(QJsonObject{{"id", id}, {"value", 1000}}).toJson()},
                         {QStringLiteral("bench"), k % 255 + 1, k + 1});
    each.push_back(one.nsecsElapsed() / 1e6);
  }
  const double writeS = clock.elapsed() / 1000.0;
  clock.restart();
  const auto open = journal.outstanding();
  const double readMs = clock.elapsed();
  clock.restart();
  for (const auto& credit : open) journal.acknowledge({credit.id});
  const double ackS = clock.elapsed() / 1000.0;
  std::printf(
      "journal: %d credits written in %.2f s (%.0f/s; p50 %.2f ms, p99 %.2f ms each), "
      "%lld outstanding read in %.0f ms, acknowledged in %.2f s\n",
      credits, writeS, credits / writeS, percentile(each, 0.5), percentile(each, 0.99),
      static_cast<long long>(open.size()), readMs, ackS);
}

}  // namespace

constexpr const char* kUsage =
    "usage: bench_quennetd [--notes N] [--poll-ms MS] [--idle-s S] [--credits N] [--flood-rate R]\n"
    "Starts its own mosquitto, bnvsim (validator, hopper, coin acceptor) and quennetd, then\n"
    "measures: N credits through the journal (default 10000); note stacked to its credit at a\n"
    "subscriber, p50 and p99 over N notes (default 100) polling every MS ms (default 200), alone\n"
    "and while R requests a second (default 50) flood cmd, at an address with no device and at\n"
    "the validator; coin inserted to credit while the consumer acknowledges N credits (--credits)\n"
    "at once; the service's CPU time while idle for S seconds (default 60), scaled to an hour.\n";

int main(int argc, char** argv) {
  if (answeredHelp(argc, argv, kUsage)) return 0;
  QCoreApplication app(argc, argv);
  int notes = 100;
  int pollMs = 200;
  int idleS = 60;
  int credits = 10000;
  int floodRate = 50;
  const QStringList args = app.arguments();
  for (int k = 1; k + 1 < args.size(); k += 2) {
    if (args[k] == u"--notes") notes = args[k + 1].toInt();
    if (args[k] == u"--poll-ms") pollMs = args[k + 1].toInt();
    if (args[k] == u"--idle-s") idleS = args[k + 1].toInt();
    if (args[k] == u"--credits") credits = args[k + 1].toInt();
    if (args[k] == u"--flood-rate") floodRate = std::max(1, args[k + 1].toInt());
  }
  // On the build directory's disk, not a tmpfs: every commit is synced.
  QTemporaryDir dir(QStringLiteral("quennetd-bench-XXXXXX"));
  journalBench(dir.filePath(QStringLiteral("bench.journal")), credits);

  const int port = freePort();
  QFile conf(dir.filePath(QStringLiteral("mosquitto.conf")));
  conf.open(QIODevice::WriteOnly);
  conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(port).toUtf8());
  conf.close();
  QProcess broker;
  // What the broker says (a client's messages dropped, among others) goes to a file.
  broker.setStandardErrorFile(dir.filePath(QStringLiteral("broker.log")));
  broker.start(QStringLiteral("mosquitto"), {"-c", conf.fileName()});
  // The broker's notices that it dropped messages for a client, so far.
  const auto brokerDrops = [&] {
    QFile log(dir.filePath(QStringLiteral("broker.log")));
    log.open(QIODevice::ReadOnly);
    return QString::fromUtf8(log.readAll()).count(QLatin1String("dropped"));
  };
  QProcess devices;
  const QString link = dir.filePath(QStringLiteral("bus"));
  devices.start(QStringLiteral(QUENNET_BNVSIM), {"--hopper", "--coin-acceptor", "--link", link});
  devices.waitForReadyRead();
  devices.readAll();

  quennetd::MqttLink consumer;
  quennetd::MqttSettings settings;
  settings.host = QStringLiteral("127.0.0.1");
  settings.port = port;
  settings.clientId = QStringLiteral("bench-consumer");
  settings.subscriptions = {QStringLiteral("bench/credit"), QStringLiteral("bench/status"),
                            QStringLiteral("bench/escrow"), QStringLiteral("bench/reply")};
  QList<QJsonObject> credited;
  // Credits the journal held before the service started, not yet acknowledged: each id once, in
  // the order they first came, and how many deliveries that took (some come again: the broker
  // drops what it cannot queue for a client, and the service publishes them again).
  QStringList storm;
  QSet<QString> stormSeen;
  int stormDeliveries = 0;
  std::optional<int> openCredits;  // as the last query answered
  QString journalTrouble;          // what the status said when the journal was not ok
  int statuses = 0;                // status messages (one on every connection, among others)
  QMap<QString, int> replies;      // answered, busy, refused
  int held = 0;
  QString escrowId;  // the note held now
  bool ready = false;
  QObject::connect(
      &consumer, &quennetd::MqttLink::messageReceived,
      [&](const QString& topic, const QByteArray& payload) {
        const QJsonObject o = QJsonDocument::fromJson(payload).object();
        if (topic.endsWith(u"credit")) {
          if (o.value("id").toString().startsWith(u"storm-")) {
            ++stormDeliveries;
            if (!stormSeen.contains(o.value("id").toString())) {
              stormSeen.insert(o.value("id").toString());
              storm.append(o.value("id").toString());
            }
          } else {
            credited.append(o);
          }
        }
        if (topic.endsWith(u"escrow")) {
          ++held;
          escrowId = o.value("id").toString();
        }
        if (topic.endsWith(u"reply") && o.value("id").toString() == u"open") {
          openCredits = o.value("unacknowledged").toObject().value("credits").toInt();
        }
        if (topic.endsWith(u"reply") && o.value("id").toString().startsWith(u"flood")) {
          const QString error = o.value("error").toString();
          ++replies[error.isEmpty()    ? QStringLiteral("answered")
                    : error == u"busy" ? QStringLiteral("busy")
                                       : QStringLiteral("refused")];
        }
        if (topic.endsWith(u"status")) ++statuses;
        if (topic.endsWith(u"status") && o.contains(u"journal") &&
            o.value("journal").toString() != u"ok") {
          journalTrouble = o.value("journal").toString();
        }
        if (topic.endsWith(u"status") && o.value("state").toString() == u"online" &&
            o.value("devices").toArray().size() == 3) {
          ready = true;
        }
      });
  QString error;
  consumer.start(settings, &error);
  waitFor(
      consumer, [&] { return consumer.isConnected(); }, 10000);

  QProcess service;
  const auto startService = [&](const QStringList& extra) {
    ready = false;
    service.start(QStringLiteral(QUENNET_SERVICE),
                  QStringList{"--port", link, "--broker", QStringLiteral("127.0.0.1:%1").arg(port),
                              "--prefix", "bench", "--journal",
                              dir.filePath(QStringLiteral("service.journal")), "--poll-ms",
                              QString::number(pollMs), "--client-id",
                              // Its own: benchmarks and tests run side by side on one machine.
                              QStringLiteral("quennetd-bench-%1").arg(port)} +
                      extra);
    return waitFor(
        consumer, [&] { return ready; }, 60000);
  };
  const auto ackLast = [&] {
    const QString id = credited.back().value("id").toString();
    consumer.publish(QStringLiteral("bench/ack"),
                     QJsonDocument(QJsonObject{{"id", id}}).toJson(QJsonDocument::Compact), 1,
                     false);
  };
  const auto report = [&](const char* what, const std::vector<double>& ms) {
    if (ms.empty()) return;
    std::printf("%s, poll every %d ms, %zu notes: p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", what,
                pollMs, ms.size(), percentile(ms, 0.5), percentile(ms, 0.99), percentile(ms, 1.0));
  };

  // The note held in escrow until this consumer routes it by its escrow id: from the route to the
  // credit is the line's stack to the credit at a subscriber, plus one trip of the route (< 1 ms).
  // One command a note is faster than the default rate limit allows.
  if (!startService(
          {"--escrow", "hold", "--escrow-timeout-ms", "10000", "--command-rate", "1000"})) {
    std::printf("the service did not come up\n");
    return 1;
  }
  const auto stackedToCredit = [&] {
    std::vector<double> stacked;
    for (int k = 0; k < notes; ++k) {
      const int before = held;
      const qsizetype credits = credited.size();
      devices.write("insert 2\n");
      devices.waitForBytesWritten();
      if (!waitFor(
              consumer, [&] { return held > before; }, 10000)) {
        std::printf("note %d: not in escrow\n", k);
        continue;
      }
      QElapsedTimer clock;
      clock.start();
      consumer.publish(QStringLiteral("bench/route"),
                       QJsonDocument(QJsonObject{{"id", QStringLiteral("stack-%1").arg(escrowId)},
                                                 {"escrow", escrowId},
                                                 {"action", "stack"}})
                           .toJson(QJsonDocument::Compact),
                       1, false);
      if (!waitFor(
              consumer, [&] { return credited.size() > credits; }, 10000)) {
        std::printf("note %d: no credit\n", k);
        continue;
      }
      stacked.push_back(clock.nsecsElapsed() / 1e6);
      ackLast();
      devices.readAll();
    }
    return stacked;
  };
  report("note stacked on the line to credit at a subscriber", stackedToCredit());
  // The same while a consumer floods cmd with requests the gate lets through, at an address with
  // no device and at the validator itself: the commands get their share of the line, the polls
  // keep their period.
  for (const int address : {9, 40}) {
    replies.clear();
    QTimer flood;
    int sent = 0;
    QObject::connect(&flood, &QTimer::timeout, [&] {
      consumer.publish(
          QStringLiteral("bench/cmd"),
          QStringLiteral(R"({"id":"flood-%1","address":%2,"method":"GetSerialNo","inputs":[]})")
              .arg(sent++)
              .arg(address)
              .toUtf8(),
          1, false);
    });
    flood.start(1000 / floodRate);
    const std::vector<double> flooded = stackedToCredit();
    flood.stop();
    waitFor(
        consumer, [] { return false; }, 500);
    const QString what =
        QStringLiteral("the same, GetSerialNo flooding address %1 (%2) at %3 a second")
            .arg(address)
            .arg(address == 40 ? "the validator" : "no device")
            .arg(floodRate);
    report(qPrintable(what), flooded);
    std::printf("  %d requests: %d answered by a device, %d busy, %d refused otherwise\n", sent,
                replies.value(QStringLiteral("answered")), replies.value(QStringLiteral("busy")),
                replies.value(QStringLiteral("refused")));
    if (!flooded.empty()) {
      std::printf("  p99 %s poll + 100 ms\n",
                  percentile(flooded, 0.99) <= pollMs + 100 ? "within" : "NOT within");
    }
  }
  service.terminate();
  service.waitForFinished();

  // The default: the service stacks every note itself.
  if (!startService({})) {
    std::printf("the service did not come up\n");
    return 1;
  }
  std::vector<double> latency;
  for (int k = 0; k < notes; ++k) {
    const qsizetype before = credited.size();
    QElapsedTimer clock;
    devices.write("insert 2\n");
    devices.waitForBytesWritten();
    clock.start();
    if (!waitFor(
            consumer, [&] { return credited.size() > before; }, 10000)) {
      std::printf("note %d: no credit\n", k);
      continue;
    }
    latency.push_back(clock.nsecsElapsed() / 1e6);
    ackLast();
    devices.readAll();
  }
  report("note inserted to credit at a subscriber (escrow, stack)", latency);
  service.terminate();
  service.waitForFinished();

  // An ack storm: the journal holds `credits` credits nobody booked; the service publishes them
  // on connecting, and the consumer acknowledges them all at once. Meanwhile a coin goes in every
  // 100 ms: each one is credited within a poll and 100 ms, none falls out of the acceptor's
  // five-event buffer, and every ack reaches the journal.
  const QString serviceJournal = dir.filePath(QStringLiteral("service.journal"));
  {
    quennetd::Journal journal;
    journal.open(serviceJournal);
    for (int k = 0; k < credits; ++k) {
      const QString id = QStringLiteral("storm-%1").arg(k);
      journal.recordCredit(
          QStringLiteral("storm"),
          {id,
           QJsonDocument(QJsonObject{{"id", id}, {"value", 100}}).toJson(QJsonDocument::Compact)},
          {QStringLiteral("storm"), 1, k + 1});
    }
  }
  storm.clear();
  const qsizetype dropsBefore = brokerDrops();
  QElapsedTimer arriving;
  arriving.start();
  if (!startService({})) {
    std::printf("the service did not come up\n");
    return 1;
  }
  // Those the broker dropped come with the next republish, 30 s on.
  waitFor(
      consumer, [&] { return storm.size() >= credits; }, 75000);
  const double arrivedS = arriving.elapsed() / 1000.0;
  const qsizetype dropNotices = brokerDrops() - dropsBefore;
  const qsizetype stormAcks = storm.size();
  const int statusesBefore = statuses;
  QElapsedTimer storming;
  storming.start();
  for (const QString& id : storm) {
    consumer.publish(QStringLiteral("bench/ack"),
                     QJsonDocument(QJsonObject{{"id", id}}).toJson(QJsonDocument::Compact), 1,
                     false);
  }
  std::vector<double> coins;
  int inserted = 0;
  for (int k = 0; k < 30; ++k) {
    const qsizetype before = credited.size();
    QElapsedTimer clock;
    devices.write("coin 5\n");
    devices.waitForBytesWritten();
    clock.start();
    ++inserted;
    if (waitFor(
            consumer, [&] { return credited.size() > before; }, 5000)) {
      coins.push_back(clock.nsecsElapsed() / 1e6);
      ackLast();
    }
    devices.readAll();
    waitFor(
        consumer, [] { return false; }, 100);
  }
  const double stormS = storming.elapsed() / 1000.0;
  // Then until the service says none of them is open: slow acks get there, lost ones never do.
  const auto ask = [&] {
    openCredits.reset();
    consumer.publish(QStringLiteral("bench/cmd"),
                     QJsonDocument(QJsonObject{{"id", "open"}, {"method", "query"}})
                         .toJson(QJsonDocument::Compact),
                     1, false);
    waitFor(
        consumer, [&] { return openCredits.has_value(); }, 5000);
    return openCredits.value_or(-1);
  };
  const int openAfterCoins = ask();
  int open = openAfterCoins;
  while (open != 0 && storming.elapsed() < 60000) {
    waitFor(
        consumer, [] { return false; }, 500);
    open = ask();
  }
  const double allInS = storming.elapsed() / 1000.0;
  const qsizetype ackDropNotices = brokerDrops() - dropsBefore - dropNotices;
  service.terminate();
  service.waitForFinished();
  report(qPrintable(
             QStringLiteral("coin inserted to credit while %1 acks arrive at once").arg(stormAcks)),
         coins);
  qsizetype left = -1;
  {
    quennetd::Journal journal;
    if (journal.open(serviceJournal)) {
      const QList<quennetd::JournalCredit> open = journal.outstanding();
      left = std::count_if(open.begin(), open.end(), [](const quennetd::JournalCredit& c) {
        return c.id.startsWith(u"storm-");
      });
    }
  }
  std::printf(
      "  %lld of %d unacknowledged credits came in %.1f s in %d deliveries (the broker said %lld "
      "times that it dropped messages for a client)\n",
      static_cast<long long>(stormAcks), credits, arrivedS, stormDeliveries,
      static_cast<long long>(dropNotices));
  std::printf(
      "  %d coins inserted in %.1f s, %zu credited; %d credits still open then, %d after %.1f s; "
      "%lld of %lld acks not in the journal once the service stopped (the broker said %lld times "
      "that it dropped messages for a client; the journal %s; %d status messages meanwhile)\n",
      inserted, stormS, coins.size(), openAfterCoins, open, allInS, static_cast<long long>(left),
      static_cast<long long>(stormAcks), static_cast<long long>(ackDropNotices),
      journalTrouble.isEmpty() ? "never failed"
                               : qPrintable(QStringLiteral("said ") + journalTrouble),
      statuses - statusesBefore);
  if (!coins.empty()) {
    std::printf("  p99 %s poll + 100 ms\n",
                percentile(coins, 0.99) <= pollMs + 100 ? "within" : "NOT within");
  }

  if (!startService({})) {
    std::printf("the service did not come up\n");
    return 1;
  }

  const double before = cpuSeconds(service.processId());
  QEventLoop idle;
  QTimer::singleShot(idleS * 1000, &idle, &QEventLoop::quit);
  idle.exec();
  const double used = cpuSeconds(service.processId()) - before;
  std::printf(
      "idle, three devices polled every %d ms: %.2f s CPU in %d s, %.0f s per hour "
      "(%.2f %% of one core)\n",
      pollMs, used, idleS, used * 3600 / idleS, used * 100 / idleS);

  service.terminate();
  service.waitForFinished();
  consumer.stop(1000);
  devices.kill();
  broker.kill();
  devices.waitForFinished();
  broker.waitForFinished();
  return 0;
}
