// quennetd under random faults, counting money: bnvsim (validator, coin acceptor, hopper),
// quennetd, mosquitto and a consumer that books every credit, payout and loss once by its id.
// Notes and coins go in and pay requests (some repeated) come while the service is killed (at
// random or at one of its kill points), the devices are reset or brown out, the broker restarts
// or freezes, the consumer floods acknowledgements, the journal is removed under the running
// service (every other time just after a clean stop), its disk fills up, and the service's wall
// clock jumps forwards or backwards by months. After every fault settles: what each device
// counted equals what the consumer booked plus what was published in doubt or lost, and no
// request is paid for more than it asked. The seed is printed first; the same seed gives the same
// faults in the same order.

#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <set>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include "bench_help.h"
#include "quennet/link/protocol_events.h"
#include "quennetd/mqtt_link.h"
#include "quennetd/service.h"
#include "tests/support/free_port.h"
#include "tests/support/small_disk.h"

namespace {

constexpr const char* kUsage =
    "usage: bench_money_soak [--seed N] [--seconds S | --faults F]\n"
    "Random faults for S seconds (default 600), or the seed's first F faults, against\n"
    "mosquitto, bnvsim and quennetd, with a consumer that books by id; after every fault the\n"
    "devices' counts are checked against what was booked, in doubt or lost, and every pay\n"
    "request against what it asked. Exit 1 at the first broken invariant, with the seed to run\n"
    "it again.\n";

const QString kPrefix = QStringLiteral("soak");
constexpr int kCoinValue = 100;  // the hopper's coin, minor units
constexpr int kPollMs = 50;
// The journal's disk: room for hours of soak, filled up by the full-disk fault.
constexpr int kDiskKib = 16 * 1024;
// A journal that failed is tried again this often (the service's default is some seconds: the
// full disk would spend them waiting).
constexpr int kJournalRetryMs = 500;
// The service reads its wall clock's shift from the file at least this often.
constexpr int kClockReadMs = 200;
// The wall clock's jumps, in days, and how far from the truth it may get.
constexpr int kLongestJumpDays = 400;
constexpr int kFurthestDays = 1000;
const char* const kKillPoints[] = {
    "before-journal",       "after-journal",         "after-stack",         "payout-before-journal",
    "payout-after-journal", "payout-after-dispense", "payout-after-publish"};

// What the consumer booked, once per id.
struct Books {
  std::set<QString> ids;
  int notes = 0;
  int notesInDoubt = 0;
  int coins = 0;
  std::map<int, int> lost;  // events lost, by device address
  int coinsPaid = 0;
  int coinsInDoubt = 0;
  std::map<QString, qint64> paidFor;  // minor units paid, by request id
};

class Soak {
 public:
  // The faults added later draw from a stream of their own: a seed that once failed still
  // gives the faults it gave then, in the same order, with the new ones between them.
  // Runs for `seconds`, or, when `faults` is above 0, until that many faults have settled.
  Soak(quint32 seed, int seconds, int faults)
      : random_(seed), more_(seed ^ 0x5eedf00dU), seconds_(seconds), faultsWanted_(faults) {}

  int run() {
    if (!dir_.isValid()) return fail("no temporary folder");
    const QString folder = dir_.filePath(QStringLiteral("disk"));
    QDir().mkpath(folder);
    if (const QString why = disk_.mount(folder, kDiskKib); !why.isEmpty()) {
      std::printf("no disk of its own for the journal (%s): no full disk\n", qPrintable(why));
    }
    clockFile_ = dir_.filePath(QStringLiteral("clock"));
    if (!setClock(0)) return fail("cannot write the clock's file");
    brokerPort_ = quennet::testing::freePort();
    QFile conf(dir_.filePath(QStringLiteral("mosquitto.conf")));
    conf.open(QIODevice::WriteOnly);
    conf.write(
        QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(brokerPort_).toUtf8());
    conf.close();
    brokerConf_ = conf.fileName();
    startBroker();
    devices_.start(QStringLiteral(QUENNET_BNVSIM),
                   {"--hopper", "--coin-acceptor", "--link", dir_.filePath(QStringLiteral("bus"))});
    if (!devices_.waitForReadyRead(10000)) return fail("bnvsim did not start");
    devices_.readAll();

    quennetd::MqttSettings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = brokerPort_;
    settings.clientId = QStringLiteral("soak-consumer");
    settings.subscriptions = {kPrefix + QStringLiteral("/#")};
    QObject::connect(&consumer_, &quennetd::MqttLink::messageReceived,
                     [this](const QString& topic, const QByteArray& payload) {
                       onMessage(topic.section(u'/', -1),
                                 QJsonDocument::fromJson(payload).object());
                     });
    QString error;
    if (!consumer_.start(settings, &error)) return fail(error);
    if (!waitFor([this] { return consumer_.isConnected(); }, 10000)) return fail("no broker");
    if (!startService()) return fail("the service did not come up");

    QElapsedTimer clock;
    clock.start();
    int faults = 0;
    const auto goOn = [&] {
      return faultsWanted_ > 0 ? faults < faultsWanted_ : clock.elapsed() < seconds_ * 1000LL;
    };
    while (goOn()) {
      for (const bool more : {false, true}) {
        if (!goOn()) break;
        if (more && pick(more_, 0, 2) != 0) continue;
        const QString fault = more ? oneMoreFault() : oneFault();
        history_.append(fault);
        ++faults;
        ++survived_[fault];
        if (!problem_.isEmpty()) return fail(QStringLiteral("in %1: %2").arg(fault, problem_));
        if (!settle()) return fail(QStringLiteral("did not settle after %1").arg(fault));
        if (const QString broken = invariant(); !broken.isEmpty()) {
          return fail(QStringLiteral("after %1: %2").arg(fault, broken));
        }
      }
    }
    std::printf("%d faults in %.0f s, every invariant held:", faults, clock.elapsed() / 1000.0);
    for (const auto& [name, count] : survived_) std::printf(" %s %d;", qPrintable(name), count);
    std::printf(
        "\n  devices: notes %d, coins %d, hopper %d; booked notes %d (+%d in doubt), coins %d"
        " (lost %d), paid %d (+%d in doubt)\n",
        counted_.notes, counted_.coins, counted_.hopper, books_.notes, books_.notesInDoubt,
        books_.coins, books_.lost[2], books_.coinsPaid, books_.coinsInDoubt);
    std::printf("  faults: %s\n", qPrintable(history_.join(QStringLiteral(", "))));
    stopAll();
    return 0;
  }

 private:
  struct Counted {
    int notes = 0;
    int coins = 0;
    int hopper = 0;
  };

  int fail(const QString& why) {
    std::printf("FAILED (seed %u): %s\n  faults: %s\n", seed(), qPrintable(why),
                qPrintable(history_.join(QStringLiteral(", "))));
    stopAll();
    return 1;
  }
  quint32 seed() const { return seed_; }

 public:
  void setSeed(quint32 seed) { seed_ = seed; }

 private:
  static int pick(std::mt19937& from, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(from);
  }
  int pick(int low, int high) { return pick(random_, low, high); }

  // Where the service has its journal, and where the soak reaches it.
  QString journal() const {
    return disk_.mounted() ? disk_.folder() + QStringLiteral("/journal")
                           : dir_.filePath(QStringLiteral("journal"));
  }
  QString journalOutside() const {
    return disk_.mounted() ? disk_.outside() + QStringLiteral("/journal") : journal();
  }

  // The service's wall clock, `days` off the truth (its monotonic clock is left alone).
  // Seconds, written whole, then renamed into place: the service never reads half of it.
  bool setClock(int days) {
    clockDays_ = days;
    QFile file(clockFile_ + QStringLiteral(".new"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(QByteArray::number(qint64{days} * 86400) + '\n') <= 0) {
      return false;
    }
    file.close();
    return std::rename(qPrintable(file.fileName()), qPrintable(clockFile_)) == 0;
  }

  void startBroker() {
    broker_.start(QStringLiteral("mosquitto"), {"-c", brokerConf_});
    broker_.waitForStarted();
  }

  bool startService(const QStringList& extra = {}, const QString& killAt = {}) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QUENNETD_KILL_AT"));
    if (!killAt.isEmpty()) environment.insert(QStringLiteral("QUENNETD_KILL_AT"), killAt);
    // Only the wall clock jumps, as when a time server corrects it; timers keep their pace.
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(QUENNET_CLOCK_SHIFT));
    environment.insert(QStringLiteral("QUENNET_CLOCK_SHIFT_FILE"), clockFile_);
    service_.setProcessEnvironment(environment);
    online_ = false;
    accepting_ = false;
    // The first start finds the devices by address poll; the starts after it name them, as a
    // deployment's configuration does, and come up without the seconds of listening.
    QStringList devices;
    if (started_) {
      devices = QStringList{QStringLiteral("--devices"), QStringLiteral("%1,%2,%3")
                                                             .arg(quennet::kCoinAcceptorAddress)
                                                             .arg(quennet::kHopperAddress)
                                                             .arg(quennet::kValidatorAddress)};
    }
    started_ = true;
    const QStringList command = disk_.wrapper() + QStringList{QStringLiteral(QUENNET_SERVICE)};
    service_.start(
        command.front(),
        command.mid(1) +
            QStringList{"--port", dir_.filePath(QStringLiteral("bus")), "--broker",
                        QStringLiteral("127.0.0.1:%1").arg(brokerPort_), "--prefix", kPrefix,
                        "--journal", journal(), "--poll-ms", QString::number(kPollMs),
                        "--payout-hoppers", QStringLiteral("3:%1").arg(kCoinValue),
                        "--command-rate", "50", "--journal-retry-ms",
                        QString::number(kJournalRetryMs), "--client-id",
                        QStringLiteral("quennetd-soak-%1").arg(brokerPort_)} +
            devices + extra);
    return service_.waitForStarted() && waitFor([this] { return online_; }, 20000);
  }
  void killService() {
    if (service_.state() == QProcess::NotRunning) return;
    service_.kill();
    service_.waitForFinished();
  }
  // Stopped as an operator stops it: on its way out it writes the journal's log into the file.
  void stopService() {
    if (service_.state() == QProcess::NotRunning) return;
    ::kill(static_cast<pid_t>(service_.processId()), SIGTERM);
    if (!service_.waitForFinished(30000)) killService();
  }
  void stopAll() {
    killService();
    consumer_.stop(0);
    for (QProcess* p : {&devices_, &broker_}) {
      ::kill(static_cast<pid_t>(p->processId()), SIGCONT);
      p->kill();
      p->waitForFinished();
    }
  }

  void console(const QByteArray& line) {
    devices_.write(line + '\n');
    devices_.waitForBytesWritten();
  }
  // One line of bnvsim's answer that starts with `start`.
  QString ask(const QByteArray& line, const QString& start) {
    devices_.readAll();
    console(line);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10000 && devices_.waitForReadyRead(10000)) {
      while (devices_.canReadLine()) {
        const QString text = QString::fromUtf8(devices_.readLine()).trimmed();
        if (text.startsWith(start)) return text;
      }
    }
    return {};
  }
  Counted counted() {
    Counted c;
    static const QRegularExpression pair(QStringLiteral(R"((\d+):(\d+))"));
    const QString counters = ask("counters", QStringLiteral("notes"));
    const QStringList kinds = counters.split(u';');
    for (int k = 0; k < kinds.size() && k < 2; ++k) {
      for (auto m = pair.globalMatch(kinds[k]); m.hasNext();) {
        (k == 0 ? c.notes : c.coins) += m.next().captured(2).toInt();
      }
    }
    static const QRegularExpression dispensed(QStringLiteral(R"(dispensed (\d+))"));
    c.hopper = dispensed.match(ask("hopper", QStringLiteral("hopper"))).captured(1).toInt();
    return c;
  }

  void ack(const QJsonValue& id) {
    consumer_.publish(kPrefix + QStringLiteral("/ack"),
                      QJsonDocument(QJsonObject{{"id", id}}).toJson(QJsonDocument::Compact), 1,
                      false);
  }

  // The consumer: books every credit, payout and loss once by its id, and acknowledges each.
  void onMessage(const QString& leaf, const QJsonObject& o) {
    lastMessage_.start();
    if (leaf == u"reply" && o.value("id").toString().startsWith(u"query-")) {
      answers_.insert(o.value("id").toString(), o);
      return;
    }
    if (leaf == u"status") {
      online_ =
          o.value("state").toString() == u"online" && o.value("devices").toArray().size() == 3;
      accepting_ = o.value("accepting").toBool() && o.value("journal").toString() == u"ok";
      return;
    }
    const QString id = o.value("id").toString();
    const bool money = leaf == u"credit" || leaf == u"payout" ||
                       (leaf == u"event" && o.value("kind").toString() == u"lost" && !id.isEmpty());
    if (!money) return;
    if (books_.ids.insert(id).second) {
      // How far the service's wall clock was off when it wrote this, in days.
      const QDateTime written = QDateTime::fromString(o.value("time").toString(), Qt::ISODate);
      if (written.isValid()) {
        lastSkewDays_ = QDateTime::currentDateTimeUtc().secsTo(written) / 86400.0;
        ++firstSeen_;
      }
      const bool doubt = o.value("state").toString() == u"in-doubt";
      if (leaf == u"credit" && o.value("kind").toString() == u"note") {
        ++(doubt ? books_.notesInDoubt : books_.notes);
      } else if (leaf == u"credit") {
        ++books_.coins;
      } else if (leaf == u"event") {
        books_.lost[o.value("address").toInt()] += o.value("count").toInt();
      } else if (doubt) {
        books_.coinsInDoubt += o.value("requested").toInt();
      } else {
        books_.coinsPaid += o.value("paid").toInt();
        books_.paidFor[o.value("request").toVariant().toString()] += o.value("value").toInteger();
      }
    }
    ack(o.value("id"));
  }

  bool waitFor(const std::function<bool()>& done, int ms) {
    if (done()) return true;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
      if (done()) loop.quit();
    });
    tick.start(50);
    deadline.start(ms);
    loop.exec();
    return done();
  }
  void idle(int ms) {
    waitFor([] { return false; }, ms);
  }

  // What the service has not had acknowledged: credits and payouts; -1 without an answer.
  int unacknowledged() {
    const QString id = QStringLiteral("query-%1").arg(++queries_);
    answers_.remove(id);
    consumer_.publish(
        kPrefix + QStringLiteral("/cmd"),
        QJsonDocument(QJsonObject{{"id", id}, {"method", "query"}}).toJson(QJsonDocument::Compact),
        1, false);
    if (!waitFor([&] { return answers_.contains(id); }, 5000)) return -1;
    const QJsonObject open = answers_.value(id).value("unacknowledged").toObject();
    if (open.isEmpty()) return -1;
    return open.value("credits").toInt() + open.value("payouts").toInt();
  }

  // Everything in place again, nothing money-related said for a while, and nothing the service
  // still waits to have acknowledged (what it publishes again comes within its resend period).
  bool settle() {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 45000) {
      // A kill point may be reached only now: a payout takes its time while the hopper pays.
      if (service_.state() == QProcess::NotRunning && !startService()) return false;
      if (!waitFor([this] { return online_ && consumer_.isConnected(); }, 30000)) return false;
      waitFor([this] { return lastMessage_.isValid() && lastMessage_.elapsed() > 1500; }, 30000);
      if (unacknowledged() == 0) return true;
      idle(1000);
    }
    return false;
  }

  QString invariant() {
    counted_ = counted();
    const auto check = [](const char* what, int device, int booked, int open, int lost) {
      // Exactly, unless events fell out of a buffer: then within what was lost.
      const bool held =
          lost == 0 ? device == booked + open : device >= booked && device <= booked + open + lost;
      return held ? QString()
                  : QStringLiteral("%1: the device counted %2, booked %3, in doubt %4, lost %5")
                        .arg(QLatin1String(what))
                        .arg(device)
                        .arg(booked)
                        .arg(open)
                        .arg(lost);
    };
    for (const QString& broken :
         {check("notes", counted_.notes, books_.notes, books_.notesInDoubt, books_.lost[40]),
          check("coins", counted_.coins, books_.coins, 0, books_.lost[2]),
          check("hopper", counted_.hopper, books_.coinsPaid, books_.coinsInDoubt, 0)}) {
      if (!broken.isEmpty()) return broken;
    }
    for (const auto& [request, paid] : books_.paidFor) {
      if (paid > asked_[request]) {
        return QStringLiteral("request %1 paid %2 for %3 asked")
            .arg(request)
            .arg(paid)
            .arg(asked_[request]);
      }
    }
    return {};
  }

  void pay(std::mt19937& from) {
    QString id;
    if (!asked_.empty() && pick(from, 0, 2) == 0) {
      auto it = asked_.begin();
      std::advance(it, pick(from, 0, static_cast<int>(asked_.size()) - 1));
      id = it->first;  // sent again: paid once
    } else {
      id = QStringLiteral("pay-%1").arg(++payCount_);
      asked_[id] = kCoinValue * pick(from, 1, 4);
    }
    consumer_.publish(
        kPrefix + QStringLiteral("/cmd"),
        QJsonDocument(
            QJsonObject{{"id", id}, {"method", "pay"}, {"amount", static_cast<double>(asked_[id])}})
            .toJson(QJsonDocument::Compact),
        1, false);
  }
  void money(int n) { money(n, random_); }
  void money(int n, std::mt19937& from) {
    for (int k = 0; k < n; ++k) {
      switch (pick(from, 0, 2)) {
        case 0:
          console(QStringLiteral("insert %1").arg(pick(from, 1, 4)).toUtf8());
          break;
        case 1:
          console(QStringLiteral("coin %1").arg(pick(from, 1, 8)).toUtf8());
          break;
        default:
          pay(from);
      }
      idle(pick(from, 20, 400));
    }
  }

  // One fault with money on its way around it; its name.
  QString oneFault() {
    money(pick(1, 4));
    QString name;
    switch (pick(0, 8)) {
      case 0:
        name = QStringLiteral("kill");
        idle(pick(0, 300));
        killService();
        money(pick(0, 3));  // taken while the service is dead
        startService();
        break;
      case 1: {
        const char* point = kKillPoints[pick(0, std::size(kKillPoints) - 1)];
        name = QStringLiteral("kill at ") + QLatin1String(point);
        killService();
        startService({}, QLatin1String(point));
        money(pick(2, 5));
        break;
      }
      case 2:
        name = QStringLiteral("devices reset");
        // A coin the acceptor took less than a poll before its power went (or while the service
        // was dead) is gone with its buffer, and nothing on the bus says it was there: the reset
        // comes with the service running, a poll after the last coin.
        if (service_.state() == QProcess::NotRunning) startService();
        idle(kPollMs * 2);
        console("reset");
        break;
      case 3:
        name = QStringLiteral("brown-out");
        console("brownout");
        console(QStringLiteral("insert %1").arg(pick(1, 4)).toUtf8());
        break;
      case 4:
        name = QStringLiteral("broker restart");
        broker_.kill();
        broker_.waitForFinished();
        money(pick(0, 3));
        startBroker();
        break;
      case 5:
        name = QStringLiteral("broker frozen");
        ::kill(static_cast<pid_t>(broker_.processId()), SIGSTOP);
        money(pick(1, 3));
        idle(pick(500, 3000));
        ::kill(static_cast<pid_t>(broker_.processId()), SIGCONT);
        break;
      case 6:
        name = QStringLiteral("ack storm");
        for (int k = 0; k < 20; ++k) {
          for (const QString& id : books_.ids) ack(id);
        }
        money(pick(1, 3));
        break;
      case 7:
        name = QStringLiteral("journal removed");
        // Under a running service that no kill point armed by an earlier fault stops meanwhile:
        // a journal removed while the service is dead is one the operator replaces, and a new
        // journal takes what the devices' buffers hold for history. Every other time the service
        // was stopped cleanly and took a coin since: the file then holds what the journal's log
        // held, and the new log only the coin, as once SQLite has folded a long log in.
        if (++removals_ % 2 == 1) {
          stopService();
          startService();
          const int booked = books_.coins;
          console("coin 1");
          waitFor([&] { return books_.coins > booked; }, 5000);
        } else {
          killService();
          startService();
        }
        QFile::remove(journalOutside());
        money(pick(1, 3));
        idle(1000);
        killService();
        startService({"--accept-journal"});
        break;
      default:
        name = QStringLiteral("money only");
        money(pick(2, 6));
        break;
    }
    return name;
  }

  // One of the faults added later, drawn from their own stream; its name. Trouble that is no
  // broken invariant (the clock did not move, the journal never came back) goes to problem_.
  QString oneMoreFault() {
    // A service that stopped at the kill point it was started with since settling comes back.
    if (service_.state() == QProcess::NotRunning && !startService()) {
      problem_ = QStringLiteral("the service did not come up");
      return QStringLiteral("start");
    }
    money(pick(more_, 1, 3), more_);
    if (pick(more_, 0, 1) == 0) return clockJump();
    return fullDisk();
  }

  // The wall clock jumps by months: nothing kept by age (answered requests, acknowledged
  // credits) may go sooner or later for it, nor may a request answered before be paid again.
  QString clockJump() {
    int days = pick(more_, 2, kLongestJumpDays) * (pick(more_, 0, 1) == 0 ? 1 : -1);
    if (std::abs(clockDays_ + days) > kFurthestDays) days = -days;
    const QString name = days > 0 ? QStringLiteral("clock forward") : QStringLiteral("clock back");
    if (!setClock(clockDays_ + days)) {
      problem_ = QStringLiteral("cannot write the clock's file");
      return name;
    }
    idle(kClockReadMs * 2);
    // Proof that the service's clock moved: a coin credited now carries the jumped time.
    bool moved = false;
    bool credited = false;
    for (int tries = 0; tries < 3 && !moved; ++tries) {
      if (service_.state() == QProcess::NotRunning) startService();
      const int seen = firstSeen_;
      console(QStringLiteral("coin %1").arg(pick(more_, 1, 8)).toUtf8());
      credited = waitFor([&] { return firstSeen_ > seen; }, 5000);
      moved = credited && std::abs(lastSkewDays_ - clockDays_) < 0.1;
    }
    if (!moved) {
      problem_ = credited ? QStringLiteral("the service's clock is %1 days off, not %2")
                                .arg(lastSkewDays_, 0, 'f', 2)
                                .arg(clockDays_)
                          : QStringLiteral("no coin credited (accepting: %1)").arg(accepting_);
      return name;
    }
    // Started again on the jumped clock (what is kept by age is pruned at start), then asked
    // again for requests it answered before the jump.
    if (pick(more_, 0, 1) == 0) {
      killService();
      startService();
    }
    for (int k = pick(more_, 1, 3); k > 0 && !asked_.empty(); --k) {
      auto it = asked_.begin();
      std::advance(it, pick(more_, 0, static_cast<int>(asked_.size()) - 1));
      consumer_.publish(kPrefix + QStringLiteral("/cmd"),
                        QJsonDocument(QJsonObject{{"id", it->first},
                                                  {"method", "pay"},
                                                  {"amount", static_cast<double>(it->second)}})
                            .toJson(QJsonDocument::Compact),
                        1, false);
    }
    money(pick(more_, 1, 3), more_);
    return name;
  }

  // The journal's disk fills up with money on its way, the service perhaps killed and started
  // again meanwhile; then there is room again, and the service must take money again by itself.
  QString fullDisk() {
    const QString name = QStringLiteral("full disk");
    if (!disk_.mounted()) return name + QStringLiteral(" (no mount namespace)");
    if (!disk_.fill()) {
      problem_ = QStringLiteral("cannot fill the journal's disk");
      return name;
    }
    money(pick(more_, 1, 4), more_);
    if (pick(more_, 0, 2) == 0) {
      killService();
      startService();
      money(pick(more_, 1, 2), more_);
    }
    idle(pick(more_, 200, 2000));
    disk_.clear();
    if (service_.state() == QProcess::NotRunning) startService();
    if (!waitFor([this] { return accepting_; }, 40 * kJournalRetryMs)) {
      problem_ = QStringLiteral("not accepting again once the disk had room");
    }
    return name;
  }

  std::mt19937 random_;
  std::mt19937 more_;
  quint32 seed_ = 0;
  int seconds_;
  int faultsWanted_;
  QTemporaryDir dir_;
  quennet::testing::SmallDisk disk_;
  QString clockFile_;
  int clockDays_ = 0;
  double lastSkewDays_ = 0;  // of the money message booked last
  int firstSeen_ = 0;        // money messages booked
  QString problem_;
  int brokerPort_ = 0;
  QString brokerConf_;
  QProcess broker_;
  QProcess devices_;
  QProcess service_;
  quennetd::MqttLink consumer_;
  bool started_ = false;  // the service, once
  bool online_ = false;
  bool accepting_ = false;  // and the journal ok
  QElapsedTimer lastMessage_;
  Books books_;
  Counted counted_;
  std::map<QString, qint64> asked_;  // minor units, by request id
  int payCount_ = 0;
  int removals_ = 0;  // of the journal
  int queries_ = 0;
  QMap<QString, QJsonObject> answers_;
  std::map<QString, int> survived_;
  QStringList history_;
};

}  // namespace

int main(int argc, char** argv) {
  if (answeredHelp(argc, argv, kUsage)) return 0;
  QCoreApplication app(argc, argv);
  quint32 seed = QRandomGenerator::system()->generate();
  int seconds = 600;
  int faults = 0;
  const QStringList args = app.arguments();
  for (int k = 1; k + 1 < args.size(); k += 2) {
    if (args[k] == u"--seed") seed = args[k + 1].toUInt();
    if (args[k] == u"--seconds") seconds = args[k + 1].toInt();
    if (args[k] == u"--faults") faults = args[k + 1].toInt();
  }
  if (faults > 0) {
    std::printf("money soak: seed %u, %d faults\n", seed, faults);
  } else {
    std::printf("money soak: seed %u, %d s\n", seed, seconds);
  }
  std::fflush(stdout);
  Soak soak(seed, seconds, faults);
  soak.setSeed(seed);
  return soak.run();
}
