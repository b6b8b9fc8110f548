// The bus client on the virtual validator's bus: several callers and devices at once, priorities,
// a long stacker cycle, and a port that closes or disappears under queued requests.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <QElapsedTimer>

#include "bus/bus_fixture.h"
#include "quennet/commands/dispatch.h"
#include "quennet/link/quennet_error.h"
#include "quennet/quennet.h"
#include "support/pty_pair.h"
#include "support/reply_frames.h"
#include "tools/cli_runner.h"

namespace quennet {
namespace {

struct Expected {
  const char* method;
  std::map<quint8, QString> strResponse;  // per device
};

const std::vector<Expected> kCycle = {
    {"GetSerialNo", {{kValidator, "8902162"}, {kCoinAcceptor, "11626502"}, {kHopper, "9285386"}}},
    {"GetProductCode", {{kValidator, "QBV1"}, {kCoinAcceptor, "QCA1"}, {kHopper, "QHP1"}}},
    {"GetEqptID",
     {{kValidator, "Bill Validator"}, {kCoinAcceptor, "Coin Acceptor"}, {kHopper, "Payout"}}},
    {"SendPoll", {{kValidator, "ACK"}, {kCoinAcceptor, "ACK"}, {kHopper, "ACK"}}},
};

TEST_F(BusOnSimulator, ThreeCallersThreeDevicesEachReplyAnswersItsOwnRequest) {
  constexpr int kPerCaller = 24;
  const int framesBefore = sim_.framesReceived();
  std::map<quint8, std::vector<int>> completed;  // per device, the send numbers in finish order
  std::vector<QString> wrong;
  int finished = 0;

  // Each caller is a timer of its own pace that sends to its own device from this thread.
  std::vector<std::unique_ptr<QTimer>> callers;
  for (const auto& [device, intervalMs] :
       std::vector<std::pair<quint8, int>>{{kValidator, 1}, {kCoinAcceptor, 2}, {kHopper, 3}}) {
    auto timer = std::make_unique<QTimer>();
    auto sent = std::make_shared<int>(0);
    // device = device: clang 14 cannot capture a structured binding.
    QObject::connect(timer.get(), &QTimer::timeout, [&, device = device, sent, t = timer.get()] {
      const int number = (*sent)++;
      if (*sent == kPerCaller) t->stop();
      const Expected& expected = kCycle[static_cast<std::size_t>(number) % kCycle.size()];
      BusReply* reply = client_.invoke(device, QString::fromLatin1(expected.method));
      QObject::connect(reply, &BusReply::finished, [&, reply, device, number, expected] {
        ++finished;
        completed[device].push_back(number);
        const QString got = reply->outputs().value(QStringLiteral("strResponse")).toString();
        if (reply->result() != kResultOk || got != expected.strResponse.at(device)) {
          wrong.push_back(QStringLiteral("%1 to %2: result %3 (%4), %5")
                              .arg(expected.method)
                              .arg(device)
                              .arg(reply->result())
                              .arg(reply->caption(), got));
        }
        reply->deleteLater();
      });
    });
    timer->start(intervalMs);
    callers.push_back(std::move(timer));
  }

  ASSERT_TRUE(runUntil([&] { return finished == 3 * kPerCaller; }, 20000)) << finished;
  EXPECT_TRUE(wrong.empty()) << wrong.front().toStdString();
  for (const auto& [device, order] : completed) {
    ASSERT_EQ(order.size(), static_cast<std::size_t>(kPerCaller));
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << "device " << int(device);
  }
  // One whole frame on the wire per request: nothing overlapped, nothing was sent twice.
  EXPECT_EQ(sim_.framesReceived() - framesBefore, 3 * kPerCaller);
  EXPECT_EQ(client_.pendingRequests(), 0);
}

TEST_F(BusOnSimulator, RawFramesKeysAndMisuse) {
  BusReply* raw = client_.sendRequest(kValidator, 242);  // serial number
  ASSERT_TRUE(runUntil([&] { return raw->isFinished(); }));
  EXPECT_EQ(raw->result(), kResultOk) << raw->caption().toStdString();
  EXPECT_EQ(raw->sent(), QByteArray::fromHex("28003af2e0"));
  EXPECT_EQ(raw->reply(), QByteArray::fromHex("01034a0087d61298"));
  EXPECT_EQ(raw->data(), QByteArray::fromHex("87d612"));
  EXPECT_EQ(raw->caption(), QStringLiteral("OK"));
  delete raw;

  // Settings travel with each request: encryption with the key set before it was sent.
  bnvsim::LineOptions line = sim_.lineOptions();
  line.encryption = true;
  sim_.setLineOptions(line);
  client_.setKeyCode(0x406285);  // the digits 582604, first digit least significant
  client_.setEncryption(true);
  std::unique_ptr<BusReply> id(client_.invoke(kValidator, QStringLiteral("GetManfctrID")));
  client_.setEncryption(false);
  ASSERT_TRUE(runUntil([&] { return id->isFinished(); }));
  EXPECT_EQ(id->outputs().value(QStringLiteral("strResponse")).toString(), QStringLiteral("QNT"));

  // Misuse is raised in the caller's thread and nothing goes out.
  const int frames = sim_.framesReceived();
  for (const char* misuse : {"NoSuchMethod", "RouteBill"}) {
    try {
      std::unique_ptr<BusReply> taken(client_.invoke(kValidator, QString::fromLatin1(misuse)));
      ADD_FAILURE() << misuse << " was queued";
    } catch (const QuennetError& error) {
      ADD_FAILURE() << misuse << " raised the control's error " << error.number();
    } catch (const MisuseError&) {
    }
  }
  EXPECT_THROW(client_.invoke(kValidator, QStringLiteral("SetInhibitStatus"), {"255"}),
               QuennetError);
  EXPECT_THROW(client_.sendRequest(kValidator, 1, QByteArray(252, '\0')), QuennetError);
  EXPECT_THROW(client_.setCallGuard({kMaxBusyRetries + 1, 0, 0}), QuennetError);
  EXPECT_THROW(client_.setCallGuard({0, 0, -1}), QuennetError);
  EXPECT_EQ(sim_.framesReceived(), frames);
  EXPECT_EQ(client_.callGuard().busyRetries, 0);
  EXPECT_EQ(client_.callGuard().resetWaitMs, kDefaultResetWaitMs);

  // A raw frame answered BUSY goes out again as often as set; a raw reset is waited for too.
  line.encryption = false;
  sim_.setLineOptions(line);
  client_.setCallGuard({2, 10, kDefaultResetWaitMs});
  ASSERT_TRUE(sim_.setBusyReplies(kHopper, 2));
  ASSERT_TRUE(sim_.setResetSilence(kHopper, 300));
  std::unique_ptr<BusReply> busy(client_.sendRequest(kHopper, 254));
  std::unique_ptr<BusReply> reset(client_.sendRequest(kHopper, 1));
  std::unique_ptr<BusReply> after(client_.invoke(kHopper, QStringLiteral("GetSerialNo")));
  ASSERT_TRUE(runUntil([&] { return after->isFinished(); }));
  EXPECT_EQ(busy->result(), kResultOk);
  EXPECT_EQ(reset->result(), kResultOk);
  EXPECT_EQ(after->result(), kResultOk) << after->caption().toStdString();
  EXPECT_GT(sim_.framesReceived(), frames + 6) << "three polls, the reset and polls after it";
}

TEST_F(BusOnSimulator, UrgentRequestOvertakesPollsQueuedBehindAStackerCycle) {
  QTimer caller;  // the caller's own 10 ms timer must keep ticking through the cycle
  QElapsedTimer sinceTick;
  qint64 longestGap = 0;
  QObject::connect(&caller, &QTimer::timeout,
                   [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
  caller.start(10);
  sinceTick.start();

  std::vector<std::string> order;
  const auto track = [&](BusReply* reply, const std::string& name) {
    QObject::connect(reply, &BusReply::finished, [&order, name] { order.push_back(name); });
    return std::unique_ptr<BusReply>(reply);
  };
  QElapsedTimer clock;
  clock.start();
  const int frames = sim_.framesReceived();
  auto cycle = track(client_.invoke(kValidator, QStringLiteral("CycleStacker")), "cycle");
  ASSERT_TRUE(runUntil([&] { return sim_.framesReceived() > frames; }));  // on the line
  auto hopper = track(client_.invoke(kHopper, QStringLiteral("SendPoll")), "hopper");
  auto coin = track(client_.sendRequest(kCoinAcceptor, 254), "coin");
  auto route =
      track(client_.invoke(kValidator, QStringLiteral("RouteBill"), {1}, BusClient::Priority::High),
            "route");
  ASSERT_TRUE(runUntil([&] { return order.size() == 4; }, 10000));
  EXPECT_EQ(order, (std::vector<std::string>{"cycle", "route", "hopper", "coin"}));
  // The cycle takes the device a second; queued requests still get their full reply time.
  EXPECT_GE(clock.elapsed(), bnvsim::kStackerCycleMs);
  for (const auto* reply : {cycle.get(), hopper.get(), coin.get(), route.get()}) {
    EXPECT_EQ(reply->result(), kResultOk) << reply->caption().toStdString();
  }
  // A blocked caller would have missed every tick of the second-long cycle.
  EXPECT_LT(longestGap, 500);
}

TEST_F(BusOnSimulator, CloseFailsQueuedRequestsAtOnceAndWakesTheOneOnTheLine) {
  QList<int> errors;
  QObject::connect(&client_, &BusClient::errorOccurred,
                   [&errors](int number) { errors.append(number); });
  const int frames = sim_.framesReceived();
  std::unique_ptr<BusReply> cycle(client_.invoke(kValidator, QStringLiteral("CycleStacker")));
  std::vector<std::unique_ptr<BusReply>> queued;
  for (int i = 0; i < 3; ++i) queued.emplace_back(client_.sendRequest(kHopper, 254));
  ASSERT_TRUE(runUntil([&] { return sim_.framesReceived() > frames; }));  // on the line
  // A call still queued is withdrawn: never sent, never answered, not even by the close.
  std::atomic<int> answered{0};
  const auto count = [&answered](const BusResult&, bool) { ++answered; };
  const std::uint64_t ticket = client_.call(kValidator, QStringLiteral("SendPoll"), {}, count);
  EXPECT_TRUE(client_.withdraw(ticket));
  EXPECT_FALSE(client_.withdraw(ticket));
  QElapsedTimer clock;
  clock.start();
  client_.close();
  for (const auto& reply : queued) {
    EXPECT_TRUE(reply->isFinished());
    EXPECT_EQ(reply->result(), kResultNotEnabled);
    EXPECT_EQ(reply->caption(), QStringLiteral("Port closed"));
  }
  ASSERT_TRUE(runUntil([&] { return cycle->isFinished(); }));
  EXPECT_LT(clock.elapsed(), bnvsim::kStackerCycleMs / 2) << "the wait was not woken";
  EXPECT_EQ(cycle->result(), kResultNotEnabled);
  EXPECT_TRUE(errors.isEmpty()) << "a deliberate close is no error";

  // Closed: a request finishes at once, and its signal still reaches a late connection.
  std::unique_ptr<BusReply> refused(client_.sendRequest(kValidator, 254));
  EXPECT_TRUE(refused->isFinished());
  bool signalled = false;
  QObject::connect(refused.get(), &BusReply::finished, [&] { signalled = true; });
  EXPECT_TRUE(runUntil([&] { return signalled; }, 1000));

  // Open again at once: the old port's close must not reach the new one.
  ASSERT_TRUE(client_.open());
  std::unique_ptr<BusReply> poll(client_.sendRequest(kValidator, 254));
  ASSERT_TRUE(runUntil([&] { return poll->isFinished(); }));
  EXPECT_EQ(poll->result(), kResultOk) << poll->caption().toStdString();
  EXPECT_EQ(sim_.framesReceived(), frames + 2) << "the cycle and the poll, nothing withdrawn";

  // A call that has gone out is the line's: it cannot be withdrawn, and it is answered.
  const std::uint64_t sent = client_.call(kValidator, QStringLiteral("SendPoll"), {}, count);
  ASSERT_TRUE(runUntil([&] { return answered.load() == 1; }));
  EXPECT_FALSE(client_.withdraw(sent));
}

TEST_F(BusOnSimulator, PulledPortFailsEveryQueuedRequestThenOpensAgain) {
  QList<int> errors;
  QObject::connect(&client_, &BusClient::errorOccurred,
                   [&errors](int number) { errors.append(number); });
  const int frames = sim_.framesReceived();
  std::vector<std::unique_ptr<BusReply>> replies;
  replies.emplace_back(client_.invoke(kValidator, QStringLiteral("CycleStacker")));
  for (int i = 0; i < 5; ++i) {
    replies.emplace_back(
        client_.invoke(i % 2 ? kHopper : kCoinAcceptor, QStringLiteral("SendPoll")));
  }
  ASSERT_TRUE(runUntil([&] { return sim_.framesReceived() > frames; }));  // on the line
  sim_.stop();  // the adapter is pulled out while the cycle waits
  ASSERT_TRUE(runUntil([&] {
    return std::all_of(replies.begin(), replies.end(),
                       [](const auto& r) { return r->isFinished(); });
  }));
  for (const auto& reply : replies) EXPECT_EQ(reply->result(), kResultNotEnabled);
  EXPECT_TRUE(replies.front()->caption().startsWith(QStringLiteral("Comms Error")))
      << replies.front()->caption().toStdString();
  EXPECT_EQ(client_.state(), BusClient::UnconnectedState);
  ASSERT_EQ(errors.size(), 1);
  EXPECT_EQ(errors.front(), client_.errorNumber());
  EXPECT_NE(errors.front(), 0);
  EXPECT_EQ(client_.pendingRequests(), 0);

  ASSERT_TRUE(sim_.start());
  client_.setPortName(sim_.slavePath());
  ASSERT_TRUE(client_.open()) << client_.errorString().toStdString();
  std::unique_ptr<BusReply> poll(client_.invoke(kHopper, QStringLiteral("SendPoll")));
  ASSERT_TRUE(runUntil([&] { return poll->isFinished(); }));
  EXPECT_EQ(poll->result(), kResultOk) << poll->caption().toStdString();
}

// A kiosk's bus: the validator encrypted on CRC-16, the coin acceptor and the hopper on the 8-bit
// checksum. Each request goes out in the framing of the device it is for.
TEST(BusClient, EachDeviceIsAskedInItsOwnFramingOnOneLine) {
  bnvsim::SimulatorOptions kiosk;
  kiosk.coinAcceptor = true;
  kiosk.hopper = true;
  kiosk.validatorFraming = bnvsim::Framing{true, true, QStringLiteral("123456")};
  kiosk.coinAcceptorFraming = bnvsim::Framing{false, false, {}};
  kiosk.hopperFraming = bnvsim::Framing{false, false, {}};
  bnvsim::Simulator sim(kiosk);
  QString error;
  ASSERT_TRUE(sim.start(&error)) << error.toStdString();
  BusClient client;
  client.setPortName(sim.slavePath());
  client.setCommsEcho(true);
  ASSERT_TRUE(client.open());
  const auto serials = [&] {
    QStringList labels;
    std::vector<std::unique_ptr<BusReply>> replies;
    for (const quint8 address : {kCoinAcceptor, kHopper, kValidator}) {
      replies.emplace_back(client.invoke(address, QStringLiteral("GetSerialNo")));
    }
    EXPECT_TRUE(runUntil([&] { return replies.back()->isFinished(); }, 10000));
    for (const auto& reply : replies) {
      labels << (reply->result() == kResultOk ? reply->busResult().serial
                                              : QString::number(reply->result()));
    }
    return labels;
  };
  EXPECT_EQ(serials(), (QStringList{"2", "2", "2"})) << "the bus's CRC-16 in the clear: no answer";
  client.setDeviceLink(kCoinAcceptor, {CHKSM_8BIT, std::nullopt});
  client.setDeviceLink(kHopper, {CHKSM_8BIT, std::nullopt});
  client.setDeviceLink(kValidator, {CHKSM_16BIT, 0x654321});  // the digits 123456
  EXPECT_EQ(serials(), (QStringList{"420017", "700301", "1234567"}));
  ASSERT_TRUE(client.deviceLink(kValidator).has_value());
  EXPECT_EQ(client.deviceLink(kValidator)->keyCode, 0x654321);
  client.clearDeviceLink(kHopper);
  EXPECT_FALSE(client.deviceLink(kHopper).has_value());
  EXPECT_EQ(serials(), (QStringList{"420017", "2", "1234567"}));
  EXPECT_THROW(client.setDeviceLink(kHopper, {CHKSM_8BIT, 0x654321}), QuennetError);
  EXPECT_THROW(client.setDeviceLink(kHopper, {CHKSM_16BIT, -1}), QuennetError);
}

// Each way a request can end, from a device on a pseudo-terminal that answers as the row says:
// the Failure a caller branches on (never None unless the device accepted), and what the same
// answer makes of a call through the C interface and of the tool's exit status.
TEST(BusClient, EveryOutcomeHasItsFailureAndTheSameAtEveryBoundary) {
  struct Row {
    const char* what;
    QByteArray answer;   // to every frame; empty: silence
    const char* method;  // nullptr: a raw simple poll (SendPoll through the C interface and tool)
    QStringList inputs;
    int result;
    Failure error;
    int capiCode;              // quennet_call's return; QUENNET_OK: the result is in the reply
    int exitStatus;            // the tool's
    bool missingPort = false;  // the row's port does not exist
    bool raised = false;       // the bus client raises it (a MisuseError) rather than reply
  };
  QByteArray corrupt = testframes::reply(0, {}, false);
  corrupt[corrupt.size() - 1] = char(corrupt.back() + 1);
  const QByteArray ack = testframes::reply(0, {}, false);
  const std::vector<Row> rows = {
      {"ACK", ack, nullptr, {}, kResultOk, Failure::None, QUENNET_OK, cli::kExitOk},
      {"data",
       testframes::reply(0, {'Q', 'N', 'T'}, false),
       "GetManfctrID",
       {},
       kResultOk,
       Failure::None,
       QUENNET_OK,
       cli::kExitOk},
      // Sends nothing: the ACK to the frame before is no answer to it.
      {"ModifyBillID",
       ack,
       "ModifyBillID",
       {},
       kResultOk,
       Failure::NothingSent,
       QUENNET_OK,
       cli::kExitNothingSent},
      {"NAK",
       testframes::reply(5, {}, false),
       nullptr,
       {},
       kResultOk,
       Failure::Refused,
       QUENNET_OK,
       cli::kExitRefused},
      {"BUSY",
       testframes::reply(6, {}, false),
       nullptr,
       {},
       kResultBusy,
       Failure::Busy,
       QUENNET_OK,
       cli::kExitResult},
      {"silence", {}, nullptr, {}, kResultTimeout, Failure::Timeout, QUENNET_OK, cli::kExitResult},
      {"bad checksum",
       corrupt,
       nullptr,
       {},
       kResultChecksum,
       Failure::Checksum,
       QUENNET_OK,
       cli::kExitResult},
      {"an ACK where data was asked",
       ack,
       "GetCommsStatus",
       {},
       kResultChecksum,
       Failure::TooShort,
       QUENNET_OK,
       cli::kExitResult},
      {"data to a poll",
       testframes::reply(0, {1, 2}, false),
       "SendPoll",
       {},
       kResultChecksum,
       Failure::Unexpected,
       QUENNET_OK,
       cli::kExitResult},
      // Refused by the method before it sends, by its result: the C interface hands the result
      // on, the tool refuses the command line.
      {"note 17",
       ack,
       "RequestBillID",
       {"17"},
       kResultNoteNumber,
       Failure::Misuse,
       QUENNET_OK,
       cli::kExitUsage},
      {"no such method",
       ack,
       "NoSuchMethod",
       {},
       kResultOk,
       Failure::Misuse,
       QUENNET_EINVAL,
       cli::kExitUsage,
       false,
       true},
      {"an argument too many",
       ack,
       "SendPoll",
       {"1"},
       kResultOk,
       Failure::Misuse,
       QUENNET_EINVAL,
       cli::kExitUsage,
       false,
       true},
      {"no such port",
       ack,
       nullptr,
       {},
       kResultNotEnabled,
       Failure::PortClosed,
       QUENNET_EOPEN,
       cli::kExitUsage,
       true},
  };
  PtyPair pty;
  QByteArray answer;
  std::mutex answerLock;
  PtyResponder device(pty, [&](const std::vector<unsigned char>&) {
    const std::lock_guard<std::mutex> hold(answerLock);
    return std::vector<unsigned char>(answer.begin(), answer.end());
  });
  BusClient client;
  client.setChecksumType(CHKSM_8BIT);
  client.setCommsEcho(false);
  quennet_options options;
  quennet_options_init(&options);
  options.checksum = QUENNET_CHECKSUM8;
  options.echo = 0;
  for (const Row& row : rows) {
    {
      const std::lock_guard<std::mutex> hold(answerLock);
      answer = row.answer;
    }
    const QString port = row.missingPort ? missingPortName() : pty.slaveName();
    const QString method = QString::fromLatin1(row.method ? row.method : "SendPoll");
    // The bus client; the port is its own for the row, then the C interface's, then the tool's.
    client.setPortName(port);
    if (!client.open()) {
      EXPECT_TRUE(row.missingPort) << row.what << ": " << client.errorString().toStdString();
      EXPECT_EQ(client.error(), row.error) << row.what;
    } else {
      EXPECT_EQ(client.error(), Failure::None) << row.what;
      std::unique_ptr<BusReply> reply;
      try {
        reply.reset(row.method ? client.invoke(kValidator, method,
                                               QVariantList(row.inputs.begin(), row.inputs.end()))
                               : client.sendRequest(kValidator, 254));
      } catch (const QuennetError& error) {
        ADD_FAILURE() << row.what << ": the control's error " << error.number();
      } catch (const MisuseError&) {
        EXPECT_TRUE(row.raised && row.error == Failure::Misuse) << row.what;
      }
      EXPECT_EQ(reply == nullptr, row.raised) << row.what;
      if (reply) {
        ASSERT_TRUE(runUntil([&] { return reply->isFinished(); })) << row.what;
        EXPECT_EQ(reply->result(), row.result) << row.what;
        EXPECT_EQ(reply->error(), row.error) << row.what << ": " << reply->caption().toStdString();
        EXPECT_EQ(reply->error() == Failure::None, reply->acknowledged()) << row.what;
        if (row.error == Failure::NothingSent) {
          EXPECT_EQ(reply->caption(), failureText(Failure::NothingSent));
          EXPECT_TRUE(reply->sent().isEmpty());
        }
      }
      client.close();
    }

    quennet_bus* bus = nullptr;
    const QByteArray path = port.toLocal8Bit();
    int code = quennet_open(path.constData(), &options, &bus);
    if (code == QUENNET_OK) {
      std::vector<QByteArray> words;
      for (const QString& input : row.inputs) words.push_back(input.toUtf8());
      std::vector<const char*> arguments;
      for (const QByteArray& word : words) arguments.push_back(word.constData());
      quennet_reply* reply = nullptr;
      code = quennet_call(bus, kValidator, method.toLatin1().constData(), arguments.data(),
                          arguments.size(), &reply);
      if (code == QUENNET_OK) {
        EXPECT_EQ(quennet_reply_result(reply), row.result) << row.what;
        EXPECT_EQ(quennet_reply_acknowledged(reply) == 1, row.error == Failure::None) << row.what;
      }
      quennet_reply_free(reply);
      quennet_close(bus);
      quennet_free(bus);
    }
    EXPECT_EQ(code, row.capiCode) << row.what << ": " << quennet_last_message();

    QString out;
    QString err;
    QTextStream outStream(&out);
    QTextStream errStream(&err);
    cli::CliStreams streams{outStream, errStream};
    const int status = cli::runCli(
        QStringList{"--port", port, "--checksum8", "--no-echo", "--address", "40", method} +
            row.inputs,
        streams);
    EXPECT_EQ(status, row.exitStatus) << row.what << ": " << out.toStdString() << err.toStdString();
  }
  // A closed port ends a request at once.
  std::unique_ptr<BusReply> closed(client.sendRequest(kValidator, 254));
  EXPECT_EQ(closed->error(), Failure::PortClosed);
}

TEST(BusClient, FailedOpenAndRepliesThatOutliveTheirClient) {
  auto client = std::make_unique<BusClient>();
  QList<int> errors;
  QObject::connect(client.get(), &BusClient::errorOccurred,
                   [&errors](int number) { errors.append(number); });
  client->setPortName(missingPortName());
  EXPECT_FALSE(client->open());
  EXPECT_EQ(client->errorNumber(), 8002);
  EXPECT_EQ(errors, QList<int>{kErrInvalidPortNumber}) << "the signal carries the number";
  EXPECT_EQ(client->state(), BusClient::UnconnectedState);

  bnvsim::Simulator sim;
  ASSERT_TRUE(sim.start());
  client->setPortName(sim.slavePath());
  client->setChecksumType(CHKSM_16BIT);
  client->setCommsEcho(true);
  ASSERT_TRUE(client->open());
  const int frames = sim.framesReceived();
  std::unique_ptr<BusReply> cycle(client->invoke(kValidator, QStringLiteral("CycleStacker")));
  std::unique_ptr<BusReply> poll(client->sendRequest(kValidator, 254));
  int finishedSignals = 0;
  QObject::connect(poll.get(), &BusReply::finished, [&] { ++finishedSignals; });
  ASSERT_TRUE(runUntil([&] { return sim.framesReceived() > frames; }));  // the cycle is on the line
  QElapsedTimer clock;
  clock.start();
  client.reset();
  EXPECT_LT(clock.elapsed(), bnvsim::kStackerCycleMs / 2) << "the wait on the line was not woken";
  for (const auto* reply : {cycle.get(), poll.get()}) {
    EXPECT_TRUE(reply->isFinished());
    EXPECT_EQ(reply->result(), kResultNotEnabled);
    EXPECT_EQ(reply->caption(), QStringLiteral("Bus client destroyed"));
  }
  EXPECT_EQ(finishedSignals, 1);
}

}  // namespace
}  // namespace quennet
