#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "quennet/commands/command_set.h"
#include "quennet/link/low_latency_p.h"
#include "quennet/link/qt_serial_line.h"
#include "support/pty_pair.h"
#include "support/reply_frames.h"

using namespace quennet;

namespace {

std::vector<unsigned char> toVector(const QByteArray& bytes) {
  return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

std::unique_ptr<QtSerialLine> lineOn(const PtyPair& pty) {
  auto line = std::make_unique<QtSerialLine>();
  line->setDeviceName(pty.slaveName());
  return line;
}

}  // namespace

TEST(PortSettings, ParsesTheSettingsString) {
  PortSettings s;
  ASSERT_TRUE(parsePortSettings(QStringLiteral("9600,n,8,1"), &s));
  EXPECT_EQ(s.baud, 9600);
  EXPECT_EQ(s.parity, QSerialPort::NoParity);
  EXPECT_EQ(s.dataBits, QSerialPort::Data8);
  EXPECT_EQ(s.stopBits, QSerialPort::OneStop);
  ASSERT_TRUE(parsePortSettings(QStringLiteral("19200,E,7,2"), &s));
  EXPECT_EQ(s.parity, QSerialPort::EvenParity);
  EXPECT_EQ(s.stopBits, QSerialPort::TwoStop);
  for (const char* bad : {"", "9600", "x,n,8,1", "9600,q,8,1", "9600,n,9,1", "9600,n,8,3"}) {
    PortSettings untouched;
    untouched.baud = 1;
    EXPECT_FALSE(parsePortSettings(QString::fromLatin1(bad), &untouched)) << bad;
    EXPECT_EQ(untouched.baud, 1) << bad;
  }
  EXPECT_EQ(platformPortName(1), QStringLiteral("/dev/ttyS0"));
}

// A driver that answers TIOCGSERIAL with `flags` (or refuses it) and TIOCSSERIAL as told.
struct LowLatencyRow {
  int getError;
  int flags;
  int setError;
  LowLatency expected;
  bool written;
};

class LowLatencyRequest : public ::testing::TestWithParam<LowLatencyRow> {};

TEST_P(LowLatencyRequest, AddsTheFlagAndKeepsEverythingElse) {
  const LowLatencyRow row = GetParam();
  std::vector<unsigned long> requests;
  serial_struct written{};
  const SerialIoctl driver = [&](int fd, unsigned long request, serial_struct* info) {
    EXPECT_EQ(fd, 7);
    requests.push_back(request);
    if (request == TIOCGSERIAL) {
      if (row.getError != 0) return row.getError;
      *info = serial_struct{};
      info->flags = row.flags;
      info->xmit_fifo_size = 64;
      info->custom_divisor = 3;
      return 0;
    }
    written = *info;
    return row.setError;
  };
  EXPECT_EQ(requestLowLatency(7, driver), row.expected);
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front(), TIOCGSERIAL);
  EXPECT_EQ(requests.size(), row.written ? 2u : 1u);
  if (row.written) {
    EXPECT_EQ(requests.back(), TIOCSSERIAL);
    EXPECT_EQ(written.flags, row.flags | ASYNC_LOW_LATENCY);
    EXPECT_EQ(written.xmit_fifo_size, 64);
    EXPECT_EQ(written.custom_divisor, 3);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LowLatencyRequest,
    ::testing::Values(LowLatencyRow{0, ASYNC_SKIP_TEST, 0, LowLatency::Granted, true},
                      LowLatencyRow{0, ASYNC_LOW_LATENCY | 1, 0, LowLatency::AlreadyOn, false},
                      LowLatencyRow{ENOTTY, 0, 0, LowLatency::Unsupported, false},
                      LowLatencyRow{0, 0, EPERM, LowLatency::Refused, true}));

TEST(PtyLink, SimplePollWithEchoOverARealPseudoTerminal) {
  PtyPair pty;
  PtyResponder device(pty, [](const std::vector<unsigned char>& frame) {
    std::vector<unsigned char> out = frame;  // the shared wire echoes the command
    const auto ack = toVector(testframes::reply(0, {}, true));
    out.insert(out.end(), ack.begin(), ack.end());
    return out;
  });
  CommandSet host;
  host.setLine(lineOn(pty));
  host.setChecksumType(CHKSM_16BIT);
  host.setCommsEcho(true);
  ASSERT_TRUE(host.line()->open()) << host.line()->lastError().description.toStdString();
  // The open asked the kernel for low latency; a pseudo-terminal has no such setting, and the
  // refusal costs nothing below.
  EXPECT_EQ(static_cast<const QtSerialLine*>(host.line())->lowLatency(), LowLatency::Unsupported);
  for (int i = 0; i < 20; ++i) {
    QString response;
    ASSERT_EQ(host.SendPoll(2, response), 0) << host.caption().toStdString();
    EXPECT_EQ(response, QStringLiteral("ACK"));
  }
  EXPECT_EQ(host.CommandSent(), QStringLiteral("02 00 B1 FE 60 "));
  EXPECT_EQ(host.ReplyBack(1), QStringLiteral("1,0,48,0,55,"));
}

TEST(PtyLink, SilentDeviceTimesOutAfter200Ms) {
  PtyPair pty;
  CommandSet host;
  host.setLine(lineOn(pty));
  ASSERT_TRUE(host.line()->open());
  QString response = QStringLiteral("keep");
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(host.SendPoll(40, response), kResultTimeout);
  EXPECT_GE(clock.elapsed(), 195);
  EXPECT_LT(clock.elapsed(), 600);
  EXPECT_EQ(host.caption(), QStringLiteral("Timeout Error [0]"));
  EXPECT_EQ(response, QStringLiteral("keep"));
}

TEST(PtyLink, ReplyArrivingInPiecesIsAssembled) {
  PtyPair pty;
  const QByteArray answer = testframes::reply(0, {'B', 'N', 'V'}, false);
  CommandSet host;
  host.setLine(lineOn(pty));
  ASSERT_TRUE(host.line()->open());
  std::thread device([&] {
    pty.readMaster(1000);
    for (char byte : answer) {
      pty.writeMaster({static_cast<unsigned char>(byte)});
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  QString response;
  EXPECT_EQ(host.GetManfctrID(40, response), 0);
  device.join();
  EXPECT_EQ(response, QStringLiteral("BNV"));
}

// A host whose thread is kept from running (a loaded machine) looks late, and still takes the
// reply that came in time: a pseudo-terminal drains at once, so the host cannot tell what came
// while the frame went out, however late it comes to the drain; and a wait that begins after its
// deadline still looks at what the driver holds. Both in a thread that waits in an event loop and
// in one that sleeps on the port's descriptor.
TEST(PtyLink, AHostThatLooksLateStillTakesTheReply) {
  for (const bool onDescriptor : {false, true}) {
    SCOPED_TRACE(onDescriptor ? "descriptor" : "event loop");
    PtyPair pty;
    auto line = lineOn(pty);
    const int wake = onDescriptor ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    if (onDescriptor) line->setWakeUp(wake, [] {});
    ASSERT_TRUE(line->open());
    const QByteArray frame = QByteArray::fromHex("0200b1fe60");
    const auto ack = testframes::reply(0, {}, true);
    ASSERT_TRUE(line->write(frame));
    EXPECT_EQ(pty.readMaster(1000), toVector(frame));
    pty.writeMaster(toVector(ack));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the host's thread, late
    EXPECT_EQ(line->waitUntilSent(), 0);
    line->waitForBytes(static_cast<int>(ack.size()), QDeadlineTimer(1000));
    EXPECT_EQ(line->read(64), ack);

    pty.writeMaster(toVector(ack));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    line->waitForBytes(static_cast<int>(ack.size()), QDeadlineTimer(0));  // already past
    EXPECT_EQ(line->read(64), ack);
    line->close();
    if (wake >= 0) ::close(wake);
  }
}

TEST(PtyLink, MissingDeviceCannotBeOpened) {
  QtSerialLine line;
  line.setDeviceName(QStringLiteral("/dev/does-not-exist-quennet"));
  EXPECT_FALSE(line.open());
  EXPECT_EQ(line.lastError().number, 8002);
  EXPECT_FALSE(line.isOpen());
}

TEST(PtyLink, ALateReplyNeverAnswersTheNextCommand) {
  PtyPair pty;
  std::atomic<int> frames{0};
  // The first serial-number request is answered 30 ms after the host gave up; later ones at once.
  PtyResponder device(pty, [&frames](const std::vector<unsigned char>&) {
    if (frames++ == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(530));
      return toVector(testframes::reply(0, {0x0A, 0x0B, 0x0C}, false));
    }
    return toVector(testframes::reply(0, {0x00, 0x00, 0x07}, false));
  });
  CommandSet host;
  host.setLine(lineOn(pty));
  ASSERT_TRUE(host.line()->open());
  QString serial;
  EXPECT_EQ(host.GetSerialNo(40, serial), kResultTimeout);
  const std::int16_t second = host.GetSerialNo(40, serial);
  EXPECT_NE(serial, QStringLiteral("0658188")) << "the stale reply was read as this one's";
  if (second == kResultOk) {
    EXPECT_EQ(serial, QStringLiteral("0000007"));
  }
  EXPECT_EQ(frames, 2);
}

TEST(PtyLink, ALineThatNeverFallsQuietFailsTheCommand) {
  PtyPair pty;
  std::atomic<bool> stop{false};
  std::thread babble([&] {
    while (!stop) {
      pty.writeMaster({0x55});
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  CommandSet host;
  host.setLine(lineOn(pty));
  ASSERT_TRUE(host.line()->open());
  QString response = QStringLiteral("keep");
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(host.SendPoll(40, response), kResultTimeout);
  EXPECT_LT(clock.elapsed(), 2000);
  EXPECT_TRUE(host.caption().startsWith(QStringLiteral("Line Not Quiet [")))
      << host.caption().toStdString();
  // The command ran but its frame never went out.
  EXPECT_TRUE(host.lastTransaction().ran);
  EXPECT_FALSE(host.lastTransaction().frameSent);
  EXPECT_EQ(response, QStringLiteral("keep"));
  stop = true;
  babble.join();
}
