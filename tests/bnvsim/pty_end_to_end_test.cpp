// The simulator on a real pseudo-terminal, driven by the host's link engine over QSerialPort.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "bnvsim/bus.h"
#include "bnvsim/simulator.h"
#include "quennet/commands/command_set.h"
#include "quennet/link/link_engine.h"
#include "quennet/link/qt_serial_line.h"

using namespace bnvsim;
using namespace std::chrono_literals;

namespace {

class Session {
 public:
  Session(SimulatorOptions options, bool hostEcho) : simulator(options) {
    QString error;
    EXPECT_TRUE(simulator.start(&error)) << error.toStdString();
    auto line = std::make_unique<quennet::QtSerialLine>();
    line->setDeviceName(simulator.slavePath());
    host.setLine(std::move(line));
    host.setCommsEcho(hostEcho);
    host.setChecksumType(options.line.crc ? quennet::CHKSM_16BIT : quennet::CHKSM_8BIT);
    host.setEncryption(options.line.encryption);
    host.setKeyDigits(quennet::keyDigitsFromCode(0x406285));
    EXPECT_TRUE(host.line()->open());
  }

  void frame(std::uint8_t to, std::uint8_t header, std::vector<std::uint8_t> data) {
    host.LoadFrame(to, header, data);
  }
  std::int16_t text(std::uint8_t header, QString& out, std::vector<std::uint8_t> data = {},
                    std::int16_t expected = 0) {
    frame(40, header, std::move(data));
    return host.TransactText(out, expected);
  }
  std::int16_t bytes(std::uint8_t to, std::uint8_t header, std::vector<std::uint8_t>& out,
                     std::vector<std::uint8_t> data = {}) {
    frame(to, header, std::move(data));
    return host.TransactBytes(out, static_cast<std::int16_t>(out.size()));
  }
  QString poll() {
    QString reply = QStringLiteral("none");
    text(254, reply);
    return reply;
  }

  Simulator simulator;
  quennet::CommandSet host;
};

SimulatorOptions lineWith(bool echo, bool crc, bool encryption = false) {
  SimulatorOptions o;
  o.line.echo = echo;
  o.line.crc = crc;
  o.line.encryption = encryption;
  return o;
}

}  // namespace

TEST(PtyEndToEnd, EscrowFlowWithEchoOnAndOffInCrcAnd8BitModes) {
  for (bool echo : {true, false}) {
    for (bool crc : {true, false}) {
      SCOPED_TRACE(testing::Message() << "echo " << echo << " crc " << crc);
      Session s(lineWith(echo, crc), echo);
      EXPECT_EQ(s.poll(), QStringLiteral("ACK"));
      QString reply;
      ASSERT_EQ(s.text(245, reply, {}, 14), 0);
      EXPECT_EQ(reply, QStringLiteral("Bill Validator"));
      ASSERT_EQ(s.text(231, reply, {0xFF, 0xFF}), 0);
      ASSERT_EQ(s.text(228, reply, {1}), 0);
      EXPECT_EQ(s.simulator.inhibitMask(), (std::array<std::uint8_t, 2>{0xFF, 0xFF}));
      EXPECT_EQ(s.simulator.masterInhibit(), 1);

      s.simulator.insertNote(3);
      std::vector<std::uint8_t> events(11, 0xEE);
      ASSERT_EQ(s.bytes(40, 159, events), 0);
      EXPECT_EQ(events, (std::vector<std::uint8_t>{1, 3, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
      EXPECT_TRUE(s.simulator.noteInEscrow());
      ASSERT_EQ(s.text(154, reply, {1}), 0);
      EXPECT_EQ(reply, QStringLiteral("ACK"));
      EXPECT_FALSE(s.simulator.noteInEscrow());
      ASSERT_EQ(s.text(154, reply, {1}), 0);
      EXPECT_EQ(reply, QString(QChar(254)));
      EXPECT_EQ(s.simulator.framesReceived(), 7);
      // A reset takes the unit back to power-up: every note and the master inhibit closed.
      ASSERT_EQ(s.text(1, reply), 0);
      std::vector<std::uint8_t> inhibits(2, 0xEE);
      ASSERT_EQ(s.bytes(40, 230, inhibits), 0);
      EXPECT_EQ(inhibits, (std::vector<std::uint8_t>{0, 0}));
      std::vector<std::uint8_t> master(1, 0xEE);
      ASSERT_EQ(s.bytes(40, 227, master), 0);
      EXPECT_EQ(master[0], 0);
    }
  }
}

TEST(PtyEndToEnd, AHeldNoteComesBackByItselfAfterTheHoldTime) {
  SimulatorOptions o = lineWith(true, true);
  o.escrowHoldMs = 60;
  Session s(o, true);
  QString reply;
  ASSERT_EQ(s.text(231, reply, {0xFF, 0xFF}), 0);
  ASSERT_EQ(s.text(228, reply, {1}), 0);
  s.simulator.insertNote(2);
  EXPECT_TRUE(s.simulator.noteInEscrow());
  std::this_thread::sleep_for(300ms);  // no host traffic: the simulator keeps time by itself
  EXPECT_FALSE(s.simulator.noteInEscrow());
  std::vector<std::uint8_t> events(11, 0xEE);
  ASSERT_EQ(s.bytes(40, 159, events), 0);
  EXPECT_EQ(events, (std::vector<std::uint8_t>{2, 0, 1, 2, 1, 0, 0, 0, 0, 0, 0}));
}

TEST(PtyEndToEnd, EncryptedLinkAndAKeyChangeTakingEffectAfterItsReply) {
  Session s(lineWith(true, true, true), true);
  EXPECT_EQ(s.poll(), QStringLiteral("ACK"));
  QString reply;
  ASSERT_EQ(s.text(137, reply, {0x21, 0x43, 0x65}), 0);  // key 123456
  EXPECT_EQ(reply, QStringLiteral("ACK"));
  EXPECT_EQ(s.text(254, reply), 2) << "the device no longer listens to the old key";
  s.host.setKeyDigits(quennet::keyDigitsFromCode(0x654321));
  EXPECT_EQ(s.poll(), QStringLiteral("ACK"));
  EXPECT_EQ(s.simulator.lineOptions().key, QStringLiteral("123456"));
  // The operator switching encryption off at run time is seen by the host as garbage.
  LineOptions clear = s.simulator.lineOptions();
  clear.encryption = false;
  s.simulator.setLineOptions(clear);
  EXPECT_EQ(s.text(254, reply), 2);
  s.host.setEncryption(false);
  EXPECT_EQ(s.poll(), QStringLiteral("ACK"));
}

TEST(PtyEndToEnd, InjectedFaultsReachTheHostAsResultCodes) {
  Session s(lineWith(true, true), true);
  QString reply;
  const auto once = [&](Fault fault) {
    s.simulator.injectFault(fault);
    return s.text(254, reply);
  };
  EXPECT_EQ(once(Fault::Silent), 2);
  EXPECT_EQ(once(Fault::Busy), -1);
  EXPECT_EQ(once(Fault::Nak), 0);
  EXPECT_EQ(reply, QStringLiteral("NACK"));
  EXPECT_EQ(once(Fault::BadCrc), 3);
  EXPECT_EQ(once(Fault::Truncated), 2);
  // Stray bytes ahead of the reply are skipped; only one equal to the host's address starts a
  // frame of its own, whose checksum fails.
  const std::int16_t noisy = once(Fault::Noise);
  EXPECT_TRUE(noisy == 0 || noisy == 3) << noisy;
  std::this_thread::sleep_for(60ms);  // let whatever the noise pushed out of the frame arrive
  // The reply where the echo should be is taken, and named for the missing echo.
  EXPECT_EQ(once(Fault::NoEcho), 0);
  EXPECT_TRUE(s.host.lastTransaction().echoMissing);
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(once(Fault::Late), 2);
  std::this_thread::sleep_for(700ms);  // the late reply lands and is discarded next time
  EXPECT_EQ(s.poll(), QStringLiteral("ACK"));
  s.simulator.injectFault(Fault::Busy, 2);
  EXPECT_EQ(s.text(254, reply), -1);
  EXPECT_EQ(s.text(254, reply), -1);
  EXPECT_EQ(s.text(254, reply), 0);
  // BUSY and then the real answer (an ACK): the next command, a data request the device takes
  // longer to answer than that ACK takes to come, gets its own answer.
  EXPECT_EQ(once(Fault::BusyThenAnswer), -1);
  LineOptions slow = s.simulator.lineOptions();
  slow.replyDelayMs = 2 * kBusyAnswerMs;
  s.simulator.setLineOptions(slow);
  EXPECT_EQ(s.text(4, reply, {}, 3), 0);
  EXPECT_EQ(reply, QStringLiteral("142"));
  slow.replyDelayMs = 0;
  s.simulator.setLineOptions(slow);
  // A changed echo is an echo error, also when it starts with the host's address.
  EXPECT_EQ(once(Fault::EchoHost), 3);
  EXPECT_EQ(s.host.lastTransaction().refusal, quennet::Failure::EchoMismatch);
  EXPECT_EQ(once(Fault::EchoNoise), 3);
  EXPECT_EQ(s.host.lastTransaction().refusal, quennet::Failure::EchoMismatch);
  // The comms revision is three bytes: a bare ACK, two or four is no answer.
  s.simulator.injectFault(Fault::WrongLength);
  EXPECT_EQ(s.text(4, reply, {}, 3), 3);
  EXPECT_EQ(s.poll(), QStringLiteral("ACK"));
}

TEST(PtyEndToEnd, CommsCountersSeeTheHostsBadChecksums) {
  Session s(lineWith(false, true), false);
  QString reply;
  s.host.setMakeChksmError(true);
  EXPECT_EQ(s.text(254, reply), 2);
  EXPECT_EQ(s.text(254, reply), 2);
  s.host.setMakeChksmError(false);
  std::vector<std::uint8_t> counters(3, 0xEE);
  ASSERT_EQ(s.bytes(40, 2, counters), 0);
  EXPECT_EQ(counters, (std::vector<std::uint8_t>{0, 0, 2}));
  ASSERT_EQ(s.text(3, reply), 0);
  ASSERT_EQ(s.bytes(40, 2, counters), 0);
  EXPECT_EQ(counters, (std::vector<std::uint8_t>{0, 0, 0}));
}

TEST(PtyEndToEnd, AddressPollHearsEveryDeviceInAddressOrder) {
  SimulatorOptions o = lineWith(true, true);
  o.hopper = true;
  o.coinAcceptor = true;
  Session s(o, true);
  std::vector<std::uint8_t> addresses(11, 0);
  s.frame(0, 253, {});
  ASSERT_EQ(s.host.TransactBytes(addresses, -4), 0);
  EXPECT_EQ(addresses, (std::vector<std::uint8_t>{2, 3, 40, 0, 0, 0, 0, 0, 0, 0, 0}));
  // The hopper answers at its own address with the host's default security code.
  QString reply;
  s.frame(3, 164, {165});
  ASSERT_EQ(s.host.TransactText(reply, 0), 0);
  s.frame(3, 167, {0x04, 0xE8, 0xE8, 2});
  ASSERT_EQ(s.host.TransactText(reply, 0), 0);
  EXPECT_EQ(reply, QStringLiteral("ACK"));
}

TEST(PtyEndToEnd, StackerCycleAnswersAfterAboutASecond) {
  Session s(lineWith(true, true), true);
  QString reply;
  QElapsedTimer timer;
  timer.start();
  s.host.requestLongWait();
  ASSERT_EQ(s.text(147, reply), 0);
  EXPECT_EQ(reply, QStringLiteral("ACK"));
  EXPECT_GE(timer.elapsed(), 900);
  EXPECT_LT(timer.elapsed(), 3000);
}

TEST(PtyEndToEnd, PacedRepliesTakeTheirTimeOnTheWire) {
  SimulatorOptions o = lineWith(false, true);
  o.line.pacing = true;
  Session s(o, false);
  QString reply;
  QElapsedTimer timer;
  timer.start();
  ASSERT_EQ(s.text(245, reply, {}, 14), 0);  // 19 bytes at 9600 baud: about 20 ms
  EXPECT_GE(timer.elapsed(), 18);
  EXPECT_EQ(reply, QStringLiteral("Bill Validator"));
}

namespace {

long residentKiB() {
  long pages = 0;
  long resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

TEST(PtyEndToEnd, AFloodingHostThatNeverReadsGetsAFewRepliesAndTheRestIsDropped) {
  SimulatorOptions o = lineWith(true, true);
  o.line.pacing = true;
  Simulator simulator(o);
  ASSERT_TRUE(simulator.start());
  const int fd = ::open(simulator.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  quennet::LinkEngine engine;
  engine.setChecksumType(quennet::CHKSM_16BIT);
  engine.LoadFrame(40, 254);
  const QByteArray poll = engine.BuildFrame();
  constexpr int kPolls = 10000;
  QByteArray flood;
  for (int i = 0; i < kPolls; ++i) flood += poll;

  const long before = residentKiB();
  ASSERT_EQ(::write(fd, flood.constData(), static_cast<std::size_t>(flood.size())), flood.size());
  QElapsedTimer timer;
  timer.start();
  while (simulator.framesReceived() < kPolls && timer.elapsed() < 20000) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(simulator.framesReceived(), kPolls);
  EXPECT_LT(residentKiB() - before, 4096);
  const int answered = kPolls - simulator.framesDropped();
  EXPECT_GE(answered, 4);
  EXPECT_LE(answered, 500) << "a slave answers one frame at a time";

  // What reaches the host is the echo and reply of the answered frames, and then silence.
  const auto expected = static_cast<std::size_t>(answered) * 2 * poll.size();
  std::size_t received = 0;
  pollfd readable{fd, POLLIN, 0};
  while (::poll(&readable, 1, received < expected ? 2000 : 150) > 0) {
    char buffer[4096];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count <= 0) break;
    received += static_cast<std::size_t>(count);
  }
  EXPECT_EQ(received, expected);
  ::close(fd);
}
