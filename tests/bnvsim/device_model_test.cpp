// The device models alone: a header in, the reply bytes the host decodes out.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bnvsim/coin_acceptor.h"
#include "bnvsim/hopper.h"
#include "bnvsim/validator.h"
#include "quennet/link/protocol_events.h"

using namespace bnvsim;
using Bytes = std::vector<std::uint8_t>;

namespace {

Reply ask(Device& device, std::uint8_t header, Bytes data = {}) {
  return device.handle(header, data);
}

std::string text(const Reply& reply) {
  return std::string(reply.data.begin(), reply.data.end());
}

// Every note enabled, as a host leaves the validator before taking money.
void enableAll(Validator& v) {
  EXPECT_EQ(ask(v, 231, {0xFF, 0xFF}).header, kHeaderAck);
  EXPECT_EQ(ask(v, 228, {1}).header, kHeaderAck);
}

Bytes events(Validator& v) {
  return ask(v, 159).data;
}

}  // namespace

TEST(ValidatorIdentity, AnswersInTheFormatsTheHostDecodes) {
  Validator v(40, true);
  EXPECT_EQ(ask(v, 254).header, kHeaderAck);
  EXPECT_TRUE(ask(v, 254).data.empty());
  EXPECT_EQ(text(ask(v, 245)), "Bill Validator");
  EXPECT_EQ(ask(v, 246).data.size(), 3u);
  EXPECT_EQ(ask(v, 242).data, (Bytes{0x87, 0xD6, 0x12})) << "1234567, least significant first";
  EXPECT_EQ(ask(v, 4).data, (Bytes{1, 4, 2}));
  EXPECT_EQ(text(ask(v, 170)), "2000");
  EXPECT_EQ(ask(v, 197).data.size(), 4u);
  EXPECT_EQ(ask(v, 213).data[0] & 4, 4);  // per-note counters supported
  EXPECT_EQ(ask(v, 247).data, (Bytes{16, 1}));
  EXPECT_EQ(ask(v, 249).data.size(), 2u);
  EXPECT_EQ(ask(v, 216).data.size(), 5u);
  EXPECT_EQ(ask(v, 141).data.size(), 1u);
  EXPECT_EQ(ask(v, 169).data.size(), 1u);
  for (std::uint8_t header : {244, 192, 241, 145}) {
    const Reply r = ask(v, header);
    EXPECT_FALSE(r.data.empty()) << int(header);
    for (std::uint8_t b : r.data) EXPECT_GE(b, 32) << "printable text for header " << int(header);
  }
  // Date code: day 1..31, month 1..12 in the bits the host reads.
  const Bytes date = ask(v, 196).data;
  ASSERT_EQ(date.size(), 2u);
  const unsigned word = date[0] | (date[1] << 8);
  EXPECT_GE(word & 0x1F, 1u);
  EXPECT_GE((word >> 5) & 0x0F, 1u);
  EXPECT_LE((word >> 5) & 0x0F, 12u);
  EXPECT_EQ(ask(v, 99).header, kHeaderNak);  // not a command it knows
}

TEST(ValidatorNotes, TableScalingPositionsAndSecurity) {
  Validator v(40, true);
  EXPECT_EQ(text(ask(v, 157, {1})), "GB0005A");
  EXPECT_EQ(text(ask(v, 157, {16})), ".......");
  EXPECT_EQ(ask(v, 157, {17}).header, kHeaderNak);
  EXPECT_EQ(ask(v, 155, {'G', 'B'}).data, (Bytes{0x0F, 0x00}));
  EXPECT_EQ(ask(v, 155, {'E', 'U'}).data, (Bytes{0xF0, 0x07}));
  EXPECT_EQ(ask(v, 155, {'X', 'X'}).data, (Bytes{0, 0}));
  EXPECT_EQ(ask(v, 156, {'G', 'B'}).data, (Bytes{100, 0, 2}));
  EXPECT_EQ(ask(v, 156, {'X', 'X'}).data, (Bytes{0, 0, 0}));
  EXPECT_EQ(ask(v, 180, {3}).data, (Bytes{0}));
  EXPECT_EQ(ask(v, 181, {3, 5}).header, kHeaderAck);
  EXPECT_EQ(ask(v, 180, {3}).data, (Bytes{5}));
  EXPECT_EQ(ask(v, 180, {2}).data, (Bytes{0}));
}

TEST(ValidatorRegisters, InhibitsMasterInhibitAndBillMode) {
  Validator v(40, true);
  EXPECT_EQ(ask(v, 230).data, (Bytes{0, 0}));  // powers up inhibited
  EXPECT_EQ(ask(v, 227).data, (Bytes{0}));
  ask(v, 231, {0x5A, 0x81});
  EXPECT_EQ(ask(v, 230).data, (Bytes{0x5A, 0x81}));
  EXPECT_EQ(v.inhibitMask(), (std::array<std::uint8_t, 2>{0x5A, 0x81}));
  ask(v, 228, {1});
  EXPECT_EQ(ask(v, 227).data, (Bytes{1}));
  EXPECT_EQ(ask(v, 152).data, (Bytes{3}));
  ask(v, 153, {1});
  EXPECT_EQ(ask(v, 152).data, (Bytes{1}));
  EXPECT_EQ(ask(v, 231, {1}).header, kHeaderNak);  // one byte short: register untouched
  EXPECT_EQ(v.inhibitMask()[0], 0x5A);
}

TEST(ValidatorEscrow, HoldStackReturnAndEmptyEscrow) {
  Validator v(40, true);
  enableAll(v);
  EXPECT_EQ(ask(v, 154, {1}).data, (Bytes{254}));  // nothing held
  v.insertNote(3);
  EXPECT_EQ(v.escrowNote(), 3);
  EXPECT_EQ(events(v), (Bytes{1, 3, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
  v.insertNote(4);  // blocked while a note is held
  EXPECT_EQ(events(v)[0], 1);
  EXPECT_EQ(ask(v, 154, {255}).header, kHeaderAck);  // hold on
  EXPECT_EQ(v.escrowNote(), 3);
  EXPECT_EQ(ask(v, 154, {1}).header, kHeaderAck);
  EXPECT_EQ(v.escrowNote(), 0);
  EXPECT_EQ(events(v), (Bytes{2, 3, 0, 3, 1, 0, 0, 0, 0, 0, 0}));
  v.insertNote(2);
  ask(v, 154, {0});
  EXPECT_EQ(events(v), (Bytes{4, 0, 1, 2, 1, 3, 0, 3, 1, 0, 0}));
  EXPECT_EQ(ask(v, 225).data, (Bytes{1, 0, 0}));  // one accepted
  EXPECT_EQ(ask(v, 226).data, (Bytes{2, 0, 0}));  // two inserted
  EXPECT_EQ(ask(v, 150, {3}).data, (Bytes{1, 0, 0}));
  EXPECT_EQ(ask(v, 150, {2}).data, (Bytes{0, 0, 0}));
  EXPECT_EQ(ask(v, 149, {1}).data, (Bytes{1, 0, 0}));  // one returned

  // A brown-out as the stacker runs: the note is in the cash box, the buffer starts again at 0
  // without its event, and every note is inhibited.
  v.brownOutOnStack();
  v.insertNote(5);
  EXPECT_EQ(ask(v, 154, {1}).header, kHeaderAck);
  EXPECT_EQ(events(v), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ask(v, 150, {5}).data, (Bytes{1, 0, 0}));
  EXPECT_EQ(v.masterInhibit(), 0);
  enableAll(v);
  v.insertNote(5);
  ask(v, 154, {1});
  EXPECT_EQ(events(v), (Bytes{2, 5, 0, 5, 1, 0, 0, 0, 0, 0, 0})) << "once only";
}

TEST(ValidatorEscrow, WithoutEscrowANoteIsStackedAtOnce) {
  Validator v(40, true);
  enableAll(v);
  ask(v, 153, {1});
  v.insertNote(5);
  EXPECT_EQ(v.escrowNote(), 0);
  EXPECT_EQ(events(v), (Bytes{1, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

// The stacker bit only says whether a note is stacked or drops into the cash box: with it clear
// a note is still taken, at once without escrow and on route 1 from escrow; only a cash box out
// or full refuses.
TEST(ValidatorEscrow, StackerBitClearStillTakesTheNote) {
  for (const std::uint8_t mode : {0, 2}) {
    SCOPED_TRACE(int(mode));
    Validator v(40, true);
    enableAll(v);
    ask(v, 153, {mode});
    v.insertNote(5);
    if (mode == quennet::kBillModeEscrow) {
      EXPECT_EQ(v.escrowNote(), 5);
      EXPECT_EQ(ask(v, 154, {quennet::kRouteStack}).data, Bytes{});
    }
    EXPECT_EQ(v.escrowNote(), 0);
    EXPECT_EQ(events(v)[1], 5);
    EXPECT_EQ(events(v)[2], quennet::kNoteStacked);
    EXPECT_EQ(ask(v, 225).data, (Bytes{1, 0, 0}));
  }
  Validator v(40, true);
  enableAll(v);
  ask(v, 153, {2});
  v.insertNote(5);
  v.stackerFull();
  EXPECT_EQ(ask(v, 154, {quennet::kRouteStack}).data, (Bytes{quennet::kRouteFailed}));
}

TEST(ValidatorEscrow, RefusedNotesGiveTheirStatusEvent) {
  Validator v(40, true);
  v.insertNote(1);  // master inhibit active
  EXPECT_EQ(events(v)[1], 0);
  EXPECT_EQ(events(v)[2], 0);
  ask(v, 228, {1});
  v.insertNote(1);  // inhibited by the host
  EXPECT_EQ(events(v)[2], 4);
  ask(v, 231, {0xFF, 0xFF});
  v.insertNote(15);  // unused position: validation fail
  EXPECT_EQ(events(v)[2], 2);
  v.removeCashBox();
  v.insertNote(1);
  EXPECT_EQ(events(v)[2], 11);
  EXPECT_EQ(v.escrowNote(), 0);
  EXPECT_EQ(events(v)[0], 5);
  EXPECT_EQ(ask(v, 226).data, (Bytes{4, 0, 0}));
  EXPECT_EQ(ask(v, 225).data, (Bytes{0, 0, 0}));
}

// Every pair the validator raises has its row in the event table, and the table's word on
// escrow is what became of the note held: hosts drop their escrow buttons and hold timers by it.
TEST(ValidatorEvents, EveryPairItRaisesIsInTheTableWithItsEscrowOutcome) {
  using Action = void (*)(Validator&);
  const struct {
    const char* what;
    bool noteHeld;  // a note waits in escrow before the action
    Action action;
  } cases[] = {
      {"master inhibit", false,
       [](Validator& v) {
         ask(v, 228, {0});
         v.insertNote(1);
       }},
      {"note inhibited", false,
       [](Validator& v) {
         ask(v, 231, {0, 0});
         v.insertNote(1);
       }},
      {"not a note", false, [](Validator& v) { v.insertNote(15); }},
      {"held", false, [](Validator& v) { v.insertNote(1); }},
      {"no escrow, no stacker", false,
       [](Validator& v) {
         ask(v, 153, {0});
         v.insertNote(1);
       }},
      {"cash box out", false,
       [](Validator& v) {
         v.removeCashBox();
         v.insertNote(1);
       }},
      {"stacked", true, [](Validator& v) { ask(v, 154, {quennet::kRouteStack}); }},
      {"returned", true, [](Validator& v) { ask(v, 154, {quennet::kRouteReturn}); }},
      {"hold time over", true, [](Validator& v) { v.advance(1e9); }},
      {"jam", true, [](Validator& v) { v.jam(); }},
      {"cheat", true, [](Validator& v) { v.cheat(); }},
      {"stacker full", true, [](Validator& v) { v.stackerFull(); }},
      {"cash box in", true, [](Validator& v) { v.insertCashBox(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Validator v(40, true);
    enableAll(v);
    if (c.noteHeld) v.insertNote(3);
    const std::uint8_t before = events(v)[0];
    c.action(v);
    const Bytes buffer = events(v);
    ASSERT_NE(buffer[0], before) << "raised no event";
    const std::uint8_t a = buffer[1];
    const std::uint8_t b = buffer[2];
    if (a == 0) {
      EXPECT_NE(quennet::billStatus(b), nullptr) << "status " << int(b);
    }
    if (c.noteHeld) {
      EXPECT_EQ(quennet::leavesEscrow(a, b), v.escrowNote() == 0) << int(a) << "," << int(b);
    } else if (v.escrowNote() != 0) {
      EXPECT_EQ(quennet::eventKind(quennet::EventBuffer::Bill, a, b), quennet::EventKind::Escrow);
    }
  }
}

TEST(ValidatorEvents, CounterWrapsTo1AndIsZeroOnlyAfterReset) {
  Validator v(40, true);
  for (int i = 0; i < 255; ++i) v.cheat();
  EXPECT_EQ(events(v)[0], 255);
  v.cheat();
  EXPECT_EQ(events(v)[0], 1);
  EXPECT_EQ(ask(v, 149, {8}).data, (Bytes{0, 1, 0}));  // 256 pulled-back attempts
  enableAll(v);
  v.insertNote(1);
  EXPECT_TRUE(v.escrowNote());
  ask(v, 153, {1});
  ask(v, 146, {1, 1, 0});
  // A reset is a power cycle: the host's settings are gone and the held note goes back.
  EXPECT_EQ(ask(v, 1).header, kHeaderAck);
  EXPECT_EQ(events(v), Bytes(11, 0));
  EXPECT_EQ(v.escrowNote(), 0);
  EXPECT_FALSE(v.deadline().has_value());
  EXPECT_EQ(ask(v, 230).data, (Bytes{0, 0}));
  EXPECT_EQ(ask(v, 227).data, (Bytes{0}));
  EXPECT_EQ(ask(v, 152).data, (Bytes{kPowerUpBillMode}));
  EXPECT_EQ(ask(v, 148).data[0] & 8, 0);  // motors stopped
  v.insertNote(1);
  EXPECT_EQ(events(v), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));  // master inhibit active
  v.jam();
  EXPECT_EQ(events(v)[0], 2);
  EXPECT_EQ(events(v)[2], 6);
}

TEST(ValidatorEscrow, AnUnroutedNoteIsReturnedAfterTheHoldTimeAndHoldRestartsIt) {
  Validator v(40, true);
  v.setEscrowHoldMs(100);
  enableAll(v);
  v.advance(1000);
  v.insertNote(3);
  EXPECT_EQ(v.deadline(), 1100);
  v.advance(1080);
  EXPECT_EQ(ask(v, 154, {255}).header, kHeaderAck);  // hold: the time starts again
  EXPECT_EQ(v.deadline(), 1180);
  v.advance(1179);
  EXPECT_EQ(v.escrowNote(), 3);
  v.advance(1180);
  EXPECT_EQ(v.escrowNote(), 0);
  EXPECT_FALSE(v.deadline().has_value());
  EXPECT_EQ(events(v), (Bytes{2, 0, 1, 3, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ask(v, 154, {1}).data, (Bytes{254}));  // nothing left to route

  v.setEscrowHoldMs(0);  // held until the host decides
  v.insertNote(4);
  v.advance(1e9);
  EXPECT_EQ(v.escrowNote(), 4);
}

TEST(ValidatorDiagnostics, StackerMotorsOptosAndKeys) {
  Validator v(40, true);
  const Reply cycle = ask(v, 147);
  EXPECT_EQ(cycle.header, kHeaderAck);
  EXPECT_GE(cycle.delayMs, 500);
  v.stackerFull();
  EXPECT_EQ(ask(v, 147).data, (Bytes{254}));
  EXPECT_EQ(ask(v, 148).data[0] & 4, 4);
  v.insertCashBox();
  EXPECT_EQ(ask(v, 147).header, kHeaderAck);
  Validator bare(40, false);
  EXPECT_EQ(ask(bare, 147).data, (Bytes{255}));
  EXPECT_EQ(ask(bare, 147).delayMs, 0);

  EXPECT_EQ(ask(v, 146, {1, 1, 0}).header, kHeaderAck);
  EXPECT_EQ(ask(v, 148).data[0] & 8, 8);
  EXPECT_EQ(ask(v, 232).data, (Bytes{0}));
  v.setSelfTestFault(39);
  EXPECT_EQ(ask(v, 232).data, (Bytes{39, 0}));
  EXPECT_FALSE(ask(v, 237).data.empty());
  EXPECT_FALSE(ask(v, 255).data.empty());

  // Key bytes as the host packs "582604": digits 2,1 / 4,3 / 6,5 in high and low nibbles.
  const Reply change = ask(v, 137, {0x85, 0x62, 0x40});
  EXPECT_EQ(change.header, kHeaderAck);
  ASSERT_TRUE(change.newKeyCode.has_value());
  EXPECT_EQ(*change.newKeyCode, 0x406285);
  EXPECT_EQ(ask(v, 136).header, kHeaderAck);
  EXPECT_EQ(ask(v, 137, {1, 2}).header, kHeaderNak);
}

TEST(ValidatorAddressing, ChangeRandomAndCommsCounters) {
  Validator v(40, true);
  EXPECT_EQ(ask(v, 251, {50}).header, kHeaderAck);
  EXPECT_EQ(v.address(), 50);
  EXPECT_EQ(ask(v, 251, {1}).header, kHeaderNak);
  EXPECT_EQ(v.address(), 50);
  for (int i = 0; i < 200; ++i) {
    ask(v, 250);
    ASSERT_GE(v.address(), 2);
  }
  v.comms() = CommsCounters{3, 7, 2};
  EXPECT_EQ(ask(v, 2).data, (Bytes{3, 7, 2}));
  EXPECT_EQ(ask(v, 3).header, kHeaderAck);
  EXPECT_EQ(ask(v, 2).data, (Bytes{0, 0, 0}));
}

TEST(HopperModel, DispenseChecksTheCodeAndEnable) {
  Hopper h;
  const Bytes goodCode{0x04, 0xE8, 0xE8};  // 15263748, least significant first
  Bytes dispense5 = goodCode;
  dispense5.push_back(5);
  EXPECT_EQ(ask(h, 167, dispense5).header, kHeaderNak);  // payout not enabled
  EXPECT_EQ(ask(h, 163).data[0] & 0x80, 0x80);
  ask(h, 164, {165});
  EXPECT_EQ(ask(h, 163).data[0] & 0x80, 0);
  EXPECT_EQ(ask(h, 167, {0x05, 0xE8, 0xE8, 5}).header, kHeaderNak);  // wrong code
  EXPECT_EQ(ask(h, 167, dispense5).header, kHeaderAck);
  h.advance(1000);  // five coins at six a second
  EXPECT_EQ(ask(h, 168).data, (Bytes{5, 0, 0}));
  EXPECT_EQ(ask(h, 166).data, (Bytes{1, 0, 5, 0}));
  ask(h, 164, {0});
  EXPECT_EQ(ask(h, 167, dispense5).header, kHeaderNak);
  EXPECT_EQ(text(ask(h, 245)), "Payout");
  // Another hopper in its place: its own serial number and count.
  h.replace(700999, 0);
  EXPECT_EQ(ask(h, 242).data, (Bytes{0x47, 0xB2, 0x0A}));
  EXPECT_EQ(ask(h, 168).data, (Bytes{0, 0, 0}));
  EXPECT_EQ(ask(h, 163).data[0] & 0x80, 0x80) << "payout disabled, as at power-up";
}

// A payout as the host sees it over time: the dispense acknowledged at once, then the status
// (event counter, coins remaining, paid, unpaid) and the dispense count moving a coin at a time.
// Each step happens at its time in ms after the hopper was enabled and the first dispense sent.
TEST(HopperModel, PaysOverTimeAndEndsOnStopJamEmptyOrPowerCycle) {
  struct Step {
    double atMs;
    std::uint8_t header;
    Bytes data;
    std::uint8_t replyHeader;
    Bytes reply;
  };
  struct Scenario {
    const char* name;
    int rate;            // coins a second
    int held;            // coins in the hopper
    int jamAfter;        // -1: no jam
    bool serialCode;     // takes its serial number (700301: 8D AF 0A) as the code
    Bytes code;          // what the host sends as the code
    std::uint8_t coins;  // the first dispense
    std::uint8_t firstReply;
    std::vector<Step> steps;
  };
  const Bytes fixed{0x04, 0xE8, 0xE8};
  const Bytes serial{0x8D, 0xAF, 0x0A};
  const auto dispense = [](Bytes code, std::uint8_t coins) {
    code.push_back(coins);
    return code;
  };
  const std::vector<Scenario> scenarios = {
      {"ten a second",
       10,
       500,
       -1,
       false,
       fixed,
       5,
       kHeaderAck,
       {{0, 166, {}, kHeaderAck, {1, 5, 0, 0}},
        {99, 168, {}, kHeaderAck, {0, 0, 0}},
        {250, 166, {}, kHeaderAck, {1, 3, 2, 0}},
        {250, 168, {}, kHeaderAck, {2, 0, 0}},
        // A second dispense while paying is refused and changes nothing.
        {260, 167, dispense(fixed, 3), kHeaderNak, {}},
        {260, 166, {}, kHeaderAck, {1, 3, 2, 0}},
        {500, 166, {}, kHeaderAck, {1, 0, 5, 0}},
        {500, 168, {}, kHeaderAck, {5, 0, 0}},
        {2000, 168, {}, kHeaderAck, {5, 0, 0}},
        // Done: the next payout is taken and counted.
        {2000, 167, dispense(fixed, 1), kHeaderAck, {}},
        {2100, 166, {}, kHeaderAck, {2, 0, 1, 0}}}},
      {"emergency stop",
       10,
       500,
       -1,
       false,
       fixed,
       5,
       kHeaderAck,
       {{250, 172, {}, kHeaderAck, {3}},
        {250, 166, {}, kHeaderAck, {1, 0, 2, 3}},
        {1000, 168, {}, kHeaderAck, {2, 0, 0}},
        {1000, 167, dispense(fixed, 1), kHeaderNak, {}},  // payout off until enabled again
        {1000, 164, {165}, kHeaderAck, {}},
        {1000, 167, dispense(fixed, 1), kHeaderAck, {}},
        {1000, 172, {}, kHeaderAck, {1}},
        {1000, 172, {}, kHeaderAck, {0}}}},
      {"power cycle",
       10,
       500,
       -1,
       false,
       fixed,
       5,
       kHeaderAck,
       {{250, 1, {}, kHeaderAck, {}},
        // The payout's counts are gone; only the dispense count keeps what went out.
        {250, 166, {}, kHeaderAck, {0, 0, 0, 0}},
        {1000, 166, {}, kHeaderAck, {0, 0, 0, 0}},
        {1000, 168, {}, kHeaderAck, {2, 0, 0}},
        {1000, 167, dispense(fixed, 1), kHeaderNak, {}}}},
      {"jam",
       10,
       500,
       2,
       false,
       fixed,
       5,
       kHeaderAck,
       {{1000, 166, {}, kHeaderAck, {1, 0, 2, 3}}, {1000, 168, {}, kHeaderAck, {2, 0, 0}}}},
      {"runs empty",
       10,
       3,
       -1,
       false,
       fixed,
       5,
       kHeaderAck,
       {{1000, 166, {}, kHeaderAck, {1, 0, 3, 2}}, {1000, 168, {}, kHeaderAck, {3, 0, 0}}}},
      {"every coin within the command",
       0,
       500,
       -1,
       false,
       fixed,
       5,
       kHeaderAck,
       {{0, 166, {}, kHeaderAck, {1, 0, 5, 0}}, {0, 168, {}, kHeaderAck, {5, 0, 0}}}},
      {"serial number as code",
       10,
       500,
       -1,
       true,
       serial,
       2,
       kHeaderAck,
       {{300, 166, {}, kHeaderAck, {1, 0, 2, 0}}, {300, 167, dispense(fixed, 2), kHeaderNak, {}}}},
      {"fixed code refused by a hopper that takes its serial",
       10,
       500,
       -1,
       true,
       fixed,
       2,
       kHeaderNak,
       {{300, 166, {}, kHeaderAck, {0, 0, 0, 0}}, {300, 168, {}, kHeaderAck, {0, 0, 0}}}},
  };
  for (const Scenario& sc : scenarios) {
    SCOPED_TRACE(sc.name);
    Hopper h(quennet::kHopperAddress, kDefaultHopperCode, sc.held);
    h.setRate(sc.rate);
    h.setSerialAsCode(sc.serialCode);
    if (sc.jamAfter >= 0) h.jamAfter(sc.jamAfter);
    ask(h, 164, {165});
    EXPECT_EQ(ask(h, 167, dispense(sc.code, sc.coins)).header, sc.firstReply);
    for (const Step& step : sc.steps) {
      SCOPED_TRACE(testing::Message() << step.atMs << " ms, header " << int(step.header));
      h.advance(step.atMs);
      const Reply r = ask(h, step.header, step.data);
      EXPECT_EQ(r.header, step.replyHeader);
      EXPECT_EQ(r.data, step.reply);
    }
  }
}

// What hosts read from coin acceptors and hoppers at start, and give up on when refused.
TEST(CoinDevices, AnswerWhatHostsReadAtStart) {
  CoinAcceptor c;
  Hopper h;
  c.insertCoin(4);  // inhibited: inserted, not accepted
  ask(c, 231, {0xFF, 0});
  ask(c, 228, {1});
  c.insertCoin(4);
  c.insertCoin(2);
  struct Row {
    Device& device;
    std::uint8_t header;
    Bytes data;
    Bytes reply;
  };
  const Row rows[] = {
      {c, 249, {}, {2, 20}},   {h, 249, {}, {2, 20}},       {c, 243, {}, {1}},
      {h, 243, {}, {1}},       {c, 209, {4}, {1, 0, 0, 0}}, {h, 209, {1}, {1, 0, 0, 0}},
      {c, 225, {}, {2, 0, 0}}, {c, 226, {}, {3, 0, 0}},
  };
  for (const Row& row : rows) {
    const Reply r = ask(row.device, row.header, row.data);
    EXPECT_EQ(r.header, kHeaderAck) << int(row.header);
    EXPECT_EQ(r.data, row.reply) << int(row.header);
  }
  EXPECT_EQ(ask(c, 209).header, kHeaderNak) << "a sorter path is that of a coin position";
}

TEST(CoinAcceptorModel, BufferedCreditsAndCoinIds) {
  CoinAcceptor c;
  c.insertCoin(4);  // inhibited at power-up
  EXPECT_EQ(ask(c, 229).data, (Bytes{1, 0, kCoinInhibited, 0, 0, 0, 0, 0, 0, 0, 0}));
  ask(c, 231, {0xFF, 0});
  ask(c, 228, {1});
  c.insertCoin(4);
  EXPECT_EQ(ask(c, 229).data, (Bytes{2, 4, 0, 0, kCoinInhibited, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(text(ask(c, 184, {4})), "GB010A");
  EXPECT_EQ(text(ask(c, 184, {12})), "......");
  EXPECT_EQ(ask(c, 159).header, kHeaderNak);  // not a validator
  ask(c, 1);  // power-up state again: credits gone, every coin inhibited
  EXPECT_EQ(ask(c, 230).data, (Bytes{0, 0}));
  EXPECT_EQ(ask(c, 227).data, (Bytes{0}));
  c.insertCoin(4);
  EXPECT_EQ(ask(c, 229).data, (Bytes{1, 0, kCoinInhibited, 0, 0, 0, 0, 0, 0, 0, 0}));
  c.insertCoin(kCoinPositions + 1);  // no such coin
  EXPECT_EQ(ask(c, 229).data[2], kCoinRejected);
  // Ordinary refusals: the event table must not make them faults that call for a person.
  for (std::uint8_t code : {kCoinInhibited, kCoinRejected}) {
    EXPECT_EQ(quennet::eventKind(quennet::EventBuffer::Coin, 0, code), quennet::EventKind::Status)
        << int(code);
  }
}
