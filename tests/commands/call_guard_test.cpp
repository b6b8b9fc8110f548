// The call guard on a scripted device: BUSY retried as often as set and no more, and a device
// that acknowledged a reset polled until it is back before its next command. The frames on the
// wire are the truth: each retry and each poll is a frame of its own.
#include <vector>

#include "quennet/commands/call_guard.h"
#include "quennet/link/cctalk_codes.h"
#include "quennet/link/quennet_error.h"
#include "tests/commands/scripted_device.h"

namespace quennet::testing {
namespace {

// The headers of the frames written, in order; every frame is whole.
std::vector<int> headersSent(const QByteArray& log) {
  std::vector<int> headers;
  for (int at = 0; at + 5 <= log.size(); at += uchar(log[at + 1]) + 5) {
    headers.push_back(uchar(log[at + 3]));
  }
  return headers;
}

// A device that answers BUSY to its first `busy` frames, is silent to `silent` frames after it
// acknowledged a reset, and otherwise answers a serial number (242), or an ACK.
class GuardedDevice : public ScriptedDevice {
 protected:
  void play(int busy, int silentAfterReset = 0, bool nakReset = false) {
    line_->setEndsWaitsWhenPlayedOut(true);
    line_->setResponder([=, this](const QByteArray& written) {
      const std::vector<int> headers = headersSent(written);
      int end = 0;
      while (end + 2 <= written.size() && end + uchar(written[end + 1]) + 5 <= written.size()) {
        end += uchar(written[end + 1]) + 5;
      }
      if (headers.empty() || end != written.size()) return QByteArray();
      const int header = headers.back();
      if (busyAnswered_ < busy) {
        ++busyAnswered_;
        return replyFrame(kHeaderBusy);
      }
      if (silent_ > 0) {
        --silent_;
        return QByteArray();
      }
      if (header == RESET_DEVICE) {
        if (nakReset) return replyFrame(kHeaderNak);
        silent_ = silentAfterReset;
      }
      return header == GET_SERIAL_NO ? replyFrame(0, {0x12, 0x34, 0x56}) : replyFrame(0);
    });
  }
  std::int32_t serial(CallGuard& guard, std::uint8_t address = kDevice) {
    return guard.run(set_, address, [&] {
      QString text;
      return set_.GetSerialNo(address, text);
    });
  }
  std::int32_t reset(CallGuard& guard) {
    return guard.run(set_, kDevice, [&] {
      QString text;
      return set_.ResetDevice(kDevice, text);
    });
  }

  int busyAnswered_ = 0;
  int silent_ = 0;
};

TEST_F(GuardedDevice, BusyIsRetriedAsOftenAsSetAndTheLastAnswerIsTheResult) {
  const struct {
    int busy;     // BUSY answers before the real one
    int retries;  // retries allowed
    std::int32_t result;
    int frames;
  } rows[] = {
      {0, 0, kResultOk, 1},  {1, 0, kResultBusy, 1}, {3, 2, kResultBusy, 3}, {3, 3, kResultOk, 4},
      {3, 10, kResultOk, 4}, {0, 10, kResultOk, 1},  {1, 1, kResultOk, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "busy " << row.busy << ", retries " << row.retries);
    busyAnswered_ = 0;
    line_->clearLog();
    play(row.busy);
    CallGuard guard;
    guard.setSettings({row.retries, 0, 0});
    EXPECT_EQ(serial(guard), row.result);
    EXPECT_EQ(headersSent(line_->writtenLog()), std::vector<int>(row.frames, GET_SERIAL_NO));
    EXPECT_EQ(guard.lastRetries(), row.frames - 1);
    if (row.result == kResultOk) {
      EXPECT_EQ(set_.ReplyBuffer().at(5), 0x12);
    }
  }
  // The ranges the setters take.
  for (const CallGuardSettings bad :
       {CallGuardSettings{-1, 0, 0}, CallGuardSettings{kMaxBusyRetries + 1, 0, 0},
        CallGuardSettings{0, kMaxBusyPauseMs + 1, 0},
        CallGuardSettings{0, 0, kMaxResetWaitMs + 1}}) {
    EXPECT_THROW(checkCallGuardSettings(bad), QuennetError);
  }
  EXPECT_NO_THROW(checkCallGuardSettings({kMaxBusyRetries, kMaxBusyPauseMs, kMaxResetWaitMs}));
}

TEST_F(GuardedDevice, AResetDeviceIsPolledUntilItAnswersBeforeItsNextCommand) {
  constexpr int P = SIMPLE_POLL;
  constexpr int R = RESET_DEVICE;
  constexpr int S = GET_SERIAL_NO;
  const struct {
    const char* what;
    int resetWaitMs;
    int silent;  // frames the device ignores after its reset
    bool nakReset;
    std::int32_t result;  // of GetSerialNo after the reset
    std::vector<int> frames;
  } rows[] = {
      {"no wait: the next command meets the silence", 0, 1, false, kResultTimeout, {R, S}},
      {"back at once: one poll", 2000, 0, false, kResultOk, {R, P, S}},
      {"silent to three polls", 2000, 3, false, kResultOk, {R, P, P, P, P, S}},
      {"a refused reset is not waited for", 2000, 3, true, kResultOk, {R, S}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    busyAnswered_ = 0;
    silent_ = 0;
    line_->clearLog();
    play(0, row.silent, row.nakReset);
    CallGuard guard;
    guard.setSettings({0, 0, row.resetWaitMs});
    reset(guard);
    EXPECT_EQ(serial(guard), row.result);
    EXPECT_EQ(headersSent(line_->writtenLog()), row.frames);
  }

  // Another device's command does not wait; the reset one's still does, once.
  silent_ = 0;
  line_->clearLog();
  play(0, 1);
  CallGuard guard;
  guard.setSettings({0, 0, 2000});
  reset(guard);
  EXPECT_EQ(serial(guard, 3), kResultTimeout);  // the device ignores it: still coming back
  EXPECT_EQ(serial(guard), kResultOk);
  EXPECT_EQ(serial(guard), kResultOk);
  EXPECT_EQ(headersSent(line_->writtenLog()), (std::vector<int>{R, S, P, S, S}));
  // The control's own calls, without a guard, never poll.
  line_->clearLog();
  QString text;
  EXPECT_EQ(set_.ResetDevice(kDevice, text), kResultOk);
  EXPECT_EQ(set_.GetSerialNo(kDevice, text), kResultTimeout);
  EXPECT_EQ(headersSent(line_->writtenLog()), (std::vector<int>{R, S}));
}

}  // namespace
}  // namespace quennet::testing
