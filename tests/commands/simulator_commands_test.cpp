// The command set over a real pseudo-terminal against the virtual validator: CRC frames and an
// echoing line, as the test bench talks.
#include <array>
#include <memory>

#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include "bnvsim/simulator.h"
#include "quennet/commands/command_set.h"
#include "quennet/commands/dispatch.h"
#include "quennet/commands/reply_renderings.h"
#include "quennet/link/protocol.h"
#include "quennet/link/protocol_events.h"
#include "quennet/link/qt_serial_line.h"

namespace quennet {
namespace {

constexpr std::uint8_t kValidator = 40;

class OnSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    QString error;
    ASSERT_TRUE(sim_.start(&error)) << error.toStdString();
    auto line = std::make_unique<QtSerialLine>();
    line->setDeviceName(sim_.slavePath());
    line->setSettings(QStringLiteral("9600,n,8,1"));
    ASSERT_TRUE(line->open());
    set_.setLine(std::move(line));
    set_.setChecksumType(CHKSM_16BIT);
    set_.setCommsEcho(true);
  }

  bnvsim::Simulator sim_{bnvsim::SimulatorOptions{}};
  CommandSet set_;
};

TEST_F(OnSimulator, IdentificationCommands) {
  QString text;
  EXPECT_EQ(set_.SendPoll(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("ACK"));
  EXPECT_EQ(set_.GetManfctrID(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("QNT"));
  EXPECT_EQ(set_.GetSerialNo(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("8902162"));
  EXPECT_EQ(serialLabelOf(set_.sentInClear(), set_.replyInClear()), QStringLiteral("1234567"))
      << "the label reads the bytes least significant first";
  EXPECT_EQ(set_.GetCreationDate(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("15/03/24"));
  QString checksum;
  EXPECT_EQ(set_.GetROMChksum(kValidator, checksum), kResultOk);
  EXPECT_EQ(checksum, QStringLiteral("3CA0E7"));
}

TEST_F(OnSimulator, EnableAcceptAndStackANote) {
  QString text;
  const std::array<std::uint8_t, 2> all = {0xFF, 0xFF};
  ASSERT_EQ(set_.SetInhibitStatus(kValidator, all, text), kResultOk);
  EXPECT_EQ(sim_.inhibitMask(), all);
  ASSERT_EQ(set_.SetMasterInhibit(kValidator, 1, text), kResultOk);
  EXPECT_EQ(sim_.masterInhibit(), 1);

  sim_.insertNote(3);
  std::array<std::uint8_t, 11> events{};
  ASSERT_EQ(set_.GetEventBuffer(kValidator, events), kResultOk);
  EXPECT_EQ(events[1], 3);
  EXPECT_EQ(events[2], 1) << "held in escrow";
  EXPECT_EQ(set_.RouteBill(kValidator, 1, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("ACK"));
  EXPECT_EQ(set_.RouteBill(kValidator, 1, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("No Note in Escrow"));

  ASSERT_EQ(set_.GetEventBuffer(kValidator, events), kResultOk);
  EXPECT_EQ(events[1], 3);
  EXPECT_EQ(events[2], 0) << "stacked";
  std::int32_t count = 0;
  EXPECT_EQ(set_.GetAcceptCntr(kValidator, count), kResultOk);
  EXPECT_EQ(count, 1);
}

TEST_F(OnSimulator, BusyAndSilenceAreResultCodes) {
  QString text = QStringLiteral("kept");
  sim_.injectFault(bnvsim::Fault::Busy);
  EXPECT_EQ(set_.GetEqptID(kValidator, text), kResultBusy);
  EXPECT_EQ(text, QStringLiteral("kept"));
  sim_.injectFault(bnvsim::Fault::Silent);
  EXPECT_EQ(set_.SendPoll(kValidator, text), kResultTimeout);
  EXPECT_EQ(set_.SendPoll(kValidator, text), kResultOk);
}

// The method table's columns against the devices on a bus: each method puts the header its row
// names on the wire, a method marked as only reading leaves every device as it was (a service
// lets any consumer call those), and one that moves a device's money counters is marked as
// moving money. Each method meets a fresh bus: a validator holding a note in escrow, an enabled
// hopper and a coin acceptor; it is sent to each of them in turn.
QString deviceState(const bnvsim::Simulator& sim) {
  const bnvsim::LineOptions line = sim.lineOptions();
  return QStringLiteral(
             "address %1, inhibits %2 %3, master %4, mode %5, escrow %6, events %7, "
             "key %8 %9")
      .arg(sim.validatorAddress())
      .arg(sim.inhibitMask()[0])
      .arg(sim.inhibitMask()[1])
      .arg(sim.masterInhibit())
      .arg(sim.billMode())
      .arg(sim.escrowNote())
      .arg(sim.eventCounter())
      .arg(line.key)
      .arg(line.encryption);
}

// What the devices took and paid, whatever their addresses.
QString moneyState(const bnvsim::Simulator& sim) {
  static const QRegularExpression address(QStringLiteral("^hopper \\d+:"));
  return sim.counters() + QStringLiteral("; ") + QString(sim.hopperCounters()).remove(address);
}

// Inputs that make a method act: 1 for a byte (stack the note, one coin, note 1, master inhibit
// open), a new address no device has, texts of two letters, arrays of the values 1, 2, ... as
// many as the command sends.
QVariantList actingInputs(const MethodInfo& info, std::uint8_t device) {
  QVariantList inputs;
  for (const ParamInfo& p : info.inputs()) {
    if (p.name == u"Device") {
      inputs.append(device);
    } else if (p.type == ParamType::Text) {
      inputs.append(QStringLiteral("GB"));
    } else if (p.type == ParamType::ByteArray) {
      QVariantList values;
      for (int v = 1; v <= p.arraySize; ++v) values.append(v);
      inputs.append(QVariant(values));
    } else {
      inputs.append(p.name == u"Address" ? 7 : 1);
    }
  }
  return inputs;
}

// A validator holding a note in escrow, its notes and master inhibit closed since, an enabled
// hopper and a coin acceptor, as a host sees them.
struct ActingBus {
  bnvsim::Simulator sim{[] {
    bnvsim::SimulatorOptions options;
    options.hopper = true;
    options.coinAcceptor = true;
    options.escrowHoldMs = 0;
    return options;
  }()};
  CommandSet set;

  bool start() {
    if (!sim.start()) return false;
    auto line = std::make_unique<QtSerialLine>();
    line->setDeviceName(sim.slavePath());
    line->setSettings(QStringLiteral("9600,n,8,1"));
    if (!line->open()) return false;
    set.setLine(std::move(line));
    set.setChecksumType(CHKSM_16BIT);
    set.setCommsEcho(true);
    QString text;
    const std::array<std::uint8_t, 2> all = {0xFF, 0xFF};
    const bool ready =
        set.SetInhibitStatus(kValidatorAddress, all, text) == kResultOk &&
        set.SetMasterInhibit(kValidatorAddress, 1, text) == kResultOk &&
        sim.insertNote(3).outcome == bnvsim::Insertion::Held &&
        // Inhibited again, so that each setting a method may send differs from the bus's.
        set.SetMasterInhibit(kValidatorAddress, 0, text) == kResultOk &&
        set.SetInhibitStatus(kValidatorAddress, std::array<std::uint8_t, 2>{}, text) == kResultOk &&
        set.Enable_Hopper(kHopperAddress, text) == kResultOk;
    // A device answers within milliseconds, or not at all to a command its kind does not know:
    // what a method changes is read from the devices, so the silent ones are not waited for long.
    set.setReplyTimeoutMs(150);
    return ready;
  }
};

TEST(MethodTableOnABus, HeadersAndWhatEachMethodChanges) {
  int readers = 0;
  std::unique_ptr<ActingBus> bus;
  for (const MethodInfo& info : methodTable()) {
    if (!info.asksDevice) continue;  // the engine's renderings read the engine
    SCOPED_TRACE(info.name.toStdString());
    // A bus a method changed is set up anew for the next.
    if (!bus) {
      bus = std::make_unique<ActingBus>();
      ASSERT_TRUE(bus->start());
    }
    const QString device = deviceState(bus->sim);
    const QString money = moneyState(bus->sim);

    const std::vector<std::uint8_t> devices =
        info.hasDevice()
            ? std::vector<std::uint8_t>{kValidatorAddress, kHopperAddress, kCoinAcceptorAddress}
            : std::vector<std::uint8_t>{kBroadcastAddress};
    for (const std::uint8_t address : devices) {
      bus->set.forgetLastTransaction();
      info.invoker(bus->set, actingInputs(info, address));
      EXPECT_EQ(bus->set.lastTransaction().frameSent, info.header.has_value());
      if (!info.header) continue;
      const QByteArray sent = bus->set.sentInClear();
      ASSERT_GT(sent.size(), 3);
      EXPECT_EQ(static_cast<std::uint8_t>(sent.at(3)), *info.header);
    }
    const bool deviceChanged = deviceState(bus->sim) != device;
    const bool moneyMoved = moneyState(bus->sim) != money;
    if (info.effect == MethodEffect::ReadsOnly) {
      ++readers;
      EXPECT_FALSE(deviceChanged) << deviceState(bus->sim).toStdString();
      EXPECT_FALSE(moneyMoved) << moneyState(bus->sim).toStdString();
    } else if (moneyMoved) {
      EXPECT_EQ(info.effect, MethodEffect::MovesMoney) << moneyState(bus->sim).toStdString();
    }
    if (info.effect != MethodEffect::ReadsOnly || deviceChanged || moneyMoved) bus.reset();
  }
  EXPECT_GT(readers, 0);
}

}  // namespace
}  // namespace quennet
