// quennetd end to end: a real mosquitto on a free port, bnvsim with a hopper and a coin acceptor
// on a pseudo-terminal, and the service as its own process, killed and restarted as in the field.
// What counts is what reaches the broker and what goes on the line.
#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "quennet/commands/command_set.h"
#include "quennet/link/protocol_events.h"
#include "quennetd/command_gate.h"
#include "quennetd/currency.h"
#include "quennetd/daemon_options.h"
#include "quennetd/journal.h"
#include "quennetd/mqtt_link.h"
#include "quennetd/service.h"
#include "tests/support/free_port.h"
#include "tests/support/small_disk.h"

namespace {

constexpr int kLongWaitMs = 20000;
// Long enough for the service to have published anything it was going to after a restart: some
// thirty polls at the tests' 50 ms.
constexpr int kQuietMs = 1500;
// A journal that cannot be written is tried again this often in the tests that take its folder
// or its disk away (the service's default is 5 s; the waits for a retry end before that).
constexpr int kRetryMs = 500;
const QStringList kQuickRetry = {"--journal-retry-ms", QString::number(kRetryMs)};
const QString kPrefix = QStringLiteral("till");

struct Message {
  QString topic;
  QJsonObject body;
};

using quennet::testing::freePort;

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    service_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    brokerPort_ = freePort();
    QFile conf(dir_.filePath(QStringLiteral("mosquitto.conf")));
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write(
        QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(brokerPort_).toUtf8());
    conf.write(moreListeners());
    conf.close();
    brokerConf_ = conf.fileName();
    broker_.start(QStringLiteral("mosquitto"), {"-c", brokerConf_});
    ASSERT_TRUE(broker_.waitForStarted()) << "mosquitto is not installed";

    quennetd::MqttSettings watch;
    watch.host = QStringLiteral("127.0.0.1");
    watch.port = brokerPort_;
    watch.clientId = QStringLiteral("test-consumer");
    watch.subscriptions = {kPrefix + QStringLiteral("/#")};
    QObject::connect(
        &consumer_, &quennetd::MqttLink::messageReceived,
        [this](const QString& topic, const QByteArray& payload) {
          messages_.append({topic.section(u'/', -1), QJsonDocument::fromJson(payload).object()});
          // A consumer that books every credit: it acknowledges each one it is sent.
          if (booking_ && messages_.back().topic == u"credit") {
            const QJsonObject ack{{"id", messages_.back().body.value("id")}};
            consumer_.publish(kPrefix + QStringLiteral("/ack"), QJsonDocument(ack).toJson(), 1,
                              false);
          }
        });
    QString error;
    ASSERT_TRUE(consumer_.start(watch, &error)) << error.toStdString();
    ASSERT_TRUE(waitFor([this] { return consumer_.isConnected(); }));
    startDevices();
  }

  // Broker configuration after the plain listener the consumer uses.
  virtual QByteArray moreListeners() { return {}; }
  // bnvsim's options besides its devices and the link.
  virtual QStringList lineOptions() { return {}; }

  void TearDown() override {
    // Whenever the service said it takes money, it had a device that takes it and a journal.
    for (const QJsonObject& s : all(QStringLiteral("status"), 0)) {
      if (!s.value("accepting").toBool()) continue;
      EXPECT_FALSE(s.value("devices").toArray().isEmpty()) << "accepting without a device";
      EXPECT_EQ(s.value("journal").toString(), QStringLiteral("ok"));
    }
    if (HasFailure()) {
      for (const Message& m : messages_) {
        std::fprintf(stderr, "%s %s\n", qPrintable(m.topic),
                     QJsonDocument(m.body).toJson(QJsonDocument::Compact).constData());
      }
    }
    for (QProcess* p : {&service_, &devices_, &broker_}) {
      if (p->state() != QProcess::NotRunning) {
        p->kill();
        p->waitForFinished();
      }
    }
    consumer_.stop(0);
  }

  QString link() const { return dir_.filePath(QStringLiteral("bus")); }
  // The service's MQTT client id: one per test, as tests run side by side on one machine.
  QString clientId() const { return QStringLiteral("quennetd-test-%1").arg(brokerPort_); }

  void startDevices(const QStringList& extra = {}) {
    found_.clear();
    devices_.start(QStringLiteral(QUENNET_BNVSIM),
                   QStringList{"--hopper", "--trace", "--link", link()} +
                       (coinAcceptor_ ? QStringList{"--coin-acceptor"} : QStringList{}) +
                       lineOptions() + extra);
    ASSERT_TRUE(devices_.waitForReadyRead(kLongWaitMs));
    devices_.readLine();  // the terminal's path
  }
  void console(const char* line) {
    devices_.write(QByteArray(line) + '\n');
    devices_.waitForBytesWritten();
  }

  // Starts the service; true once it reports itself online with every device answering. The
  // service is told bnvsim's addresses, as a deployment's configuration does, unless a test
  // has it search: then the first start after the devices did finds them by address poll (some
  // seconds of listening in each framing), and the starts after it name the addresses found.
  bool launchService(const QStringList& extra, int ms = kLongWaitMs) {
    seen_ = messages_.size();
    if (found_.isEmpty() && !search_) {
      found_ = QStringList{QString::number(quennet::kHopperAddress),
                           QString::number(quennet::kValidatorAddress)};
      if (coinAcceptor_) found_.prepend(QString::number(quennet::kCoinAcceptorAddress));
    }
    QStringList arguments = {
        "--port",      link(),    "--broker",  QStringLiteral("127.0.0.1:%1").arg(brokerPort_),
        "--prefix",    kPrefix,   "--journal", dir_.filePath(QStringLiteral("journal")),
        "--poll-ms",   "50",      "--allow",   "Hopper_Stop",
        "--client-id", clientId()};
    if (!found_.isEmpty()) arguments << QStringLiteral("--devices") << found_.join(u',');
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!killAt_.isEmpty()) environment.insert(QStringLiteral("QUENNETD_KILL_AT"), killAt_);
    service_.setProcessEnvironment(environment);
    // Started through `wrapper_` when one is set (a mount namespace, say).
    const QStringList command = wrapper_ + QStringList{QStringLiteral(QUENNET_SERVICE)};
    service_.start(command.front(), command.mid(1) + arguments + extra);
    if (!service_.waitForStarted()) return false;
    const auto online = next(
        QStringLiteral("status"),
        [this](const QJsonObject& s) {
          const QJsonArray devices = s.value("devices").toArray();
          return s.value("state").toString() == u"online" &&
                 devices.size() == (coinAcceptor_ ? 3 : 2) &&
                 std::all_of(devices.begin(), devices.end(), [](const QJsonValue& d) {
                   return d.toObject().value("state").toString() == u"ok";
                 });
        },
        ms);
    if (online && found_.isEmpty()) {
      for (const QJsonValue& d : online->value("devices").toArray())
        found_.append(QString::number(d.toObject().value("address").toInt()));
    }
    return online.has_value();
  }
  void startService(const QStringList& extra = {}) {
    ASSERT_TRUE(launchService(extra)) << "the service did not come up with three devices";
  }

  // Runs the event loop until `done` holds, woken by every message; false after `ms`.
  bool waitFor(const std::function<bool()>& done, int ms = kLongWaitMs) {
    if (done()) return true;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&consumer_, &quennetd::MqttLink::messageReceived, &loop, [&] {
      if (done()) loop.quit();
    });
    QObject::connect(&consumer_, &quennetd::MqttLink::connected, &loop, [&] {
      if (done()) loop.quit();
    });
    deadline.start(ms);
    loop.exec();
    return done();
  }
  // The next message on `topic` (after those already taken) that satisfies `match`.
  std::optional<QJsonObject> next(
      const QString& topic,
      const std::function<bool(const QJsonObject&)>& match =
          [](const QJsonObject&) { return true; },
      int ms = kLongWaitMs) {
    std::optional<QJsonObject> found;
    waitFor(
        [&] {
          // Asked again once found (as the wait ends, or by a message behind it): the messages
          // after it are left for the next caller.
          if (found) return true;
          for (; seen_ < messages_.size(); ++seen_) {
            if (messages_[seen_].topic == topic && match(messages_[seen_].body)) {
              found = messages_[seen_++].body;
              return true;
            }
          }
          return false;
        },
        ms);
    return found;
  }
  QList<QJsonObject> all(const QString& topic, qsizetype from) const {
    QList<QJsonObject> list;
    for (qsizetype k = from; k < messages_.size(); ++k) {
      if (messages_[k].topic == topic) list.append(messages_[k].body);
    }
    return list;
  }
  void send(const QString& leaf, const QByteArray& payload) {
    ASSERT_TRUE(consumer_.publish(kPrefix + u'/' + leaf, payload, 1, false));
  }
  void idle(int ms) {
    waitFor([] { return false; }, ms);
  }
  // The device's own counters, as bnvsim prints them: "notes 2:1 3:1; coins 8:1".
  std::string deviceCounters() {
    devices_.readAllStandardOutput();
    console("counters");
    while (devices_.waitForReadyRead(kLongWaitMs)) {
      while (devices_.canReadLine()) {
        const QString line = QString::fromUtf8(devices_.readLine()).trimmed();
        if (line.startsWith(QLatin1String("notes"))) return line.toStdString();
      }
    }
    return {};
  }
  // Waits until bnvsim's status shows the validator's master inhibit at `value`.
  bool masterInhibitBecomes(int value) {
    return validatorStatusShows("master inhibit " + QByteArray::number(value));
  }
  // Waits until the first line of bnvsim's status holds `wanted`.
  bool validatorStatusShows(const QByteArray& wanted) {
    for (int tries = 0; tries < 100; ++tries) {
      devices_.readAllStandardOutput();
      console("status");
      if (devices_.waitForReadyRead(kLongWaitMs) && devices_.readLine().contains(wanted)) {
        return true;
      }
      idle(100);
    }
    return false;
  }
  // What the consumer booked, once per id, in the same form; and each device's seq numbers run
  // 1, 2, 3 ... in the order the credits were booked, without a gap.
  std::string booked() {
    std::set<QString> ids;
    std::map<int, int> notes;
    std::map<int, int> coins;
    std::map<QString, qint64> lastSeq;
    for (const QJsonObject& c : all(QStringLiteral("credit"), 0)) {
      if (!ids.insert(c.value("id").toString()).second) continue;
      const QString serial = c.value("serial").toString();
      EXPECT_EQ(c.value("seq").toInteger(), lastSeq[serial] + 1)
          << "a gap in " << qPrintable(serial);
      lastSeq[serial] = c.value("seq").toInteger();
      auto& tally = c.value("kind").toString() == u"note" ? notes : coins;
      ++tally[c.value("position").toInt()];
    }
    const auto list = [](const std::map<int, int>& tally) {
      QStringList parts;
      for (const auto& [position, count] : tally) {
        parts.append(QStringLiteral("%1:%2").arg(position).arg(count));
      }
      return parts.join(u' ');
    };
    return (QStringLiteral("notes ") + list(notes) + QStringLiteral("; coins ") + list(coins))
        .trimmed()
        .toStdString();
  }
  // Waits until the consumer has booked what the devices took (or `expected`), then a while
  // longer: whatever came late (a second id for the same note) shows in the answer.
  std::string settle(const std::string& expected = {}) {
    waitFor([&] { return booked() == (expected.empty() ? deviceCounters() : expected); });
    idle(kQuietMs);
    return booked();
  }
  // "address/header" of each frame the host sent since the simulator's trace was last read,
  // leaving out the service's own polls of the event buffers and the hopper.
  QStringList framesSent() {
    QStringList sent;
    static const QRegularExpression host(QStringLiteral(R"(host\s+dest (\d+) .* hdr (\d+) )"));
    for (const QString& line : QString::fromUtf8(devices_.readAllStandardError()).split(u'\n')) {
      const auto m = host.match(line);
      const QString header = m.captured(2);
      if (m.hasMatch() && header != u"159" && header != u"229" && header != u"166") {
        sent.append(m.captured(1) + u'/' + header);
      }
    }
    return sent;
  }

  QTemporaryDir dir_;
  QString brokerConf_;
  QString killAt_;
  QStringList wrapper_;
  bool booking_ = false;
  bool coinAcceptor_ = true;  // bnvsim's devices: a validator and a hopper, and a coin acceptor
  QStringList found_;         // their addresses, named to the service
  bool search_ = false;       // the service finds them by address poll at its first start
  int brokerPort_ = 0;
  QProcess broker_;
  QProcess devices_;
  QProcess service_;
  quennetd::MqttLink consumer_;
  QList<Message> messages_;
  qsizetype seen_ = 0;
};

TEST_F(ServiceTest, ACreditIsRepublishedWithItsIdUntilAcknowledged) {
  // A validator that scales its notes by 1 with no decimals: GB0010A is ten pounds all the same.
  devices_.kill();
  devices_.waitForFinished();
  startDevices({"--scaling", "1,0"});
  startService();
  console("insert 2");
  const auto credit = next(QStringLiteral("credit"));
  ASSERT_TRUE(credit);
  EXPECT_EQ(credit->value("code").toString(), QStringLiteral("GB0010A"));
  EXPECT_EQ(credit->value("currency").toString(), QStringLiteral("GB"));
  EXPECT_EQ(credit->value("value").toInteger(), 1000);
  EXPECT_EQ(credit->value("scale").toObject(), (QJsonObject{{"factor", 1}, {"decimals", 0}}));
  EXPECT_EQ(credit->value("seq").toInteger(), 1);
  EXPECT_EQ(credit->value("kind").toString(), QStringLiteral("note"));
  EXPECT_EQ(credit->value("position").toInt(), 2);
  EXPECT_EQ(credit->value("serial").toString(), QStringLiteral("1234567")) << "as the label reads";
  const QString id = credit->value("id").toString();
  ASSERT_FALSE(id.isEmpty());

  // Killed before the consumer booked it: after the restart the same credit, same id, once.
  service_.kill();
  service_.waitForFinished();
  ASSERT_TRUE(next(QStringLiteral("status"), [](const QJsonObject& s) {
    return s.value("state").toString() == u"offline";
  })) << "the broker did not publish the last will";
  const qsizetype restart = messages_.size();
  startService();
  idle(kQuietMs);
  const QList<QJsonObject> again = all(QStringLiteral("credit"), restart);
  ASSERT_EQ(again.size(), 1) << "one credit republished, none made up from the buffer";
  EXPECT_EQ(again.front().value("id").toString(), id);
  EXPECT_EQ(again.front().value("value").toInteger(), 1000);

  // Booked: gone for good, through another kill and restart.
  send(QStringLiteral("ack"), QJsonDocument(QJsonObject{{"id", id}}).toJson());
  idle(500);
  service_.kill();
  service_.waitForFinished();
  const qsizetype afterAck = messages_.size();
  startService();
  idle(kQuietMs);
  EXPECT_TRUE(all(QStringLiteral("credit"), afterAck).isEmpty());

  // SIGTERM, and a hang-up alike: the validator is inhibited on the way out, and the service
  // exits 0.
  for (const int signal : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    if (signal != SIGTERM) startService();
    ASSERT_EQ(::kill(static_cast<pid_t>(service_.processId()), signal), 0);
    ASSERT_TRUE(service_.waitForFinished(kLongWaitMs));
    EXPECT_EQ(service_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(service_.exitCode(), 0);
    devices_.readAllStandardOutput();
    console("insert 2");
    ASSERT_TRUE(devices_.waitForReadyRead(kLongWaitMs));
    EXPECT_TRUE(devices_.readLine().contains("master inhibit on"));
  }
}

// The service killed at each point where money is on its way from a device to the consumer,
// then started again: the consumer books exactly what the devices' own counters say they took.
// Killed for good, it leaves the devices taking money until the unit's stop command inhibits them.
TEST_F(ServiceTest, AKillAtAnyPointNeitherDoublesNorLosesMoney) {
  struct Row {
    const char* point;  // where the service kills itself; empty: killed before the consumer acks
    const char* action;
  };
  const Row rows[] = {
      {"before-journal", "insert 2"},
      {"after-journal", "insert 3"},
      {"after-stack", "insert 4"},
      {"", "insert 1"},
      {"before-journal", "coin 8"},
      {"after-journal", "coin 5"},
      {"", "coin 4"},
  };
  booking_ = true;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.point) + " " + row.action);
    killAt_ = QLatin1String(row.point);
    startService();
    booking_ = killAt_.isEmpty() ? false : booking_;
    console(row.action);
    if (killAt_.isEmpty()) {
      ASSERT_TRUE(next(QStringLiteral("credit")));
      service_.kill();
    }
    ASSERT_TRUE(service_.waitForFinished(kLongWaitMs)) << "the service never got there";
    EXPECT_EQ(service_.exitStatus(), QProcess::CrashExit);
    killAt_.clear();
    booking_ = true;
    startService();
    const std::string consumer = settle();
    EXPECT_EQ(consumer, deviceCounters());
    service_.kill();
    service_.waitForFinished();
  }
  EXPECT_EQ(deviceCounters(), "notes 1:1 2:1 3:1 4:1; coins 4:1 5:1 8:1");

  // The unit's stop command on its own: every acceptor inhibited, the exit status says so.
  QProcess inhibit;
  inhibit.start(QStringLiteral(QUENNET_SERVICE), {"--inhibit", "--port", link()});
  ASSERT_TRUE(inhibit.waitForFinished(kLongWaitMs));
  EXPECT_EQ(inhibit.exitCode(), 0) << inhibit.readAllStandardError().toStdString();
  devices_.readAllStandardOutput();
  console("insert 2");
  ASSERT_TRUE(devices_.waitForReadyRead(kLongWaitMs));
  EXPECT_TRUE(devices_.readLine().contains("master inhibit on"));
  console("coin 8");
  EXPECT_EQ(deviceCounters(), "notes 1:1 2:1 3:1 4:1; coins 4:1 5:1 8:1");
  // Without a device to inhibit it fails.
  inhibit.start(QStringLiteral(QUENNET_SERVICE),
                {"--inhibit", "--port", dir_.filePath(QStringLiteral("nothing"))});
  ASSERT_TRUE(inhibit.waitForFinished(kLongWaitMs));
  EXPECT_EQ(inhibit.exitCode(), 1);
}

// Coins taken while the service was dead are credited when it is back; what the coin acceptor's
// buffer could not keep is journalled as lost and published, with its count, until acknowledged:
// even when the broker is away as the service comes back.
TEST_F(ServiceTest, MoneyTakenWhileTheServiceWasDeadIsCreditedOrReportedLost) {
  booking_ = true;
  startService();
  service_.kill();
  service_.waitForFinished();
  broker_.kill();
  broker_.waitForFinished();
  for (const char* coin : {"coin 1", "coin 2", "coin 3", "coin 4", "coin 5", "coin 6", "coin 7"})
    console(coin);
  EXPECT_FALSE(launchService({}, 1500)) << "online without a broker";
  idle(500);  // polled meanwhile: the loss is in the journal before anybody can hear of it
  broker_.start(QStringLiteral("mosquitto"), {"-c", brokerConf_});
  ASSERT_TRUE(broker_.waitForStarted());
  EXPECT_EQ(settle("notes ; coins 3:1 4:1 5:1 6:1 7:1"), "notes ; coins 3:1 4:1 5:1 6:1 7:1");
  EXPECT_EQ(deviceCounters(), "notes ; coins 1:1 2:1 3:1 4:1 5:1 6:1 7:1");
  const auto losses = [this](qsizetype from) {
    QList<QJsonObject> list;
    for (const QJsonObject& e : all(QStringLiteral("event"), from)) {
      if (e.value("kind").toString() == u"lost") list.append(e);
    }
    return list;
  };
  ASSERT_EQ(losses(0).size(), 1);
  const QJsonObject lost = losses(0).front();
  EXPECT_EQ(lost.value("count").toInt(), 2);
  EXPECT_EQ(lost.value("address").toInt(), 2);
  ASSERT_FALSE(lost.value("id").toString().isEmpty());
  // Not acknowledged: the same loss again after a restart, and never once acknowledged.
  for (const bool acked : {false, true}) {
    SCOPED_TRACE(acked);
    service_.kill();
    service_.waitForFinished();
    const qsizetype restart = messages_.size();
    startService();
    idle(kQuietMs);
    const QList<QJsonObject> again = losses(restart);
    ASSERT_EQ(again.size(), acked ? 0 : 1);
    if (acked) break;
    EXPECT_EQ(again.front().value("id"), lost.value("id"));
    EXPECT_EQ(again.front().value("count").toInt(), 2);
    send(QStringLiteral("ack"), QJsonDocument(QJsonObject{{"id", lost.value("id")}}).toJson());
    idle(300);
  }
}

// A note routed to the stacker that the validator never reports stacked nor returned (a brown-out
// as the stacker starts, or a power cycle while the service was dead) is a credit in doubt: its
// escrow id and value, published until a consumer settles it, never dropped.
TEST_F(ServiceTest, ANoteTheValidatorResetOverIsPublishedInDoubtUntilSettled) {
  struct Row {
    const char* killAt;  // empty: the service keeps running
    bool brownOut;       // the validator resets as it stacks
    bool powerCycle;     // every device reset while the service is dead
  };
  const Row rows[] = {
      {"", true, false},
      {"after-stack", true, false},
      {"after-stack", false, true},
  };
  const QStringList hold = {"--escrow", "hold", "--escrow-timeout-ms", "60000"};
  int notes = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.killAt) + (row.brownOut ? " brown-out" : " power cycle"));
    killAt_ = QLatin1String(row.killAt);
    startService(hold);
    if (row.brownOut) console("brownout");
    console("insert 4");
    const auto escrow = next(QStringLiteral("escrow"));
    ASSERT_TRUE(escrow);
    const QString id = escrow->value("id").toString();
    send(QStringLiteral("route"),
         QJsonDocument(QJsonObject{{"id", id}, {"escrow", id}, {"action", "stack"}}).toJson());
    if (!killAt_.isEmpty()) {
      ASSERT_TRUE(service_.waitForFinished(kLongWaitMs)) << "the service never got there";
      if (row.powerCycle) console("reset");
      killAt_.clear();
      startService(hold);
    }
    const auto doubt = next(QStringLiteral("credit"),
                            [&](const QJsonObject& c) { return c.value("id").toString() == id; });
    ASSERT_TRUE(doubt) << "the note in the cash box was never published";
    EXPECT_EQ(doubt->value("state").toString(), QStringLiteral("in-doubt"));
    EXPECT_EQ(doubt->value("value").toInteger(), 5000);
    EXPECT_EQ(doubt->value("kind").toString(), QStringLiteral("note"));
    EXPECT_EQ(deviceCounters(), QStringLiteral("notes 4:%1; coins").arg(++notes).toStdString());
    // Until settled: again after a restart, with its id; once settled, never again.
    for (const bool settled : {false, true}) {
      if (&row != &rows[0]) break;
      service_.kill();
      service_.waitForFinished();
      const qsizetype restart = messages_.size();
      startService(hold);
      idle(kQuietMs);
      QStringList again;
      for (const QJsonObject& c : all(QStringLiteral("credit"), restart))
        again.append(c.value("id").toString());
      EXPECT_EQ(again, settled ? QStringList() : QStringList{id});
      send(QStringLiteral("ack"), QJsonDocument(QJsonObject{{"id", id}}).toJson());
      idle(300);
    }
    send(QStringLiteral("ack"), QJsonDocument(QJsonObject{{"id", id}}).toJson());
    idle(300);
    service_.kill();
    service_.waitForFinished();
  }
}

// One journal, one service; one MQTT client id, one service. The second says why it will not
// start, and the first goes on taking money.
TEST_F(ServiceTest, ASecondServiceOnTheSameJournalOrClientIdRefusesToStart) {
  booking_ = true;
  startService();
  struct Case {
    QStringList arguments;
    const char* says;
  };
  const QString broker = QStringLiteral("127.0.0.1:%1").arg(brokerPort_);
  const QList<Case> cases = {
      {{"--journal", dir_.filePath(QStringLiteral("journal")), "--client-id", "other"}, "journal"},
      {{"--journal", dir_.filePath(QStringLiteral("other-journal"))}, "client id"},
      {{"--journal", dir_.filePath(QStringLiteral("third-journal")), "--broker",
        QStringLiteral("localhost:%1").arg(brokerPort_)},
       "client id"},
  };
  for (const Case& c : cases) {
    QProcess second;
    second.start(QStringLiteral(QUENNET_SERVICE),
                 QStringList{"--port", link(), "--broker", broker, "--prefix", kPrefix,
                             "--client-id", clientId()} +
                     c.arguments);
    ASSERT_TRUE(second.waitForFinished(kLongWaitMs));
    EXPECT_EQ(second.exitCode(), 2);
    const QString said = QString::fromUtf8(second.readAllStandardError());
    EXPECT_TRUE(said.contains(QLatin1String(c.says)) && said.contains(QLatin1String("in use")))
        << said.toStdString();
  }
  console("insert 2");
  EXPECT_EQ(settle(), "notes 2:1; coins");
  // Only its owner may read the journal.
  EXPECT_EQ(QFileInfo(dir_.filePath(QStringLiteral("journal"))).permissions() & 0x0077, 0);
}

// A journal deleted under the running service is written back at once from the file the service
// still holds, with everything in it: money goes on being taken and credited, and a restart finds
// the journal it last wrote. One replaced by another file is lost: acceptance off, the status says
// why, a note inserted now goes back to the customer; a coin that went in as it went is credited
// all the same, and a credit the old file holds unacknowledged is published again (the service
// keeps the old file open). Started again, the service refuses a journal other than the one it last
// wrote (another file, gone, an older copy) unless told --accept-journal.
TEST_F(ServiceTest, AJournalDeletedOrReplacedIsNeverTakenForTheOneLastWritten) {
  const QString journal = dir_.filePath(QStringLiteral("journal"));
  const auto credited = [this](const char* kind, int position) {
    return waitFor([&] {
      for (const QJsonObject& c : all(QStringLiteral("credit"), 0)) {
        if (c.value("kind").toString() == QLatin1String(kind) &&
            c.value("position").toInt() == position)
          return true;
      }
      return false;
    });
  };
  // Stopped once, so that the file holds what its log held (a clean stop writes the log into
  // it, as SQLite does whenever the log grows long): the log then has only what came after.
  startService();
  ASSERT_EQ(::kill(static_cast<pid_t>(service_.processId()), SIGTERM), 0);
  ASSERT_TRUE(service_.waitForFinished(kLongWaitMs));
  startService();
  const qsizetype running = messages_.size();
  console("insert 2");
  const auto unbooked = next(QStringLiteral("credit"));
  ASSERT_TRUE(unbooked);
  ASSERT_TRUE(QFile::remove(journal));
  console("coin 5");
  EXPECT_TRUE(credited("coin", 5));
  EXPECT_TRUE(QFile::exists(journal)) << "the deleted journal was not written back";
  console("coin 4");
  EXPECT_TRUE(credited("coin", 4)) << "no money taken on the journal written back";
  for (const QJsonObject& s : all(QStringLiteral("status"), running))
    EXPECT_EQ(s.value("journal").toString(), QStringLiteral("ok"));
  service_.kill();
  service_.waitForFinished();
  const qsizetype restart = messages_.size();
  const auto republished = [&](qsizetype from, int ms = kLongWaitMs) {
    return waitFor(
        [&] {
          for (const QJsonObject& c : all(QStringLiteral("credit"), from)) {
            if (c.value("id") == unbooked->value("id")) return true;
          }
          return false;
        },
        ms);
  };
  startService();
  EXPECT_TRUE(republished(restart))
      << "the unacknowledged credit was forgotten with the deleted file";

  // Replaced by another file: lost.
  const QString other = dir_.filePath(QStringLiteral("other"));
  {
    quennetd::Journal another;
    ASSERT_TRUE(another.open(other));
  }
  ASSERT_EQ(::rename(QFile::encodeName(other).constData(), QFile::encodeName(journal).constData()),
            0);
  console("coin 6");
  const auto status = next(QStringLiteral("status"), [](const QJsonObject& s) {
    return s.value("journal").toString() == u"lost";
  });
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->value("accepting").toBool());
  EXPECT_TRUE(masterInhibitBecomes(0));
  // The coin goes in as the file is replaced; on a slow machine the service may see the
  // replacement first and the acceptor refuse it. Either way the books are the device's.
  const bool taken = deviceCounters().find("6:1") != std::string::npos;
  EXPECT_EQ(credited("coin", 6), taken)
      << (taken ? "the coin taken as the journal went was never credited"
                : "a coin the acceptor refused was credited");
  const qsizetype reconnect = messages_.size();
  broker_.kill();
  broker_.waitForFinished();
  broker_.start(QStringLiteral("mosquitto"), {"-c", brokerConf_});
  ASSERT_TRUE(broker_.waitForStarted());
  // What the service sends as it reconnects can reach the broker before this consumer has
  // subscribed again; the resend after that comes within one resend period.
  EXPECT_TRUE(republished(reconnect, quennetd::kResendIntervalMs + kLongWaitMs))
      << "the old file's unacknowledged credit was not published again";
  devices_.readAllStandardOutput();
  console("insert 3");
  ASSERT_TRUE(devices_.waitForReadyRead(kLongWaitMs));
  EXPECT_TRUE(devices_.readLine().contains("master inhibit on"));
  EXPECT_EQ(deviceCounters(), taken ? "notes 2:1; coins 4:1 5:1 6:1" : "notes 2:1; coins 4:1 5:1");
  service_.kill();
  service_.waitForFinished();
  // The old file's logs go by the journal's name: whoever puts another journal in place takes
  // them away, or SQLite would read the old file's pages into the new one.
  for (const char* end : {"-wal", "-shm"}) QFile::remove(journal + QLatin1String(end));

  // What a second start says, and its exit status.
  const auto refusal = [&](const QStringList& extra) {
    QProcess again;
    again.start(
        QStringLiteral(QUENNET_SERVICE),
        QStringList{"--port", link(), "--broker", QStringLiteral("127.0.0.1:%1").arg(brokerPort_),
                    "--prefix", kPrefix, "--journal", journal, "--client-id", clientId()} +
            extra);
    if (!again.waitForFinished(kLongWaitMs)) {
      again.kill();
      again.waitForFinished();
      return std::string("still running");
    }
    return std::to_string(again.exitCode()) + " " + again.readAllStandardError().toStdString();
  };
  std::string said = refusal({});
  EXPECT_TRUE(said.starts_with("2 ") && said.find("replaced") != std::string::npos) << said;
  ASSERT_TRUE(QFile::remove(journal));
  said = refusal({});
  EXPECT_TRUE(said.starts_with("2 ") && said.find("is gone") != std::string::npos) << said;
  EXPECT_FALSE(QFile::exists(journal)) << "a new journal made behind the service's back";
  // Told to: a new journal, whose credits count from 1 again. Its copy is kept, and it is
  // written on.
  idle(kQuietMs);  // whatever the broker still had for the consumer
  messages_.clear();
  seen_ = 0;
  booking_ = true;
  startService({"--accept-journal"});
  console("insert 3");
  EXPECT_EQ(settle("notes 3:1; coins"), "notes 3:1; coins");
  ASSERT_EQ(::kill(static_cast<pid_t>(service_.processId()), SIGTERM), 0);
  ASSERT_TRUE(service_.waitForFinished(kLongWaitMs));
  const QString copy = dir_.filePath(QStringLiteral("journal.copy"));
  ASSERT_TRUE(QFile::copy(journal, copy));
  startService();
  console("coin 6");
  EXPECT_EQ(settle("notes 3:1; coins 6:1"), "notes 3:1; coins 6:1");
  service_.kill();
  service_.waitForFinished();
  const auto replaceWith = [&](const QString& from) {
    for (const char* end : {"", "-wal", "-shm"}) QFile::remove(journal + QLatin1String(end));
    return from.isEmpty() || QFile::copy(from, journal);
  };
  ASSERT_TRUE(replaceWith(copy));
  said = refusal({});
  EXPECT_TRUE(said.starts_with("2 ") && said.find("older copy") != std::string::npos) << said;
  startService({"--accept-journal"});
}

// Devices that answer only some seconds after the service came up (powered after the computer):
// the first search finds nothing, and the service keeps looking until they answer.
TEST_F(ServiceTest, DevicesThatAnswerOnlyAfterTheServiceCameUpAreFound) {
  search_ = true;
  console("fault silent 3");  // one spoilt reply for each device it identifies
  ASSERT_TRUE(launchService({}, 3 * kLongWaitMs)) << "the devices were never found";
  console("insert 3");
  const auto credit = next(QStringLiteral("credit"));
  ASSERT_TRUE(credit);
  EXPECT_EQ(credit->value("code").toString(), QStringLiteral("GB0020A"));
}

TEST_F(ServiceTest, NotesAreCreditedAfterALostPortASilentBusAndAReset) {
  startService();
  // The adapter pulled out, then plugged in again (a new device on the same path).
  devices_.kill();
  devices_.waitForFinished();
  ASSERT_TRUE(next(QStringLiteral("status"), [](const QJsonObject& s) {
    return s.value("state").toString() == u"port-lost";
  }));
  startDevices();
  ASSERT_TRUE(next(QStringLiteral("status"), [](const QJsonObject& s) {
    return s.value("state").toString() == u"online" && s.value("devices").toArray().size() == 3;
  }));
  console("insert 3");
  auto credit = next(QStringLiteral("credit"));
  ASSERT_TRUE(credit) << "no credit after the port came back";
  EXPECT_EQ(credit->value("code").toString(), QStringLiteral("GB0020A"));
  console("coin 8");
  credit = next(QStringLiteral("credit"));
  ASSERT_TRUE(credit);
  EXPECT_EQ(credit->value("kind").toString(), QStringLiteral("coin"));
  EXPECT_EQ(credit->value("value").toInteger(), 200);

  // Nothing answers for a while: the validator is lost, then answering and taking notes again.
  const auto validator = [](const char* state) {
    return [state](const QJsonObject& s) {
      for (const QJsonValue& d : s.value("devices").toArray()) {
        const QJsonObject o = d.toObject();
        if (o.value("address").toInt() == 40) return o.value("state").toString() == state;
      }
      return false;
    };
  };
  console("fault silent 15");
  ASSERT_TRUE(next(QStringLiteral("status"), validator("lost")));
  ASSERT_TRUE(next(QStringLiteral("status"), validator("ok")));
  console("insert 2");
  credit = next(QStringLiteral("credit"));
  ASSERT_TRUE(credit) << "no credit after the silence";
  EXPECT_EQ(credit->value("code").toString(), QStringLiteral("GB0010A"));

  // Power cycle: every note inhibited again until the service initialises the validator anew.
  console("reset");
  ASSERT_TRUE(next(QStringLiteral("event"), [](const QJsonObject& e) {
    return e.value("kind").toString() == u"reset" && e.value("address").toInt() == 40;
  }));
  idle(1000);
  console("insert 1");
  credit = next(QStringLiteral("credit"));
  ASSERT_TRUE(credit) << "no credit after the reset";
  EXPECT_EQ(credit->value("code").toString(), QStringLiteral("GB0005A"));
  EXPECT_EQ(credit->value("value").toInteger(), 500);

  // Power cycle again, the coin acceptor's counter still at 0 from the last one: nothing on its
  // counter shows it. Its first coin is refused as inhibited; that has the service initialise it
  // again, and the next coin is taken.
  console("reset");
  ASSERT_TRUE(next(QStringLiteral("event"), [](const QJsonObject& e) {
    return e.value("kind").toString() == u"reset" && e.value("address").toInt() == 40;
  }));
  idle(1000);
  console("coin 8");
  ASSERT_TRUE(next(QStringLiteral("event"), [](const QJsonObject& e) {
    return e.value("address").toInt() == 2 && e.value("text").toString().contains(u"Inhibited");
  }));
  idle(1000);
  console("coin 8");
  credit = next(QStringLiteral("credit"));
  ASSERT_TRUE(credit) << "the coin acceptor stayed inhibited after a reset its counter hid";
  EXPECT_EQ(credit->value("kind").toString(), QStringLiteral("coin"));
  EXPECT_EQ(deviceCounters(), "notes 1:1 2:1 3:1; coins 8:2");
}

TEST_F(ServiceTest, RefusedCommandsSendNothing) {
  startService({"--command-rate", "100"});
  struct Case {
    QByteArray payload;
    const char* id;
    const char* error;
  };
  const QByteArray big = R"({"id":"big","address":3,"method":"GetSerialNo","inputs":[],"pad":")" +
                         QByteArray(4100, 'x') + R"("})";
  QByteArray huge = R"({"id":"huge","address":3,"method":"GetSerialNo","inputs":[],"pad":")";
  huge += QByteArray(70000 - huge.size() - 2, 'x') + R"("})";
  const QList<Case> cases = {
      {"{\"id\":\"m\",\"method\":", "", "not a JSON object"},
      {R"({"id":"u","address":40,"method":"FlyAway","inputs":[]})", "u", "unknown method"},
      {R"({"id":"w","address":40,"method":"RouteBill","inputs":[]})", "w", "takes 1 input"},
      {R"({"id":"r","address":40,"method":"RouteBill","inputs":[300]})", "r", "Accept"},
      {R"({"id":"t","address":40,"method":"RouteBill","inputs":["1"]})", "t", "whole number"},
      {R"({"id":"dk","address":9,"method":"GetSerialNo","inputs":[],"address":40})", "dk",
       "\"address\" given twice"},
      {R"({"id":"dp","method":"pay","amount":1,"amount":500})", "dp", "\"amount\" given twice"},
      {R"({"id":"f","address":3,"method":"Dispense_Coins","inputs":[5]})", "f", "not allowed"},
      {R"({"id":"k","address":40,"method":"ChangeKey","inputs":[[1,2,3]]})", "k", "not allowed"},
      {R"({"id":"a","address":0,"method":"GetSerialNo","inputs":[]})", "a", "address"},
      {R"({"id":"n","address":9,"method":"GetSerialNo","inputs":[]})", "n",
       "no device answering at address 9"},
      {big, "", "larger than 4096"},
      {huge, "", "message of 70000 bytes refused unread"},
  };
  devices_.readAllStandardError();
  for (const Case& c : cases) {
    send(QStringLiteral("cmd"), c.payload);
    const auto reply = next(QStringLiteral("reply"));
    ASSERT_TRUE(reply) << c.payload.left(60).toStdString();
    EXPECT_EQ(reply->value("id").toString(), QLatin1String(c.id));
    EXPECT_TRUE(reply->value("error").toString().contains(QLatin1String(c.error)))
        << reply->value("error").toString().toStdString();
  }
  // A listed method and an open one go through, in order, after everything above.
  send(QStringLiteral("cmd"), R"({"id":"stop","address":3,"method":"Hopper_Stop","inputs":[]})");
  send(QStringLiteral("cmd"), R"({"id":"s","address":40,"method":"GetSerialNo","inputs":[]})");
  auto reply = next(QStringLiteral("reply"),
                    [](const QJsonObject& r) { return r.value("id").toString() == u"s"; });
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->value("result").toInt(), 0);
  EXPECT_EQ(reply->value("outputs").toObject().value("strResponse").toString(),
            QStringLiteral("8902162"));
  idle(300);
  // On the line since the first refused request: event polls, then exactly the two allowed.
  EXPECT_EQ(framesSent(), (QStringList{"3/172", "40/242"}));
}

// A flood on `cmd` reaches the device at the configured rate: a burst of twice the rate, then
// one request per token earned; the rest are answered "too many requests" and never sent.
// Requests that cannot be read, or carry no id, use up the sender's rate as well.
TEST_F(ServiceTest, AFloodOnCmdReachesTheLineAtTheConfiguredRate) {
  startService({"--command-rate", "1"});
  devices_.readAllStandardError();
  const auto ask = [this](int n) {
    send(QStringLiteral("cmd"),
         QStringLiteral(R"({"id":"f%1","address":40,"method":"GetSerialNo","inputs":[]})")
             .arg(n)
             .toUtf8());
  };
  // Refusals are answered at once, replies once the device has answered: in any order. Only the
  // requests with an id are listed.
  const auto outcomes = [this](qsizetype from, int count) {
    std::map<QString, QString> byId;
    waitFor([&] { return all(QStringLiteral("reply"), from).size() >= count; });
    for (const QJsonObject& r : all(QStringLiteral("reply"), from)) {
      if (!r.value("id").isString()) continue;
      byId[r.value("id").toString()] = r.contains("error")
                                           ? r.value("error").toString()
                                           : QString::number(r.value("result").toInt());
    }
    QStringList list;
    for (const auto& [id, outcome] : byId) list.append(id + u' ' + outcome);
    return list;
  };
  qsizetype from = messages_.size();
  for (int n = 0; n < 6; ++n) ask(n);
  const QString held = QStringLiteral("too many requests");
  EXPECT_EQ(outcomes(from, 6),
            (QStringList{"f0 0", "f1 0", "f2 " + held, "f3 " + held, "f4 " + held, "f5 " + held}));
  // A second earns one request, at most two: the garbage takes them.
  idle(1100);
  from = messages_.size();
  send(QStringLiteral("cmd"), "{\"id\":");
  send(QStringLiteral("cmd"), R"({"address":40,"method":"GetSerialNo","inputs":[]})");
  ask(6);
  EXPECT_EQ(outcomes(from, 3), QStringList{"f6 " + held});
  idle(1100);
  from = messages_.size();
  ask(7);
  EXPECT_EQ(outcomes(from, 1), QStringList{"f7 0"}) << "a second earns one request";
  idle(300);
  EXPECT_EQ(framesSent(), (QStringList{"40/242", "40/242", "40/242"}));
}

// Every device answers each request 30 ms late, as slow ones do.
class ServiceOnASlowLine : public ServiceTest {
 protected:
  static constexpr int kReplyDelayMs = 30;
  QStringList lineOptions() override { return {"--reply-delay", QString::number(kReplyDelayMs)}; }
};

// Consumers' commands get their share of the line and no more: one at a time, each paid for with
// the time it took, so the event polls keep their turn; beyond the queue the answer is "busy".
// A note inserted during the flood is credited.
TEST_F(ServiceOnASlowLine, CommandsTakeTheirShareOfTheLineAndTheRestAreBusy) {
  // Polls once a second leave the line mostly to the commands, were they not held back.
  startService({"--command-rate", "1000", "--poll-ms", "1000"});
  devices_.readAllStandardError();
  constexpr int kRequests = 30;
  const qsizetype from = messages_.size();
  QElapsedTimer clock;
  clock.start();
  for (int n = 0; n < kRequests; ++n) {
    send(QStringLiteral("cmd"),
         QStringLiteral(R"({"id":"c%1","address":40,"method":"GetSerialNo","inputs":[]})")
             .arg(n)
             .toUtf8());
  }
  console("insert 2");
  ASSERT_TRUE(waitFor([&] { return all(QStringLiteral("reply"), from).size() >= kRequests; }));
  const qint64 tookMs = clock.elapsed();
  QSet<QString> ids;
  int busy = 0;
  int answered = 0;
  for (const QJsonObject& reply : all(QStringLiteral("reply"), from)) {
    ids.insert(reply.value("id").toString());
    if (reply.value("error").toString() == u"busy") {
      ++busy;
      continue;
    }
    ++answered;
    EXPECT_EQ(reply.value("result").toInt(), 0);
    EXPECT_EQ(reply.value("outputs").toObject().value("strResponse").toString(),
              QStringLiteral("8902162"));
  }
  EXPECT_EQ(ids.size(), kRequests) << "every request answered once";
  EXPECT_GE(answered, 1 + quennetd::kCommandQueueLength) << "the one on the line and the queue";
  EXPECT_GE(busy, 1);
  // Every command held the line for at least the reply delay; the budget earns its share of the
  // time that passes, on top of what a quiet line had saved.
  EXPECT_GE(tookMs, ((answered - 1) * kReplyDelayMs - quennetd::kCommandReserveMs) /
                        quennetd::kCommandShare);
  EXPECT_TRUE(next(QStringLiteral("credit"))) << "the note inserted during the flood";
  EXPECT_EQ(framesSent().count(QStringLiteral("40/242")), answered);
}

TEST_F(ServiceTest, AHeldNoteWaitsForTheConsumerAndGoesBackWhenNobodyRoutesIt) {
  startService({"--escrow", "hold", "--escrow-timeout-ms", "1500"});
  console("insert 4");
  const auto held = next(QStringLiteral("escrow"));
  ASSERT_TRUE(held);
  EXPECT_EQ(held->value("code").toString(), QStringLiteral("GB0050A"));
  EXPECT_EQ(held->value("value").toInteger(), 5000);
  const qsizetype routed = messages_.size();
  // RouteBill would route whatever note is held: refused, nothing sent; the note is routed by its
  // escrow id.
  devices_.readAllStandardError();
  send(QStringLiteral("cmd"), R"({"id":"blind","address":40,"method":"RouteBill","inputs":[1]})");
  const auto blind = next(QStringLiteral("reply"));
  ASSERT_TRUE(blind);
  EXPECT_TRUE(blind->value("error").toString().contains(QLatin1String("escrow id")))
      << qPrintable(blind->value("error").toString());
  EXPECT_TRUE(framesSent().isEmpty());
  // What the validator says meanwhile of other things leaves the note held.
  for (const char* line : {"cheat", "cashbox out", "cashbox in"}) console(line);
  ASSERT_TRUE(next(QStringLiteral("event"), [](const QJsonObject& e) {
    return e.value("text").toString().contains(QLatin1String("Cash Box Inserted"),
                                               Qt::CaseInsensitive);
  }));
  send(
      QStringLiteral("route"),
      QJsonDocument(QJsonObject{{"id", "take"}, {"escrow", held->value("id")}, {"action", "stack"}})
          .toJson());
  const auto credit = next(QStringLiteral("credit"));
  ASSERT_TRUE(credit) << "the consumer's route did not stack the note";
  EXPECT_EQ(credit->value("code").toString(), QStringLiteral("GB0050A"));

  // Nobody routes this one: back to the customer after the hold time, and no credit.
  console("insert 1");
  ASSERT_TRUE(next(QStringLiteral("escrow")));
  const auto returned = next(
      QStringLiteral("event"),
      [](const QJsonObject& e) { return e.value("text").toString() == u"Note Returned"; }, 6000);
  ASSERT_TRUE(returned) << "returned by the service, well before the validator's own 10 s";
  EXPECT_EQ(returned->value("kind").toString(), QStringLiteral("status"));
  EXPECT_EQ(all(QStringLiteral("credit"), routed).size(), 1);
  // A jam needs a person: the event says so.
  console("jam");
  const auto jam = next(QStringLiteral("event"), [](const QJsonObject& e) {
    return e.value("text").toString() == u"Note Jammed in Validator";
  });
  ASSERT_TRUE(jam);
  EXPECT_EQ(jam->value("kind").toString(), QStringLiteral("fault"));
}

// `accepting` says whether money can be taken: not with every note and coin inhibited (--notes
// none), nor with the cash box out while the validator is the only acceptor, until it is back.
TEST_F(ServiceTest, AcceptingIsTrueOnlyWhileMoneyCanBeTaken) {
  const auto accepting = [this] {
    return all(QStringLiteral("status"), 0).back().value("accepting");
  };
  startService({"--notes", "none"});
  idle(500);
  EXPECT_FALSE(accepting().toBool()) << "--notes none";
  service_.kill();
  service_.waitForFinished();
  devices_.kill();
  devices_.waitForFinished();
  coinAcceptor_ = false;
  startDevices();
  startService();
  ASSERT_TRUE(waitFor([&] { return accepting().toBool(); }));
  console("cashbox out");
  ASSERT_TRUE(next(QStringLiteral("status"), [](const QJsonObject& s) {
    return !s.value("accepting").toBool();
  })) << "accepting with the cash box out";
  console("cashbox in");
  ASSERT_TRUE(next(QStringLiteral("status"),
                   [](const QJsonObject& s) { return s.value("accepting").toBool(); }));
}

TEST_F(ServiceTest, AJournalThatCannotBeWrittenStopsAcceptance) {
  // One a newer quennetd wrote: refused at every try, and never written to.
  const QString newer = dir_.filePath(QStringLiteral("newer"));
  {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("new"));
    db.setDatabaseName(newer);
    ASSERT_TRUE(db.open());
    QSqlQuery q(db);
    ASSERT_TRUE(q.exec(QStringLiteral("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT)")));
    ASSERT_TRUE(q.exec(
        QStringLiteral("PRAGMA user_version=%1").arg(quennetd::Journal::kSchemaVersion + 1)));
  }
  QSqlDatabase::removeDatabase(QStringLiteral("new"));
  qsizetype start = messages_.size();
  startService(QStringList{"--journal", newer} + kQuickRetry);
  idle(6 * kRetryMs);
  for (const QJsonObject& s : all(QStringLiteral("status"), start)) {
    EXPECT_FALSE(s.value("accepting").toBool());
    EXPECT_TRUE(s.value("journal").toString().contains(u"newer"))
        << qPrintable(s.value("journal").toString());
  }
  service_.kill();
  service_.waitForFinished();

  start = messages_.size();
  startService(QStringList{"--journal", dir_.filePath(QStringLiteral("no/such/folder/journal"))} +
               kQuickRetry);
  const QJsonObject status = all(QStringLiteral("status"), start).back();
  EXPECT_FALSE(status.value("accepting").toBool());
  EXPECT_NE(status.value("journal").toString(), QStringLiteral("ok"));
  devices_.readAllStandardOutput();
  console("insert 2");
  ASSERT_TRUE(devices_.waitForReadyRead(kLongWaitMs));
  EXPECT_TRUE(devices_.readLine().contains("master inhibit on"));
  // A command that changes a device could not be kept to once: refused, nothing sent.
  devices_.readAllStandardError();
  send(QStringLiteral("cmd"), R"({"id":"stop","address":3,"method":"Hopper_Stop","inputs":[]})");
  const auto refused = next(QStringLiteral("reply"));
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->value("error").toString().startsWith(u"journal"))
      << qPrintable(refused->value("error").toString());
  idle(300);
  EXPECT_TRUE(framesSent().isEmpty());

  // Its folder comes back: the journal opens at the next try, money is taken, and requests that
  // change something or read the journal are answered again.
  ASSERT_TRUE(QDir().mkpath(dir_.filePath(QStringLiteral("no/such/folder"))));
  ASSERT_TRUE(next(
      QStringLiteral("status"),
      [](const QJsonObject& s) {
        return s.value("accepting").toBool() && s.value("journal").toString() == u"ok";
      },
      8 * kRetryMs));
  send(QStringLiteral("cmd"), R"({"id":"stop2","address":3,"method":"Hopper_Stop","inputs":[]})");
  const auto stopped = next(QStringLiteral("reply"));
  ASSERT_TRUE(stopped);
  EXPECT_TRUE(stopped->value("acknowledged").toBool())
      << qPrintable(stopped->value("error").toString());
  send(QStringLiteral("cmd"), R"({"id":"q","method":"query"})");
  const auto asked = next(QStringLiteral("reply"));
  ASSERT_TRUE(asked);
  EXPECT_TRUE(asked->contains("totals")) << qPrintable(asked->value("error").toString());
  console("insert 2");
  EXPECT_EQ(settle("notes 2:1; coins"), "notes 2:1; coins");
}

// A broker with a TLS listener whose certificate a test CA signed for 127.0.0.1, and a second
// CA that signed nothing here.
class ServiceOverTls : public ServiceTest {
 protected:
  QByteArray moreListeners() override {
    tlsPort_ = freePort();
    const auto openssl = [this](const QStringList& arguments) {
      QProcess p;
      p.setWorkingDirectory(dir_.path());
      p.start(QStringLiteral("openssl"), arguments);
      return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit &&
             p.exitCode() == 0;
    };
    const QStringList ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    QFile ext(dir_.filePath(QStringLiteral("san.ext")));
    if (!ext.open(QIODevice::WriteOnly) || ext.write("subjectAltName=IP:127.0.0.1\n") < 0)
      return {};
    ext.close();
    for (const char* ca : {"ca", "other-ca"}) {
      const QString name = QString::fromLatin1(ca);
      if (!openssl(QStringList{"req", "-x509"} + ec +
                   QStringList{"-keyout", name + ".key", "-out", name + ".pem", "-days", "2",
                               "-subj", "/CN=" + name})) {
        return {};
      }
    }
    if (!openssl(
            QStringList{"req"} + ec +
            QStringList{"-keyout", "broker.key", "-out", "broker.csr", "-subj", "/CN=127.0.0.1"}) ||
        !openssl({"x509", "-req", "-in", "broker.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                  "-CAcreateserial", "-out", "broker.pem", "-days", "2", "-extfile", "san.ext"})) {
      return {};
    }
    // Started as root, the broker would read its key as user mosquitto, who cannot enter the
    // test's folder; as any other user this line does nothing.
    return QStringLiteral("user root\nlistener %1 127.0.0.1\ncafile %2\ncertfile %3\nkeyfile %4\n")
        .arg(tlsPort_)
        .arg(dir_.filePath(QStringLiteral("ca.pem")), dir_.filePath(QStringLiteral("broker.pem")),
             dir_.filePath(QStringLiteral("broker.key")))
        .toUtf8();
  }

  int tlsPort_ = 0;
};

// The service talks to the broker over TLS only when it can verify the broker's certificate:
// with a CA that did not sign it, nothing is published; with the one that did, it comes online.
TEST_F(ServiceOverTls, TheBrokerIsVerifiedAgainstTheGivenCa) {
  ASSERT_NE(tlsPort_, 0);
  ASSERT_TRUE(QFile::exists(dir_.filePath(QStringLiteral("broker.pem"))))
      << "openssl could not make the test certificates";
  const QString broker = QStringLiteral("127.0.0.1:%1").arg(tlsPort_);
  service_.setProcessChannelMode(QProcess::SeparateChannels);
  EXPECT_FALSE(launchService(
      {"--broker", broker, "--tls-ca", dir_.filePath(QStringLiteral("other-ca.pem"))}, 4000));
  EXPECT_TRUE(all(QStringLiteral("status"), 0).isEmpty());
  // Its log says why.
  EXPECT_TRUE(service_.readAllStandardError().contains("certificate verify failed"));
  service_.kill();
  service_.waitForFinished();
  service_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  EXPECT_TRUE(
      launchService({"--broker", broker, "--tls-ca", dir_.filePath(QStringLiteral("ca.pem"))}));
}

// A note's value in minor units of its currency: the value in its identity, the validator's
// factor and decimals, and the currency's own exponent; nothing rather than a wrong amount.
TEST(ServiceMoney, NoteValuesAreMinorUnitsOfTheirCurrency) {
  using quennetd::Scale;
  struct Case {
    qint64 amount;
    Scale scale;
    const char* country;
    std::optional<qint64> minor;
  };
  const Case cases[] = {
      {10, {100, 2}, "GB", 1000},       {10, {1, 0}, "GB", 1000},
      {10, {1000, 3}, "EU", 1000},      {5, {5, 1}, "US", 250},
      {1000, {1, 0}, "JP", 1000},       {1000, {10, 1}, "JP", 1000},
      {20, {1, 0}, "KW", 20000},        {1, {1, 3}, "GB", std::nullopt},
      {10, {0, 0}, "GB", std::nullopt}, {10, {1, 0}, "XX", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quennetd::minorUnits(c.amount, c.scale, QLatin1String(c.country)), c.minor)
        << c.amount << " x " << c.scale.factor << " / 10^" << c.scale.decimals << " " << c.country;
  }
}

// A journal written before credits had states and devices epochs: its unacknowledged credit is
// still published until booked, and new credits number from 1.
TEST_F(ServiceTest, AJournalOfTheEarlierLayoutKeepsItsCredits) {
  {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
    db.setDatabaseName(dir_.filePath(QStringLiteral("journal")));
    ASSERT_TRUE(db.open());
    QSqlQuery q(db);
    for (const char* statement :
         {"CREATE TABLE credit (id TEXT PRIMARY KEY, payload BLOB NOT NULL, recorded TEXT NOT "
          "NULL, acked TEXT)",
          "CREATE TABLE cursor (device TEXT PRIMARY KEY, counter INTEGER)",
          "INSERT INTO credit VALUES ('c-old', '{\"id\":\"c-old\",\"kind\":\"coin\"}', "
          "'2026-12-01T10:00:00.000Z', NULL)",
          "INSERT INTO credit VALUES ('c-booked', '{\"id\":\"c-booked\"}', "
          "'2026-12-01T09:00:00.000Z', '2026-12-01T09:00:01.000Z')",
          "INSERT INTO cursor VALUES ('40/1234567', 0)"}) {
      ASSERT_TRUE(q.exec(QLatin1String(statement))) << statement;
    }
  }
  QSqlDatabase::removeDatabase(QStringLiteral("old"));
  startService();
  // Published on connecting, before the devices are up.
  ASSERT_TRUE(waitFor([this] { return !all(QStringLiteral("credit"), 0).isEmpty(); }));
  EXPECT_EQ(all(QStringLiteral("credit"), 0).front().value("id").toString(),
            QStringLiteral("c-old"));
  send(QStringLiteral("ack"), R"({"id":"c-old"})");
  // Acknowledgements are written in batches: the kill below must come after this one is on disk,
  // which a query shows.
  bool booked = false;
  for (int k = 0; k < 50 && !booked; ++k) {
    const QString id = QStringLiteral("q-%1").arg(k);
    send(QStringLiteral("cmd"),
         QJsonDocument(QJsonObject{{"id", id}, {"method", "query"}}).toJson());
    const auto reply = next(QStringLiteral("reply"),
                            [&](const QJsonObject& r) { return r.value("id").toString() == id; });
    ASSERT_TRUE(reply);
    booked = reply->value("unacknowledged").toObject().value("credits").toInt(-1) == 0;
  }
  ASSERT_TRUE(booked) << "the ack never reached the journal";
  console("insert 2");
  const auto fresh = next(QStringLiteral("credit"));
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->value("seq").toInteger(), 1);
  service_.kill();
  service_.waitForFinished();
  const qsizetype restart = messages_.size();
  startService();
  idle(kQuietMs);
  QStringList again;
  for (const QJsonObject& c : all(QStringLiteral("credit"), restart))
    again.append(c.value("id").toString());
  EXPECT_EQ(again, QStringList{fresh->value("id").toString()});
}

// Asked to, the service takes no money while the broker is away, and takes it again once the
// broker is back.
TEST_F(ServiceTest, WithoutTheBrokerNothingIsTakenWhenAskedSo) {
  startService({"--inhibit-without-broker"});
  ASSERT_TRUE(masterInhibitBecomes(1));
  broker_.kill();
  broker_.waitForFinished();
  EXPECT_TRUE(masterInhibitBecomes(0)) << "still accepting with the broker gone";
  broker_.start(QStringLiteral("mosquitto"), {"-c", brokerConf_});
  ASSERT_TRUE(broker_.waitForStarted());
  EXPECT_TRUE(masterInhibitBecomes(1)) << "not accepting with the broker back";
  ASSERT_TRUE(waitFor([this] { return consumer_.isConnected(); }));
  console("insert 2");
  const auto credit = next(QStringLiteral("credit"));
  ASSERT_TRUE(credit);
  EXPECT_EQ(credit->value("position").toInt(), 2);

  // Frozen: the connection stays up, nothing is answered. The keep-alive and the publish that is
  // never taken tell, well before the connection times out.
  ASSERT_EQ(::kill(static_cast<pid_t>(broker_.processId()), SIGSTOP), 0);
  console("coin 8");  // a credit the frozen broker does not take
  EXPECT_TRUE(masterInhibitBecomes(0)) << "still accepting with the broker frozen";
  ASSERT_EQ(::kill(static_cast<pid_t>(broker_.processId()), SIGCONT), 0);
  EXPECT_TRUE(masterInhibitBecomes(1)) << "not accepting with the broker answering again";
}

// The journal on a disk of its own, half a megabyte of tmpfs in a mount namespace; the service
// runs inside it, the test fills the disk from outside.
class ServiceOnASmallDisk : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    if (HasFatalFailure()) return;
    const QString folder = dir_.filePath(QStringLiteral("disk"));
    ASSERT_TRUE(QDir().mkpath(folder));
    if (const QString why = disk_.mount(folder, 512); !why.isEmpty()) {
      GTEST_SKIP() << "no mount namespace: " << why.toStdString();
    }
    wrapper_ = disk_.wrapper();
  }
  QStringList journalOnDisk() const {
    return QStringList{"--journal", disk_.folder() + QStringLiteral("/journal")} + kQuickRetry;
  }
  // Writes until the disk takes no more.
  void fill() { ASSERT_TRUE(disk_.fill()); }

  quennet::testing::SmallDisk disk_;
};

// A full disk: the note is given back, acceptance stops and the status says why until there is
// room again. Killed meanwhile and started again, the service has neither lost nor doubled money.
TEST_F(ServiceOnASmallDisk, AFullDiskReturnsTheNoteAndStopsAcceptance) {
  // Full before anything was offered: nothing is taken until there is room.
  startService(journalOnDisk());
  service_.kill();
  service_.waitForFinished();
  fill();
  const qsizetype fullAtStart = messages_.size();
  startService(journalOnDisk());
  idle(1500);
  for (const QJsonObject& s : all(QStringLiteral("status"), fullAtStart))
    EXPECT_FALSE(s.value("accepting").toBool()) << "accepting on a full disk";
  EXPECT_TRUE(all(QStringLiteral("status"), fullAtStart)
                  .back()
                  .value("journal")
                  .toString()
                  .contains(QLatin1String("full")));
  ASSERT_TRUE(disk_.clear());
  ASSERT_TRUE(next(
      QStringLiteral("status"),
      [](const QJsonObject& s) {
        return s.value("accepting").toBool() && s.value("journal").toString() == u"ok";
      },
      8 * kRetryMs));

  booking_ = true;
  console("insert 2");
  EXPECT_EQ(settle(), "notes 2:1; coins");
  fill();
  console("insert 3");
  const auto full = next(QStringLiteral("status"), [](const QJsonObject& s) {
    return s.value("journal").toString() != u"ok";
  });
  ASSERT_TRUE(full);
  EXPECT_FALSE(full->value("accepting").toBool());
  EXPECT_TRUE(full->value("journal").toString().contains(QLatin1String("full")))
      << full->value("journal").toString().toStdString();
  // Tried again meanwhile: still full, still not accepting.
  const qsizetype failed = messages_.size();
  idle(2 * kRetryMs + 1000);
  for (const QJsonObject& s : all(QStringLiteral("status"), failed))
    EXPECT_FALSE(s.value("accepting").toBool());
  EXPECT_EQ(deviceCounters(), "notes 2:1; coins") << "the note went back to the customer";

  // Room again: the next try takes a write, and money is taken again.
  ASSERT_TRUE(disk_.clear());
  ASSERT_TRUE(next(
      QStringLiteral("status"),
      [](const QJsonObject& s) {
        return s.value("accepting").toBool() && s.value("journal").toString() == u"ok";
      },
      8 * kRetryMs));
  console("insert 3");
  EXPECT_EQ(settle("notes 2:1 3:1; coins"), "notes 2:1 3:1; coins");

  // Full again, and killed while it is.
  fill();
  console("insert 4");
  ASSERT_TRUE(next(QStringLiteral("status"),
                   [](const QJsonObject& s) { return s.value("journal").toString() != u"ok"; }));
  // The note goes back to the customer before the kill (or never entered): one still held when
  // the service starts again would be taken then, and rightly, beside the one inserted below.
  ASSERT_TRUE(validatorStatusShows("escrow empty"));
  service_.kill();
  service_.waitForFinished();
  ASSERT_TRUE(disk_.clear());
  startService(journalOnDisk());
  console("insert 4");
  console("coin 8");
  EXPECT_EQ(settle("notes 2:1 3:1 4:1; coins 8:1"), "notes 2:1 3:1 4:1; coins 8:1");
  EXPECT_EQ(deviceCounters(), "notes 2:1 3:1 4:1; coins 8:1");
}

// The configuration as shipped loads: '#' and ';' lines are comments. A key the service does not
// know, or a line that is no key=value, is refused with the file and the line it stands on.
TEST(ServiceOptions, TheShippedConfigurationLoadsAndAnythingUnknownIsRefusedWithItsLine) {
  QString error;
  const auto shipped =
      quennetd::parseOptions({"--config", QStringLiteral(QUENNET_SHIPPED_CONF)}, &error);
  ASSERT_TRUE(shipped) << error.toStdString();
  EXPECT_EQ(shipped->port, QStringLiteral("/dev/ttyUSB0"));
  EXPECT_EQ(shipped->journal, QStringLiteral("/var/lib/quennetd/journal.db"));
  EXPECT_EQ(shipped->pollMs, 200);
  EXPECT_FALSE(shipped->checksum8) << "a commented-out key was read";

  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("quennetd.conf"));
  struct Case {
    QByteArray text;
    const char* error;  // "" when it loads
  };
  const QList<Case> cases = {
      {"# a note\n  ; another\n\nport = /dev/ttyS3\n#bogus=1\npoll-ms=75\n", ""},
      {"port=/dev/ttyS3\n\n#allow=Dispense_Coins\nbogus=1\n", ":4: unknown key 'bogus'"},
      {"port=/dev/ttyS3\nescrow\n", ":2: not key=value"},
      {"port=/dev/ttyS3\npoll-ms=5\n", ":2: --poll-ms wants 20..10000"},
      {"port=/dev/ttyS3\njournal-retry-ms=50\n", ":2: --journal-retry-ms wants 100..600000"},
      {"port=/dev/ttyS3\nport=/dev/ttyS4\n", ":2: 'port' given twice"},
  };
  for (const Case& c : cases) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(c.text);
    file.close();
    const auto options = quennetd::parseOptions({"--config", path}, &error);
    if (*c.error == '\0') {
      ASSERT_TRUE(options) << error.toStdString();
      EXPECT_EQ(options->port, QStringLiteral("/dev/ttyS3"));
      EXPECT_EQ(options->pollMs, 75);
    } else {
      EXPECT_FALSE(options) << c.text.toStdString();
      EXPECT_EQ(error.left(path.size()), path);
      EXPECT_TRUE(error.contains(QLatin1String(c.error))) << error.toStdString();
    }
  }
}

// The broker password is read only from a file nobody but its owner can read.
TEST(ServiceOptions, PasswordFileOpenToOthersIsRefused) {
  QTemporaryDir dir;
  QFile file(dir.filePath(QStringLiteral("broker.password")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("till-7:s3cret:x\n");
  file.close();
  QString user, password, error;
  for (const auto mode :
       {QFile::ReadOwner | QFile::ReadGroup, QFile::ReadOwner | QFile::ReadOther}) {
    file.setPermissions(QFile::WriteOwner | mode);
    EXPECT_FALSE(quennetd::readCredentials(file.fileName(), &user, &password, &error));
    EXPECT_TRUE(error.contains(QLatin1String("chmod 600"))) << error.toStdString();
  }
  file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
  ASSERT_TRUE(quennetd::readCredentials(file.fileName(), &user, &password, &error))
      << error.toStdString();
  EXPECT_EQ(user, QStringLiteral("till-7"));
  EXPECT_EQ(password, QStringLiteral("s3cret:x"));
}

// A device a line, each with its framing, key and role; a device without a framing (nor one for
// the whole bus) is found at start. The command line's line for an address wins over the file's.
TEST(ServiceOptions, DeviceLinesGiveEachDeviceItsFramingKeyAndRole) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("quennetd.conf"));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(
      "port=/dev/ttyS3\ndevice=40 crc16 key=123456 validator\ndevice = 2, checksum8, "
      "coin-acceptor\ndevice=3 hopper\n");
  file.close();
  QString error;
  auto options = quennetd::parseOptions({"--config", path}, &error);
  ASSERT_TRUE(options) << error.toStdString();
  EXPECT_EQ(options->devices, (QList<std::uint8_t>{40, 2, 3}));
  EXPECT_EQ(options->busyRetries, 3);
  EXPECT_EQ(options->resetWaitMs, 2000);
  const auto validator = quennetd::deviceSetting(*options, 40);
  ASSERT_TRUE(validator);
  EXPECT_EQ(validator->checksum8, false);
  EXPECT_EQ(validator->keyCode,
            quennetd::parseOptions({"--port", "p", "--key", "123456"}, &error)->keyCode);
  EXPECT_EQ(validator->role, quennetd::DeviceRole::Validator);
  EXPECT_EQ(quennetd::deviceSetting(*options, 2)->checksum8, true);
  EXPECT_EQ(quennetd::deviceSetting(*options, 3)->role, quennetd::DeviceRole::Hopper);
  EXPECT_TRUE(quennetd::framingConfigured(*options, 40));
  EXPECT_TRUE(quennetd::framingConfigured(*options, 2));
  EXPECT_FALSE(quennetd::framingConfigured(*options, 3)) << "a role alone is no framing";
  EXPECT_TRUE(quennetd::framingsToFind(*options));

  // The command line's line for 3 replaces the file's; --checksum8 frames every other device.
  options = quennetd::parseOptions(
      {"--config", path, "--device", "3 checksum8", "--devices", "7", "--busy-retries", "0"},
      &error);
  ASSERT_TRUE(options) << error.toStdString();
  EXPECT_EQ(options->devices, (QList<std::uint8_t>{7, 40, 2, 3}));
  EXPECT_FALSE(quennetd::deviceSetting(*options, 3)->role);
  EXPECT_EQ(options->busyRetries, 0);
  EXPECT_FALSE(quennetd::framingConfigured(*options, 7));
  // A hopper's dispense code: the default, a number of its own, or its serial number.
  options = quennetd::parseOptions({"--config", path, "--device", "4 code=0", "--device",
                                    "5 code=serial", "--device", "6 code=serial code=16777215"},
                                   &error);
  ASSERT_TRUE(options) << error.toStdString();
  const QList<std::pair<std::uint8_t, std::int32_t>> codes = {
      {3, quennet::CommandSet::kDefaultHopperCode}, {4, 0}, {5, 700301}, {6, 16777215}};
  for (const auto& [address, code] : codes) {
    EXPECT_EQ(quennetd::dispenseCode(*options, address, 700301), code) << int(address);
  }
  options = quennetd::parseOptions({"--port", "p", "--devices", "7", "--checksum8"}, &error);
  ASSERT_TRUE(options);
  EXPECT_TRUE(quennetd::framingConfigured(*options, 7));
  EXPECT_FALSE(quennetd::framingsToFind(*options));

  const QList<std::pair<QStringList, const char*>> refused = {
      {{"--device", "40 checksum8 key=123456"}, "encryption does not work with checksum8"},
      {{"--device", "0 crc16"}, "an address 1..255"},
      {{"--device", "40 crc8"}, "crc16 or checksum8"},
      {{"--device", "40 key=12"}, "six decimal digits"},
      {{"--busy-retries", "101"}, "0..100"},
      {{"--reset-wait-ms", "-1"}, "0..60000"},
      {{"--device", "3 code=16777216"}, "code=N with N in 0..16777215, or code=serial"},
      {{"--device", "3 code=seria"}, "code=N with N in 0..16777215, or code=serial"},
  };
  for (const auto& [arguments, wanted] : refused) {
    EXPECT_FALSE(quennetd::parseOptions(QStringList{"--port", "p"} + arguments, &error))
        << arguments.join(u' ').toStdString();
    EXPECT_TRUE(error.contains(QLatin1String(wanted))) << error.toStdString();
  }
}

// ---- a kiosk's bus -------------------------------------------------------------------------

// The most common kiosk: an encrypted CRC-16 validator beside an 8-bit coin acceptor and an 8-bit
// hopper on one line, each device framed as its own line in the configuration says, or as the
// service finds it at start. Notes and coins are credited with a coin acceptor answering BUSY
// and a validator that takes 1.5 s to come back from a reset on the way.
struct KioskRow {
  const char* name;
  QStringList options;
  bool found;  // the framings are found at start, and the log says what was found
  // The devices the search at start identified (asked their product code, which only the search
  // asks), in address order: never one whose framing is configured.
  const char* searched;
};
void PrintTo(const KioskRow& row, std::ostream* out) {
  *out << row.name;
}

class KioskBus : public ServiceTest, public ::testing::WithParamInterface<KioskRow> {
 protected:
  KioskBus() { search_ = true; }  // each row names its devices, or has them found
  QStringList lineOptions() override {
    return {"--device", "validator=encrypted:123456",
            "--device", "coin-acceptor=checksum8",
            "--device", "hopper=checksum8"};
  }
  // The addresses asked their product code (header 244) on the line, in the clear or encrypted,
  // in address order; and how many address polls (253) went out.
  std::pair<QString, int> searchedOnLine() {
    static const QRegularExpression clear(QStringLiteral(R"(host\s+dest (\d+) .* hdr (\d+) )"));
    static const QRegularExpression decrypted(
        QStringLiteral(R"(RX ([0-9A-F]{2}) [0-9A-F]{2} [0-9A-F]{2} ([0-9A-F]{2}).*\(decrypted\))"));
    std::set<int> asked;
    int polls = 0;
    for (const QString& line : QString::fromUtf8(devices_.readAllStandardError()).split(u'\n')) {
      int address = -1;
      int header = -1;
      if (const auto m = clear.match(line); m.hasMatch()) {
        address = m.captured(1).toInt();
        header = m.captured(2).toInt();
      } else if (const auto d = decrypted.match(line); d.hasMatch()) {
        address = d.captured(1).toInt(nullptr, 16);
        header = d.captured(2).toInt(nullptr, 16);
      }
      if (header == 244) asked.insert(address);
      if (header == 253) ++polls;
    }
    QStringList list;
    for (const int a : asked) list.append(QString::number(a));
    return {list.join(u','), polls};
  }
  // What the service logged so far.
  QString log() {
    log_ += QString::fromUtf8(service_.readAllStandardError());
    return log_;
  }
  QString log_;
};

TEST_P(KioskBus, NotesAndCoinsAreCreditedThroughBusyAndASlowReset) {
  service_.setProcessChannelMode(QProcess::SeparateChannels);
  startService(GetParam().options + QStringList{"--allow", "ResetDevice"});
  // The status that said the service was up with its three devices: each in its own framing.
  QStringList shown;
  for (const QJsonValue d : all(QStringLiteral("status"), 0).back().value("devices").toArray()) {
    const QJsonObject device = d.toObject();
    shown.append(QStringLiteral("%1 %2 %3")
                     .arg(device.value("address").toInt())
                     .arg(device.value("mode").toString(), device.value("state").toString()));
  }
  EXPECT_EQ(shown.join(u", "), QStringLiteral("2 checksum8 ok, 3 checksum8 ok, 40 encrypted ok"));
  if (GetParam().found) {
    ASSERT_TRUE(waitFor([&] { return log().contains(QLatin1String("devices found")); }));
    // Each device the search tried, and no other.
    const QStringList tried = QString::fromLatin1(GetParam().searched).split(u',');
    for (const char* found :
         {"40 encrypted: Bill Validator", "2 checksum8: Coin Acceptor", "3 checksum8: Payout"}) {
      const QString line = QLatin1String(found);
      EXPECT_EQ(log().contains(line), tried.contains(line.section(u' ', 0, 0)))
          << found << "\n"
          << log().toStdString();
    }
  } else {
    EXPECT_FALSE(log().contains(QLatin1String("devices found"))) << "nothing left to find";
  }
  // Every device is named: no address poll; only those whose framing is not configured are
  // tried, so nothing goes to a configured one before the service brings it up.
  const auto [searched, polls] = searchedOnLine();
  EXPECT_EQ(searched.toStdString(), GetParam().searched);
  EXPECT_EQ(polls, 0);

  // The coin acceptor answers BUSY to its next three polls: each is asked again, and it is never
  // taken for lost (three polls failed in a row would).
  console("busy 2 3");
  console("coin 8");
  console("insert 4");
  EXPECT_EQ(settle("notes 4:1; coins 8:1"), "notes 4:1; coins 8:1");

  // The validator acknowledges a reset, then is silent for 1.9 s: the consumer's next command to
  // it waits for it to answer a poll instead of timing out, and it takes notes again once
  // initialised.
  console("slowreset 40 1900");
  const qsizetype beforeReset = messages_.size();
  send(QStringLiteral("cmd"), R"({"id":"reset-1","method":"ResetDevice","address":40})");
  send(QStringLiteral("cmd"), R"({"id":"serial-1","method":"GetSerialNo","address":40})");
  for (const char* id : {"reset-1", "serial-1"}) {
    const auto reply = next(QStringLiteral("reply"), [id](const QJsonObject& r) {
      return r.value("id").toString() == QLatin1String(id);
    });
    ASSERT_TRUE(reply) << id;
    EXPECT_TRUE(reply->value("acknowledged").toBool())
        << id << ": " << reply->value("status").toString().toStdString();
  }
  // Its counter back at 0 is read once it answers: then it is initialised again.
  ASSERT_TRUE(waitFor([&] {
    const QList<QJsonObject> events = all(QStringLiteral("event"), beforeReset);
    return std::any_of(events.begin(), events.end(),
                       [](const QJsonObject& e) { return e.value("kind").toString() == u"reset"; });
  }));
  ASSERT_TRUE(masterInhibitBecomes(1)) << "the validator is not taking notes again";
  console("insert 2");
  console("coin 8");
  EXPECT_EQ(settle("notes 2:1 4:1; coins 8:2"), "notes 2:1 4:1; coins 8:2");
  EXPECT_EQ(deviceCounters(), "notes 2:1 4:1; coins 8:2");

  for (const QJsonObject& e : all(QStringLiteral("event"), 0)) {
    EXPECT_NE(e.value("text").toString(), QStringLiteral("Device not answering"))
        << "address " << e.value("address").toInt();
  }
  // Log and status agree: every status said each device answered, and so did every line.
  for (const QJsonObject& s : all(QStringLiteral("status"), 0)) {
    for (const QJsonValue d : s.value("devices").toArray()) {
      EXPECT_EQ(d.toObject().value("state").toString(), QStringLiteral("ok"));
    }
  }
  static const QRegularExpression counted(QStringLiteral(R"((\d+) device\(s\), (\d+) lost)"));
  int lines = 0;
  for (auto it = counted.globalMatch(log()); it.hasNext(); ++lines) {
    const auto m = it.next();
    EXPECT_EQ(m.captured(2), QStringLiteral("0")) << m.captured(0).toStdString();
  }
  EXPECT_GT(lines, 0) << log().toStdString();

  // The unit's stop command reaches each acceptor in its own framing: none takes money after.
  service_.kill();
  service_.waitForFinished();
  QProcess inhibit;
  inhibit.start(QStringLiteral(QUENNET_SERVICE),
                QStringList{"--inhibit", "--port", link()} + GetParam().options);
  ASSERT_TRUE(inhibit.waitForFinished(kLongWaitMs));
  EXPECT_EQ(inhibit.exitCode(), 0) << inhibit.readAllStandardError().toStdString();
  console("insert 2");
  console("coin 8");
  EXPECT_EQ(deviceCounters(), "notes 2:1 4:1; coins 8:2");
}

INSTANTIATE_TEST_SUITE_P(
    Framings, KioskBus,
    ::testing::Values(
        KioskRow{"configured",
                 {"--device", "40 crc16 key=123456 validator", "--device",
                  "2 checksum8 coin-acceptor", "--device", "3 checksum8 hopper"},
                 false,
                 ""},
        KioskRow{"found", {"--devices", "40,2,3", "--device", "40 key=123456"}, true, "2,3,40"},
        // The validator configured, the others found beside it.
        KioskRow{"foundBesideConfigured",
                 {"--device", "40 crc16 key=123456 validator", "--device", "2 coin-acceptor",
                  "--device", "3 hopper"},
                 true,
                 "2,3"},
        // The bus's framing for every device but those with a line of their own.
        KioskRow{"busFramingAndLines",
                 {"--key", "123456", "--devices", "40", "--device", "2 checksum8", "--device",
                  "3 checksum8"},
                 false,
                 ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- requests that move money --------------------------------------------------------------

class PayoutTest : public ServiceTest {
 protected:
  // The hopper's own count of coins paid out, from the simulator's console.
  int dispensed() {
    devices_.readAllStandardOutput();
    console("hopper");
    static const QRegularExpression count(QStringLiteral(R"(dispensed (\d+))"));
    while (devices_.canReadLine() || devices_.waitForReadyRead(kLongWaitMs)) {
      while (devices_.canReadLine()) {
        const auto m = count.match(QString::fromUtf8(devices_.readLine()));
        if (m.hasMatch()) return m.captured(1).toInt();
      }
    }
    return -1;
  }
  void restartAfterKill(const QStringList& extra) {
    if (service_.state() != QProcess::NotRunning) service_.kill();
    service_.waitForFinished();
    killAt_.clear();
    startService(extra);
  }
  // Books every payout once by its id and acknowledges it, as a consumer does; the coins booked.
  int book(qsizetype from) {
    for (const QJsonObject& p : all(QStringLiteral("payout"), from)) {
      const QString id = p.value("id").toString();
      if (!booked_.contains(id) && p.value("state").toString() == u"in-doubt") {
        doubt_ += p.value("requested").toInt();
        booked_.insert(id, 0);
      }
      if (!booked_.contains(id)) booked_.insert(id, p.value("paid").toInt());
      send(QStringLiteral("ack"), QJsonDocument(QJsonObject{{"id", id}}).toJson());
    }
    int coins = 0;
    for (const int paid : booked_) coins += paid;
    return coins;
  }
  std::optional<QJsonObject> replyTo(const QString& id, int ms = kLongWaitMs) {
    return next(
        QStringLiteral("reply"),
        [&](const QJsonObject& r) { return r.value("id").toString() == id; }, ms);
  }

  QMap<QString, int> booked_;
  int doubt_ = 0;  // coins of payouts booked in doubt
};

// One Dispense_Coins delivered twice, and again after a kill: paid once, answered alike each
// time. A refused dispense is not acknowledged and says nothing was paid.
TEST_F(PayoutTest, ADispenseDeliveredAgainPaysOnce) {
  const QStringList options = {"--allow", "Dispense_Coins,Enable_Hopper,Hopper_Stop"};
  startService(options);
  const int before = dispensed();
  send(QStringLiteral("cmd"), R"({"id":"on","address":3,"method":"Enable_Hopper","inputs":[]})");
  ASSERT_TRUE(replyTo(QStringLiteral("on")));
  const QByteArray twice = R"({"id":"d1","address":3,"method":"Dispense_Coins","inputs":[2]})";
  const qsizetype from = messages_.size();
  send(QStringLiteral("cmd"), twice);
  send(QStringLiteral("cmd"), twice);
  // Both answered, alike; the replies may come in one wake-up, so they are counted.
  const auto replies = [&] {
    QList<QJsonObject> list;
    for (const QJsonObject& r : all(QStringLiteral("reply"), from)) {
      if (r.value("id").toString() == u"d1") list.append(r);
    }
    return list;
  };
  ASSERT_TRUE(waitFor([&] { return replies().size() >= 2; }));
  const QJsonObject first = replies().front();
  EXPECT_EQ(replies().back(), first);
  EXPECT_TRUE(first.value("acknowledged").toBool());
  idle(300);
  EXPECT_EQ(dispensed() - before, 2);
  const QList<QJsonObject> payouts = all(QStringLiteral("payout"), from);
  ASSERT_EQ(payouts.size(), 1);
  EXPECT_EQ(payouts.front().value("request").toString(), QStringLiteral("d1"));
  EXPECT_EQ(payouts.front().value("paid").toInt(), 2);
  EXPECT_EQ(payouts.front().value("unpaid").toInt(), 0);

  // Killed and started again: the payout comes again until booked, the command never runs again.
  restartAfterKill(options);
  send(QStringLiteral("cmd"), twice);
  const auto third = replyTo(QStringLiteral("d1"));
  ASSERT_TRUE(third);
  EXPECT_EQ(*third, first);
  EXPECT_EQ(book(from), 2);
  EXPECT_EQ(dispensed() - before, 2);

  // A stopped hopper refuses: the reply says so, and the payout says no coin went out.
  send(QStringLiteral("cmd"), R"({"id":"off","address":3,"method":"Hopper_Stop","inputs":[]})");
  ASSERT_TRUE(replyTo(QStringLiteral("off")));
  const qsizetype refusedFrom = messages_.size();
  send(QStringLiteral("cmd"), R"({"id":"d2","address":3,"method":"Dispense_Coins","inputs":[1]})");
  const auto refused = replyTo(QStringLiteral("d2"));
  ASSERT_TRUE(refused);
  EXPECT_FALSE(refused->value("acknowledged").toBool());
  EXPECT_EQ(refused->value("outputs").toObject().value("Response").toString(),
            QStringLiteral("NACK"));
  const QList<QJsonObject> nothing = all(QStringLiteral("payout"), refusedFrom);
  ASSERT_EQ(nothing.size(), 1);
  EXPECT_EQ(nothing.front().value("paid").toInt(), 0);
  EXPECT_EQ(nothing.front().value("unpaid").toInt(), 1);
  EXPECT_EQ(book(refusedFrom), 2);
  EXPECT_EQ(dispensed() - before, 2);
}

// A hopper takes the code on its device line with a dispense: a number of its own, or its serial
// number. Given another code it refuses: nothing is paid or booked, the payout and the reply say
// the coins went unpaid, and the log says why a hopper may refuse.
TEST_F(PayoutTest, AHopperPaysOnlyWithItsOwnDispenseCode) {
  struct Row {
    const char* name;
    QStringList hopper;  // bnvsim's
    QStringList line;    // the service's
    bool pays;
  };
  const QList<Row> rows = {
      {"its serial number", {"--hopper-code", "serial"}, {"--device", "3 code=serial"}, true},
      {"a number of its own", {"--hopper-code", "4242"}, {"--device", "3 code=4242"}, true},
      {"the default code", {}, {}, true},
      {"the default code to a hopper taking its serial", {"--hopper-code", "serial"}, {}, false},
      {"the serial to a hopper with a fixed code", {}, {"--device", "3 code=serial"}, false},
      {"another number", {"--hopper-code", "4242"}, {"--device", "3 code=4243"}, false},
  };
  constexpr int kCoins = 3;
  service_.setProcessChannelMode(QProcess::SeparateChannels);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (QProcess* p : {&service_, &devices_}) {
      p->kill();
      p->waitForFinished();
    }
    startDevices(row.hopper + QStringList{"--hopper-rate", "0"});
    startService(row.line + QStringList{"--devices", "40,2,3", "--payout-hoppers", "3:100"});
    const int before = dispensed();
    const qsizetype from = messages_.size();
    const int booked = book(from);
    const QString id = QStringLiteral("code-%1").arg(&row - rows.data());
    send(QStringLiteral("cmd"), QStringLiteral(R"({"id":"%1","method":"pay","amount":%2})")
                                    .arg(id)
                                    .arg(100 * kCoins)
                                    .toUtf8());
    const auto answer = replyTo(id);
    ASSERT_TRUE(answer);
    const int paid = row.pays ? kCoins : 0;
    EXPECT_EQ(answer->value("paid").toInt(), 100 * paid);
    EXPECT_EQ(dispensed() - before, paid);
    const QList<QJsonObject> payouts = all(QStringLiteral("payout"), from);
    ASSERT_EQ(payouts.size(), 1);
    EXPECT_EQ(payouts.front().value("state").toString(), QStringLiteral("settled"));
    EXPECT_EQ(payouts.front().value("paid").toInt(), paid);
    EXPECT_EQ(payouts.front().value("unpaid").toInt(), kCoins - paid);
    EXPECT_EQ(book(from) - booked, paid) << "booked";
    const QString log = QString::fromUtf8(service_.readAllStandardError());
    EXPECT_EQ(log.contains(QLatin1String("hopper 3 refused to dispense 3 coin(s)")), !row.pays)
        << log.toStdString();
  }
}

// pay, killed at each point of a payout, then a jam: what the consumer books equals what the
// hopper counted out, and a request is never paid twice however often it is sent. Killed and
// another hopper put in its place (its count at 0, or another serial number), what was paid can
// no longer be told: the payout is published in doubt, never as paid.
TEST_F(PayoutTest, WhatIsBookedIsWhatTheHopperPaidThroughKillsAndJams) {
  const QStringList options = {"--payout-hoppers", "3:100"};
  struct Case {
    const char* killAt;   // empty: no kill
    int jamAfter;         // -1: no jam
    int coins;            // the hopper counted out
    const char* replace;  // after the kill: another hopper's serial ("" none); count 0 or as was
    bool keepCount;
  };
  const QList<Case> cases = {
      {"payout-before-journal", -1, 3, "", false},
      {"payout-after-journal", -1, 0, "", false},
      {"payout-after-dispense", -1, 3, "", false},
      {"payout-after-publish", -1, 3, "", false},
      {"", 1, 1, "", false},
      {"payout-after-dispense", -1, 3, "700301", false},
      {"payout-after-journal", -1, 0, "700999", true},
  };
  startService(options);
  int counted = 0;  // by every hopper that was in place
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.killAt[0] ? c.killAt : "jam") + " " + c.replace);
    const QString id = QStringLiteral("pay%1").arg(++round);
    const QByteArray pay =
        QStringLiteral(R"({"id":"%1","method":"pay","amount":370})").arg(id).toUtf8();
    const int before = dispensed();
    if (c.jamAfter >= 0)
      console(QStringLiteral("hopper jam %1").arg(c.jamAfter).toUtf8().constData());
    if (c.killAt[0]) {
      service_.kill();
      service_.waitForFinished();
      killAt_ = QString::fromLatin1(c.killAt);
      startService(options);
      send(QStringLiteral("cmd"), pay);
      ASSERT_TRUE(service_.waitForFinished(kLongWaitMs)) << "not killed";
      if (c.replace[0]) {
        counted += dispensed() - before;
        const int count = c.keepCount ? dispensed() : 0;
        console(QStringLiteral("hopper replace %1 %2").arg(c.replace).arg(count).toUtf8());
      }
      restartAfterKill(options);
    }
    // The consumer sends again what it has no answer to, with the same id.
    send(QStringLiteral("cmd"), pay);
    const auto answer = replyTo(id);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->value("amount").toInt(), 370);
    const int paid = c.replace[0] ? 0 : c.coins;
    EXPECT_EQ(answer->value("paid").toInt(), 100 * paid);
    EXPECT_EQ(answer->value("inDoubt").toInt(), c.replace[0] ? 300 : 0);
    EXPECT_EQ(answer->value("unpaid").toInt(), 70 + (c.replace[0] ? 0 : 300 - 100 * c.coins));
    idle(300);
    if (!c.replace[0]) counted += dispensed() - before;
    // Booked: what every hopper counted out, but what is in doubt.
    const int bookedCoins = book(0);
    EXPECT_LE(bookedCoins, counted);
    EXPECT_LE(counted, bookedCoins + doubt_);
  }
  EXPECT_EQ(doubt_, 6) << "two payouts of three coins in doubt";
  EXPECT_EQ(book(0), counted - 3) << "the three the first hopper paid before it went";
  // Booked and acknowledged: nothing comes again after a restart.
  idle(300);
  const qsizetype quiet = messages_.size();
  restartAfterKill(options);
  idle(kQuietMs);
  EXPECT_TRUE(all(QStringLiteral("payout"), quiet).isEmpty());

  // What is not acknowledged, and the sums since a time: what was paid, not what is in doubt.
  console("insert 2");
  ASSERT_TRUE(next(QStringLiteral("credit")));
  send(QStringLiteral("cmd"), R"({"id":"q","method":"query","since":"2000-01-01T00:00:00Z"})");
  const auto asked = replyTo(QStringLiteral("q"));
  ASSERT_TRUE(asked);
  const QJsonObject open = asked->value("unacknowledged").toObject();
  EXPECT_EQ(open.value("credits").toInt(), 1);
  EXPECT_EQ(open.value("payouts").toInt(), 0);
  EXPECT_EQ(open.value("creditList").toArray().at(0).toObject().value("value").toInteger(), 1000);
  const QJsonObject totals = asked->value("totals").toObject();
  EXPECT_EQ(totals.value("creditValue").toInteger(), 1000);
  EXPECT_EQ(totals.value("coinsPaid").toInt(), book(0));
  EXPECT_EQ(totals.value("paidValue").toInteger(), 100 * book(0));
}

// A hopper that pays six coins a second is followed to its last coin: progress as its status
// moves, the request answered once the coins are out. Ended early by an emergency stop (answered
// at once, not after the payout it stops) or a power cycle, or the service killed while it pays
// (the hopper power-cycled meanwhile, or not): the consumer books what the hopper's own count
// says, and a restart settles the part from that count without a dispense sent again. A
// Dispense_Coins sent while pay is paying waits for it, so the hopper never refuses it.
TEST_F(PayoutTest, AHopperPayingOverTimeIsFollowedToItsLastCoin) {
  const QStringList options = {"--payout-hoppers", "3:100", "--allow",
                               "Dispense_Coins,Hopper_Stop"};
  enum class Cut { None, Stop, PowerCycle, Kill, KillAndPowerCycle };
  struct Case {
    const char* name;
    Cut cut;
  };
  const QList<Case> cases = {{"paid in full", Cut::None},
                             {"emergency stop", Cut::Stop},
                             {"power cycle", Cut::PowerCycle},
                             {"killed", Cut::Kill},
                             {"killed, power cycle while down", Cut::KillAndPowerCycle}};
  constexpr int kCoins = 25;  // four seconds at six a second
  startService(options);
  const int start = dispensed();
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString id = QStringLiteral("slow%1").arg(++round);
    const QByteArray pay = QStringLiteral(R"({"id":"%1","method":"pay","amount":%2})")
                               .arg(id)
                               .arg(100 * kCoins)
                               .toUtf8();
    const auto ofRequest = [&](const QString& topic, qsizetype from) {
      QList<QJsonObject> list;
      for (const QJsonObject& o : all(topic, from)) {
        if (o.value("request").toString() == id) list.append(o);
      }
      return list;
    };
    const bool kill = c.cut == Cut::Kill || c.cut == Cut::KillAndPowerCycle;
    if (kill) {
      service_.kill();
      service_.waitForFinished();
      killAt_ = QStringLiteral("payout-while-paying");
      startService(options);
    }
    const int before = dispensed();
    framesSent();  // what went before this round
    const qsizetype from = messages_.size();
    send(QStringLiteral("cmd"), pay);
    if (c.cut == Cut::None) {
      send(QStringLiteral("cmd"),
           R"({"id":"after","address":3,"method":"Dispense_Coins","inputs":[1]})");
    }
    // Killed as it publishes its first progress, the service may not get it out: it ends instead.
    if (!kill) {
      const auto first = next(QStringLiteral("progress"), [&](const QJsonObject& o) {
        return o.value("request").toString() == id;
      });
      ASSERT_TRUE(first) << "no progress while paying";
      EXPECT_EQ(first->value("requested").toInt(), kCoins);
      EXPECT_GT(first->value("remaining").toInt(), 0);
      EXPECT_EQ(first->value("paid").toInt() + first->value("remaining").toInt(), kCoins);
    }
    switch (c.cut) {
      case Cut::None:
        break;
      case Cut::Stop:
        send(QStringLiteral("cmd"),
             R"({"id":"stop","address":3,"method":"Hopper_Stop","inputs":[]})");
        break;
      case Cut::PowerCycle:
        console("reset");
        break;
      case Cut::Kill:
      case Cut::KillAndPowerCycle:
        ASSERT_TRUE(service_.waitForFinished(kLongWaitMs)) << "not killed while paying";
        if (c.cut == Cut::KillAndPowerCycle) console("reset");
        restartAfterKill(options);
        // The consumer asks again what it has no answer to.
        send(QStringLiteral("cmd"), pay);
        break;
    }
    const auto answer = replyTo(id);
    ASSERT_TRUE(answer);
    if (c.cut == Cut::Stop) {
      // The stop was answered while the payout ran, not queued behind it.
      bool stopFirst = false;
      for (qsizetype k = from; k < messages_.size(); ++k) {
        const QJsonObject& r = messages_[k].body;
        if (messages_[k].topic != u"reply") continue;
        if (r.value("id").toString() == u"stop") stopFirst = r.value("acknowledged").toBool();
        if (r.value("id").toString() == id) break;
      }
      EXPECT_TRUE(stopFirst) << "the stop was not answered before the payout ended";
    }
    if (c.cut == Cut::None) {
      const auto after = replyTo(QStringLiteral("after"));
      ASSERT_TRUE(after);
      EXPECT_TRUE(after->value("acknowledged").toBool()) << "dispensed while the hopper paid";
    }
    idle(300);
    const int counted = dispensed() - before - (c.cut == Cut::None ? 1 : 0);
    // One dispense a request: none sent again after a restart.
    EXPECT_EQ(framesSent().count(QStringLiteral("3/167")), c.cut == Cut::None ? 2 : 1);
    const QList<QJsonObject> payouts = ofRequest(QStringLiteral("payout"), from);
    ASSERT_FALSE(payouts.isEmpty());
    for (const QJsonObject& p : payouts) {
      EXPECT_EQ(p.value("state").toString(), QStringLiteral("settled"));
      EXPECT_EQ(p.value("paid").toInt(), counted);
      EXPECT_EQ(p.value("unpaid").toInt(), kCoins - counted);
    }
    EXPECT_EQ(answer->value("paid").toInt(), 100 * counted);
    if (c.cut == Cut::None || c.cut == Cut::Kill) {
      EXPECT_EQ(counted, kCoins);
    } else {
      EXPECT_LT(counted, kCoins) << "the cut did not stop the hopper";
    }
    // Progress counts up, never past what went out, and never says the payout is over.
    int lastPaid = 0;
    for (const QJsonObject& p : ofRequest(QStringLiteral("progress"), from)) {
      EXPECT_EQ(p.value("id"), payouts.front().value("id"));
      EXPECT_GE(p.value("paid").toInt(), lastPaid);
      EXPECT_LE(p.value("paid").toInt(), counted);
      EXPECT_GT(p.value("remaining").toInt(), 0);
      lastPaid = p.value("paid").toInt();
    }
    // What the consumer books is what the hopper counted out, over every round.
    EXPECT_EQ(book(0), dispensed() - start);
  }
}

// What is acknowledged or answered is kept for the retention period by the journal's own clock,
// whatever the wall clock does: after the wall clock jumps 200 days on, a request id is still
// answered with its stored reply and nothing is paid. Once the journal's clock is past the
// retention, the acknowledged credit and the answered request are gone (an unacknowledged credit
// stays); the id paid again gets a payout whose id was never used before.
TEST_F(PayoutTest, RetentionGoesByTheJournalsClockAndPayoutIdsAreNeverReused) {
  const QStringList options = {"--payout-hoppers", "3:100", "--retention-days", "5"};
  startService(options);
  const int before = dispensed();
  const QByteArray pay = R"({"id":"p1","method":"pay","amount":200})";
  send(QStringLiteral("cmd"), pay);
  const auto first = replyTo(QStringLiteral("p1"));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->value("paid").toInt(), 200);
  for (const char* note : {"insert 2", "insert 3"}) {
    console(note);
    ASSERT_TRUE(next(QStringLiteral("credit")));
  }
  const QJsonObject booked = all(QStringLiteral("credit"), 0).front();
  send(QStringLiteral("ack"), QJsonDocument(QJsonObject{{"id", booked.value("id")}}).toJson());
  EXPECT_EQ(book(0), 2);
  idle(500);
  const auto credits = [this](const QString& id) {
    send(QStringLiteral("cmd"),
         QJsonDocument(
             QJsonObject{{"id", id}, {"method", "query"}, {"since", "2000-01-01T00:00:00Z"}})
             .toJson());
    const auto r = replyTo(id);
    if (!r) return -1;
    // A note journalled but never credited is no credit: neither listed nor counted.
    const QJsonObject open = r->value("unacknowledged").toObject();
    EXPECT_EQ(open.value("credits").toInt(), 1);
    for (const QJsonValue& c : open.value("creditList").toArray())
      EXPECT_FALSE(c.toObject().value("id").toString().isEmpty());
    return r->value("totals").toObject().value("credits").toInt();
  };
  const QString wallAgo = QStringLiteral("'2026-05-01T00:00:00.000Z'");
  struct Row {
    const char* what;
    QStringList statements;
    bool forgotten;
  };
  const Row rows[] = {
      {"the wall clock 200 days on",
       {"UPDATE credit SET recorded = " + wallAgo + ", acked = " + wallAgo +
            " WHERE acked IS NOT NULL",
        "UPDATE payout SET recorded = " + wallAgo + ", settled = " + wallAgo +
            ", acked = " + wallAgo,
        "UPDATE request SET recorded = " + wallAgo,
        "INSERT INTO credit (id, payload, recorded, device, state) VALUES ('a-pending-note', '', " +
            wallAgo + ", '40/none', 'pending')"},
       false},
      {"the journal's clock 6 days on",
       {"INSERT OR REPLACE INTO meta (key, value) VALUES ('clock', COALESCE((SELECT value FROM "
        "meta WHERE key = 'clock'), 0) + 518400000)"},
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    service_.kill();
    service_.waitForFinished();
    {
      QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("e"));
      db.setDatabaseName(dir_.filePath(QStringLiteral("journal")));
      ASSERT_TRUE(db.open());
      QSqlQuery q(db);
      for (const QString& statement : row.statements)
        ASSERT_TRUE(q.exec(statement)) << q.lastError().text().toStdString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("e"));
    startService(options);
    EXPECT_EQ(credits(QStringLiteral("q-") + QLatin1String(row.what)), row.forgotten ? 1 : 2);
    const qsizetype from = messages_.size();
    send(QStringLiteral("cmd"), pay);
    const auto again = replyTo(QStringLiteral("p1"));
    ASSERT_TRUE(again);
    idle(300);
    if (!row.forgotten) {
      EXPECT_EQ(*again, *first);
      EXPECT_EQ(dispensed() - before, 2);
      continue;
    }
    EXPECT_EQ(again->value("paid").toInt(), 200);
    EXPECT_EQ(dispensed() - before, 4);
    const QList<QJsonObject> payouts = all(QStringLiteral("payout"), from);
    ASSERT_EQ(payouts.size(), 1);
    EXPECT_NE(payouts.front().value("id"), first->value("payouts").toArray().at(0));
    EXPECT_EQ(book(0), 4) << "a consumer that books by id books both";
  }
}

// A route names the note it means: a stale "stack" for a note given back does not stack the next
// customer's; a route asked again gets its first answer.
TEST_F(ServiceTest, ARouteForAnEarlierNoteDoesNotRouteTheNext) {
  startService({"--escrow", "hold", "--escrow-timeout-ms", "60000"});
  const auto route = [this](const QString& id, const QString& escrow, const char* action) {
    send(QStringLiteral("route"),
         QJsonDocument(QJsonObject{{"id", id}, {"escrow", escrow}, {"action", action}}).toJson());
    return next(QStringLiteral("reply"),
                [&](const QJsonObject& r) { return r.value("id").toString() == id; });
  };
  const qsizetype from = messages_.size();
  console("insert 4");
  const auto first = next(QStringLiteral("escrow"));
  ASSERT_TRUE(first);
  const QString firstNote = first->value("id").toString();
  const auto back = route(QStringLiteral("r1"), firstNote, "return");
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->value("acknowledged").toBool());
  // The poll that sees the note given back may publish before the route's reply does.
  ASSERT_TRUE(waitFor([&] {
    for (const QJsonObject& e : all(QStringLiteral("event"), from)) {
      if (e.value("text").toString() == u"Note Returned") return true;
    }
    return false;
  }));
  console("insert 1");
  const auto second = next(QStringLiteral("escrow"));
  ASSERT_TRUE(second);
  ASSERT_NE(second->value("id").toString(), firstNote);
  const auto stale = route(QStringLiteral("r2"), firstNote, "stack");
  ASSERT_TRUE(stale);
  EXPECT_EQ(stale->value("error").toString(), QStringLiteral("escrow changed"));
  idle(500);
  EXPECT_TRUE(all(QStringLiteral("credit"), from).isEmpty());
  EXPECT_EQ(deviceCounters(), "notes ; coins") << "a note stacked";

  const auto take = route(QStringLiteral("r3"), second->value("id").toString(), "stack");
  ASSERT_TRUE(take);
  EXPECT_TRUE(take->value("acknowledged").toBool());
  // The credit may come before the reply: it is looked for among everything since the start.
  ASSERT_TRUE(waitFor([&] { return !all(QStringLiteral("credit"), from).isEmpty(); }));
  EXPECT_EQ(all(QStringLiteral("credit"), from).front().value("code").toString(),
            QStringLiteral("GB0005A"));
  const auto again = route(QStringLiteral("r3"), second->value("id").toString(), "stack");
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *take);

  // A route's id is its own: one a cmd request used is another request, and 7 is not "7".
  send(QStringLiteral("cmd"), R"({"id":7,"address":3,"method":"Hopper_Stop","inputs":[]})");
  ASSERT_TRUE(
      next(QStringLiteral("reply"), [](const QJsonObject& r) { return r.value("id") == 7; }));
  console("insert 2");
  const auto third = next(QStringLiteral("escrow"));
  ASSERT_TRUE(third);
  for (const QJsonValue& id : {QJsonValue(7), QJsonValue("7")}) {
    send(
        QStringLiteral("route"),
        QJsonDocument(QJsonObject{{"id", id}, {"escrow", third->value("id")}, {"action", "return"}})
            .toJson());
    const auto answer =
        next(QStringLiteral("reply"), [&](const QJsonObject& r) { return r.value("id") == id; });
    ASSERT_TRUE(answer);
    if (id.isString()) {
      // The note went back with the first: a route of its own, not the first one's answer.
      EXPECT_EQ(answer->value("error").toString(), QStringLiteral("escrow changed"));
    } else {
      EXPECT_EQ(answer->value("escrow"), third->value("id")) << "given the cmd request's answer";
    }
  }
  EXPECT_EQ(all(QStringLiteral("credit"), from).size(), 1);
  EXPECT_EQ(deviceCounters(), "notes 1:1; coins");
}

}  // namespace
