#pragma once
// A CommandSet on a ScriptedLine whose device answers every complete frame with one scripted
// reply. 8-bit checksums and no echo, the engine's defaults.

#include <cstdint>
#include <memory>
#include <vector>

#include <QByteArray>

#include <gtest/gtest.h>

#include "quennet/commands/command_set.h"
#include "quennet/link/protocol.h"
#include "quennet/testing/scripted_line.h"

namespace quennet::testing {

constexpr std::uint8_t kDevice = 40;

// A reply frame from kDevice to the host with a valid 8-bit checksum.
inline QByteArray replyFrame(std::uint8_t header, const std::vector<std::uint8_t>& data = {}) {
  QByteArray frame;
  frame.append(char(1));
  frame.append(char(data.size()));
  frame.append(char(kDevice));
  frame.append(char(header));
  for (std::uint8_t byte : data) frame.append(char(byte));
  std::uint8_t sum = 0;
  for (char byte : frame) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(byte));
  frame.append(char(static_cast<std::uint8_t>(256 - sum)));
  return frame;
}

class ScriptedDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    auto line = std::make_unique<ScriptedLine>();
    line_ = line.get();
    line_->open();
    set_.setLine(std::move(line));
  }

  // Every complete frame written is answered with `reply` (nothing means a silent device). A
  // frame from kDevice is sent from the address asked, as a device answers; `exactly` keeps it.
  void answer(const QByteArray& reply, bool exactly = false) {
    line_->setResponder([reply, exactly](const QByteArray& written) {
      const bool complete = written.size() >= 2 && written.size() >= uchar(written[1]) + 5;
      if (!complete) return QByteArray();
      QByteArray sent = reply;
      const auto asked = static_cast<std::uint8_t>(written[0]);
      if (!exactly && asked != 0 && sent.size() >= 5 && uchar(sent[2]) == kDevice) {
        sent[2] = char(asked);
        sent[sent.size() - 1] = char(uchar(sent.back()) + kDevice - asked);
      }
      return sent;
    });
  }
  // Devices on the bus answer a broadcast poll with one byte each, `address` 4 ms per unit of
  // the address after the poll; `noise` arrives at once, `stray` `strayMs` after the poll.
  void answerAddresses(const std::vector<std::uint8_t>& addresses, const QByteArray& noise = {},
                       int strayMs = 0, const QByteArray& stray = {}) {
    line_->setResponder([=, this](const QByteArray& written) {
      const bool complete = written.size() >= 2 && written.size() >= uchar(written[1]) + 5;
      if (!complete) return QByteArray();
      for (std::uint8_t a : addresses) line_->deliverLater(4 * a + 1, QByteArray(1, char(a)));
      if (!stray.isEmpty()) line_->deliverLater(strayMs, stray);
      return noise;
    });
  }
  void answerData(const std::vector<std::uint8_t>& data) { answer(replyFrame(0, data)); }
  void answerAck() { answer(replyFrame(0)); }

  bool nothingSent() const { return line_->writtenLog().isEmpty(); }
  int sentHeader() const { return uchar(line_->writtenLog().at(3)); }
  int sentDestination() const { return uchar(line_->writtenLog().at(0)); }
  // Data bytes of the one frame written.
  std::vector<std::uint8_t> sentData() const {
    const QByteArray& frame = line_->writtenLog();
    EXPECT_GE(frame.size(), 5);
    const int n = uchar(frame.at(1));
    EXPECT_EQ(frame.size(), n + 5);
    return {frame.begin() + 4, frame.begin() + 4 + n};
  }

  CommandSet set_;
  ScriptedLine* line_ = nullptr;
};

}  // namespace quennet::testing
