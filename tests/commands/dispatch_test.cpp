#include <algorithm>
#include <functional>

#include <QSet>

#include "quennet/commands/dispatch.h"
#include "quennet/link/protocol.h"
#include "tests/commands/scripted_device.h"

namespace quennet::testing {
namespace {

using Dispatch = ScriptedDevice;

TEST(DispatchTable, HoldsTheSixtyTwoMethodsInInterfaceOrder) {
  const QStringList expected = {"SendPoll",
                                "CommandSent",
                                "ReplyBack",
                                "GetBuildCode",
                                "GetProductCode",
                                "GetManfctrID",
                                "GetEqptID",
                                "GetSerialNo",
                                "GetCommsRevn",
                                "GetCodeRevn",
                                "GetCommsStatus",
                                "ClearCommsStatus",
                                "ResetDevice",
                                "GetEventBuffer",
                                "GetCoinBuffer",
                                "GetMasterInhibit",
                                "SetMasterInhibit",
                                "GetInhibitStatus",
                                "SetInhibitStatus",
                                "RouteBill",
                                "ReadFeedbag",
                                "RequestBillID",
                                "RequestScaleFactor",
                                "ModifyBillID",
                                "RequestBillPosition",
                                "SetBillOperatingMode",
                                "ReadBillOperatingMode",
                                "GetROMChksum",
                                "GetAddrMode",
                                "ModifyBillScty",
                                "RequestBillScty",
                                "GetOptionFlags",
                                "GetAcceptCntr",
                                "AddressPoll",
                                "AddressClash",
                                "AddressChange",
                                "AddressRandom",
                                "CycleStacker",
                                "ReadOptos",
                                "OperateMotors",
                                "ChangeKey",
                                "SaveKey",
                                "GetInsertnCntr",
                                "GetErrorCounter",
                                "GetIndNoteCounter",
                                "GetVariableSet",
                                "GetPollPriority",
                                "GetBaseYear",
                                "GetCreationDate",
                                "GetDataStoreAvblty",
                                "GetFirmwareUpgrdCpblty",
                                "GetCurrencyRevn",
                                "RunSelfTest",
                                "ReadInputLines",
                                "Test_Hopper",
                                "Dispense_Coins",
                                "Get_Hopper_Status",
                                "Enable_Hopper",
                                "Disable_Hopper",
                                "Hopper_Stop",
                                "Get_Hopper_Count",
                                "RequestCoinID"};
  QStringList names;
  for (const MethodInfo& info : methodTable()) names.append(info.name);
  EXPECT_EQ(names, expected);
  EXPECT_EQ(names.size(), 62);
}

TEST(DispatchTable, DescribesDirectionsTypesAndArraySizes) {
  const MethodInfo* events = findMethod(QStringLiteral("GetEventBuffer"));
  ASSERT_NE(events, nullptr);
  EXPECT_EQ(events->signature(),
            QStringLiteral("GetEventBuffer(Device: Byte, out bytBuffer: ByteArray[11])"));
  EXPECT_EQ(findMethod(QStringLiteral("ModifyScty")), nullptr);
  EXPECT_FALSE(findMethod(QStringLiteral("AddressPoll"))->hasDevice());
  EXPECT_TRUE(findMethod(QStringLiteral("Hopper_Stop"))->hasDevice());
  EXPECT_EQ(findMethod(QStringLiteral("ReadOptos"))->outputs().front().arraySize, 17);
  EXPECT_EQ(findMethod(QStringLiteral("ReadFeedbag"))->outputs().front().arraySize, 50);
  EXPECT_EQ(findMethod(QStringLiteral("GetCommsStatus"))->outputs().front().arraySize, 3);
  EXPECT_EQ(findMethod(QStringLiteral("RequestScaleFactor"))->signature(),
            QStringLiteral("RequestScaleFactor(Device: Byte, Country: Text[2], "
                           "out ScaleData: ByteArray[3])"));
  EXPECT_EQ(findMethod(QStringLiteral("GetErrorCounter"))->signature(),
            QStringLiteral("GetErrorCounter(Device: Byte, ErrorNo: Byte, out ErrorCount: Long)"));
  EXPECT_EQ(findMethod(QStringLiteral("ReplyBack"))->signature(),
            QStringLiteral("ReplyBack(Style: Long, out Text: Text)"));
}

// Inputs every method accepts: note numbers stay within 16, texts hold two letters, arrays the
// values 1, 2, ... as many as the command sends.
QStringList sampleInputs(const MethodInfo& info) {
  QStringList inputs;
  for (const ParamInfo& p : info.inputs()) {
    switch (p.type) {
      case ParamType::Byte:
        inputs.append(QStringLiteral("3"));
        break;
      case ParamType::Long:
        inputs.append(QStringLiteral("0"));
        break;
      case ParamType::Text:
        inputs.append(QStringLiteral("GB"));
        break;
      case ParamType::ByteArray: {
        QStringList values;
        for (int v = 1; v <= p.arraySize; ++v) values.append(QString::number(v));
        inputs.append(values.join(u','));
        break;
      }
    }
  }
  return inputs;
}

TEST_F(Dispatch, EveryCommandReturnsFiveWithoutTrafficWhileClosed) {
  answerAck();
  set_.line()->close();
  const QSet<QString> notCommands = {QStringLiteral("ModifyBillID"), QStringLiteral("CommandSent"),
                                     QStringLiteral("ReplyBack")};
  int commands = 0;
  for (const MethodInfo& info : methodTable()) {
    const InvokeResult out = invoke(set_, info.name, sampleInputs(info));
    if (notCommands.contains(info.name)) {
      EXPECT_EQ(out.result, kResultOk) << info.name.toStdString();
      continue;
    }
    ++commands;
    EXPECT_EQ(out.result, kResultNotEnabled) << info.name.toStdString();
  }
  EXPECT_EQ(commands, 59);
  EXPECT_TRUE(nothingSent());
}

TEST_F(Dispatch, OwnBufferOutputsAreDerivedWhileClosed) {
  set_.line()->close();
  EXPECT_EQ(invoke(set_, QStringLiteral("GetSerialNo"), QStringList{"40"}).outputs,
            (QVariantMap{{"strResponse", QStringLiteral("0000000")}}));
  EXPECT_EQ(invoke(set_, QStringLiteral("GetCreationDate"), QStringList{"40"}).outputs,
            (QVariantMap{{"CreationDate", QStringLiteral("Unknown")}}));
  EXPECT_EQ(invoke(set_, QStringLiteral("GetIndNoteCounter"), QStringList{"40", "3"}).outputs,
            (QVariantMap{{"AcceptCount", 0}}));
}

// Every command: what it puts on the wire, driven by name with the sample inputs (Device 3);
// the reply time-out it waits (200 ms for no data, 500 ms for data, 1200 ms to collect a bus's
// answers, 8000 ms for the stacker); the data bytes its reply must carry (0: an ACK or any
// text will do; fewer than all it asks for where the reply's length is the device's choice);
// and, where every reply carries the same count (a note's identity, a counter), that count.
struct WireRow {
  const char* method;
  int destination;
  int header;
  std::vector<std::uint8_t> data;
  int timeoutMs;
  int fewestData;
  int exactData = -1;
};

class WireFormat : public ScriptedDevice, public ::testing::WithParamInterface<WireRow> {
 protected:
  InvokeResult call() {
    const QString name = QString::fromLatin1(GetParam().method);
    const MethodInfo* info = findMethod(name);
    EXPECT_NE(info, nullptr);
    return info ? invoke(set_, name, sampleInputs(*info)) : InvokeResult{};
  }
};

TEST_P(WireFormat, HeaderAndDataBytes) {
  answerAck();
  call();
  EXPECT_EQ(sentDestination(), GetParam().destination);
  EXPECT_EQ(sentHeader(), GetParam().header);
  EXPECT_EQ(sentData(), GetParam().data);
}

TEST_P(WireFormat, TimeoutAndTheDataARequestNeeds) {
  const WireRow& row = GetParam();
  line_->setAnswerOnWait(true);
  // Each wait's budget is recorded as it starts: the waits themselves need not run out.
  line_->setEndsWaitsWhenPlayedOut(true);
  const std::vector<std::uint8_t> enough(
      static_cast<std::size_t>(std::max(row.fewestData, row.exactData)), 1);
  // A bus collection runs its window; any other command ends on its frame.
  if (row.timeoutMs == 1200) {
    answerAddresses({7});
  } else {
    answer(replyFrame(0, enough));
  }
  line_->clearLog();
  EXPECT_EQ(call().result, kResultOk) << set_.caption().toStdString();
  ASSERT_FALSE(line_->waitBudgets().empty());
  const qint64 budget = *std::max_element(line_->waitBudgets().begin(), line_->waitBudgets().end());
  EXPECT_LE(budget, row.timeoutMs);
  EXPECT_GT(budget, row.timeoutMs - 50);
  const std::vector<std::uint8_t> tooFew(enough.begin(), enough.end() - (enough.empty() ? 0 : 1));
  if (row.fewestData > 0) {
    // Asked for data, answered without it: never a 0 that promises data.
    for (const QByteArray& reply : {replyFrame(0), replyFrame(kHeaderNak)}) {
      answer(reply);
      EXPECT_EQ(call().result, kResultChecksum) << reply.toHex().toStdString();
      EXPECT_TRUE(set_.caption().startsWith(QStringLiteral("Reply Too Short [")))
          << set_.caption().toStdString();
      EXPECT_EQ(set_.lastTransaction().refusal, Failure::TooShort);
    }
  }
  if (row.exactData < 0) {
    if (row.fewestData == 0) return;
    answer(replyFrame(0, tooFew));
    EXPECT_EQ(call().result, kResultChecksum);
    EXPECT_EQ(set_.lastTransaction().refusal, Failure::TooShort);
    return;
  }
  // A reply of a fixed length is that long: a bare ACK, one byte short or one long is no answer,
  // text command or not.
  std::vector<std::uint8_t> tooMany(enough);
  tooMany.push_back(1);
  answer(replyFrame(0));
  EXPECT_EQ(call().result, kResultChecksum) << "a bare ACK";
  EXPECT_EQ(set_.caption(), QStringLiteral("Reply Too Short [ACK]"));
  EXPECT_EQ(set_.lastTransaction().refusal, Failure::TooShort);
  for (const auto& data : {tooFew, tooMany}) {
    if (data.empty()) continue;  // the bare ACK above
    answer(replyFrame(0, data));
    EXPECT_EQ(call().result, kResultChecksum) << data.size() << " bytes";
    EXPECT_EQ(set_.caption(),
              QStringLiteral("Reply Length Error [%1 <> %2]").arg(data.size()).arg(row.exactData));
    EXPECT_EQ(set_.lastTransaction().refusal, Failure::WrongLength);
    EXPECT_FALSE(set_.acknowledged());
  }
}

// The protocol table describes each of these frames as the method sends it: the monitor and the
// bus client read their lengths and waits from the table, not from the methods.
TEST_P(WireFormat, AgreesWithTheProtocolTable) {
  const WireRow& row = GetParam();
  const HeaderInfo* info = headerInfo(static_cast<std::uint8_t>(row.header));
  ASSERT_NE(info, nullptr);
  EXPECT_TRUE(info->sent());
  EXPECT_EQ(info->requestData, static_cast<int>(row.data.size()));
  EXPECT_EQ(replyWaitMs(info->wait), row.timeoutMs);
  EXPECT_EQ(gathersAnswers(info->header), row.timeoutMs == 1200);
  if (row.fewestData > 0) {
    EXPECT_EQ(info->replyLeast, row.fewestData);
  }
  EXPECT_GE(info->replyData, info->replyLeast);
  EXPECT_EQ(info->exactReplyData(), row.exactData);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, WireFormat,
    ::testing::Values(
        WireRow{"SendPoll", 3, 254, {}, 200, 0}, WireRow{"GetBuildCode", 3, 192, {}, 500, 0},
        WireRow{"GetProductCode", 3, 244, {}, 500, 0}, WireRow{"GetManfctrID", 3, 246, {}, 500, 0},
        WireRow{"GetEqptID", 3, 245, {}, 500, 0}, WireRow{"GetSerialNo", 3, 242, {}, 500, 3, 3},
        WireRow{"GetCommsRevn", 3, 4, {}, 500, 0, 3}, WireRow{"GetCodeRevn", 3, 241, {}, 500, 0},
        WireRow{"GetCommsStatus", 3, 2, {}, 500, 3, 3},
        WireRow{"ClearCommsStatus", 3, 3, {}, 200, 0}, WireRow{"ResetDevice", 3, 1, {}, 200, 0},
        WireRow{"GetEventBuffer", 3, 159, {}, 500, 11, 11},
        WireRow{"GetCoinBuffer", 3, 229, {}, 500, 11, 11},
        WireRow{"GetMasterInhibit", 3, 227, {}, 500, 1, 1},
        WireRow{"SetMasterInhibit", 3, 228, {3}, 200, 0},
        WireRow{"GetInhibitStatus", 3, 230, {}, 500, 2, 2},
        WireRow{"SetInhibitStatus", 3, 231, {1, 2}, 200, 0},
        WireRow{"RouteBill", 3, 154, {3}, 200, 0}, WireRow{"ReadFeedbag", 3, 255, {}, 500, 1},
        WireRow{"RequestBillID", 3, 157, {3}, 500, 0, 7},
        WireRow{"RequestScaleFactor", 3, 156, {71, 66}, 500, 3, 3},
        WireRow{"RequestBillPosition", 3, 155, {71, 66}, 500, 2, 2},
        WireRow{"SetBillOperatingMode", 3, 153, {3}, 200, 0},
        WireRow{"ReadBillOperatingMode", 3, 152, {}, 500, 1},
        WireRow{"GetROMChksum", 3, 197, {}, 500, 4, 4}, WireRow{"GetAddrMode", 3, 169, {}, 500, 1},
        WireRow{"ModifyBillScty", 3, 181, {3, 3}, 200, 0},
        WireRow{"RequestBillScty", 3, 180, {3}, 500, 1, 1},
        WireRow{"GetOptionFlags", 3, 213, {}, 500, 1, 1},
        WireRow{"GetAcceptCntr", 3, 225, {}, 500, 3, 3},
        WireRow{"AddressPoll", 0, 253, {}, 1200, 0}, WireRow{"AddressClash", 0, 252, {}, 1200, 0},
        WireRow{"AddressChange", 3, 251, {3}, 200, 0}, WireRow{"AddressRandom", 3, 250, {}, 200, 0},
        WireRow{"CycleStacker", 3, 147, {}, 8000, 0}, WireRow{"ReadOptos", 3, 148, {}, 500, 1},
        WireRow{"OperateMotors", 3, 146, {1, 2, 3}, 200, 0},
        WireRow{"ChangeKey", 3, 137, {1, 2, 3}, 200, 0}, WireRow{"SaveKey", 3, 136, {}, 200, 0},
        WireRow{"GetInsertnCntr", 3, 226, {}, 500, 3, 3},
        WireRow{"GetErrorCounter", 3, 149, {3}, 500, 3, 3},
        WireRow{"GetIndNoteCounter", 3, 150, {3}, 500, 3, 3},
        WireRow{"GetVariableSet", 3, 247, {}, 500, 2},
        WireRow{"GetPollPriority", 3, 249, {}, 500, 2, 2},
        WireRow{"GetBaseYear", 3, 170, {}, 500, 0, 4},
        WireRow{"GetCreationDate", 3, 196, {}, 500, 2, 2},
        WireRow{"GetDataStoreAvblty", 3, 216, {}, 500, 5, 5},
        WireRow{"GetFirmwareUpgrdCpblty", 3, 141, {}, 500, 1},
        WireRow{"GetCurrencyRevn", 3, 145, {}, 500, 0}, WireRow{"RunSelfTest", 3, 232, {}, 500, 1},
        WireRow{"ReadInputLines", 3, 237, {}, 500, 1}, WireRow{"Test_Hopper", 3, 163, {}, 500, 1},
        WireRow{"Dispense_Coins", 3, 167, {4, 232, 232, 3}, 200, 0},
        WireRow{"Get_Hopper_Status", 3, 166, {}, 500, 4, 4},
        WireRow{"Enable_Hopper", 3, 164, {165}, 200, 0},
        WireRow{"Disable_Hopper", 3, 164, {0}, 200, 0}, WireRow{"Hopper_Stop", 3, 172, {}, 200, 0},
        WireRow{"Get_Hopper_Count", 3, 168, {}, 500, 3, 3},
        WireRow{"RequestCoinID", 3, 184, {3}, 500, 0, 6}),
    [](const auto& info) { return std::string(info.param.method); });

TEST_F(Dispatch, OutputsCarryTheirNamesAndTypes) {
  answerData({5, 1, 3, 0, 0, 0, 0, 0, 0, 0, 0});
  const InvokeResult events = invoke(set_, QStringLiteral("GetEventBuffer"), QVariantList{40});
  EXPECT_EQ(events.result, kResultOk);
  EXPECT_EQ(events.outputs.value("bytBuffer").toList(),
            (QVariantList{5, 1, 3, 0, 0, 0, 0, 0, 0, 0, 0}));

  answer(replyFrame(kHeaderBusy));
  const InvokeResult disabled = invoke(set_, QStringLiteral("Disable_Hopper"), QStringList{"3"});
  EXPECT_EQ(disabled.result, kResultBusy);

  const InvokeResult sent = invoke(set_, QStringLiteral("CommandSent"), QVariantList{1});
  EXPECT_EQ(sent.outputs.value("Text").toString(), QStringLiteral("3,1,1,164,0,87,"));

  line_->clearLog();
  const InvokeResult inhibit =
      invoke(set_, QStringLiteral("SetInhibitStatus"), QVariantList{40, QVariantList{255, 127}});
  EXPECT_EQ(inhibit.result, kResultBusy);
  EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{255, 127}));
}

// Misuse of the table raises a MisuseError of its own, never the control's numbered QuennetError
// (which a caller reports with the method's name in front).
TEST_F(Dispatch, MisuseOfTheTableIsAMisuseError) {
  answerAck();
  const auto refusedByTable = [&](const char* what, const std::function<void()>& call) {
    try {
      call();
      ADD_FAILURE() << what << " was taken";
    } catch (const QuennetError& error) {
      ADD_FAILURE() << what << " raised the control's error " << error.number();
    } catch (const MisuseError& error) {
      EXPECT_FALSE(error.message().isEmpty()) << what;
    }
  };
  const auto rejects = [&](const char* name, const QStringList& inputs) {
    refusedByTable(name, [&] { invoke(set_, QString::fromLatin1(name), inputs); });
  };
  rejects("NoSuchMethod", {"40"});
  rejects("SendPoll", {});
  rejects("SendPoll", {"40", "1"});
  rejects("SendPoll", {"256"});
  rejects("SendPoll", {"-1"});
  rejects("SendPoll", {"4O"});
  rejects("SetInhibitStatus", {"40", "255,x"});
  rejects("SetInhibitStatus", {"40", "255,300"});
  rejects("ReplyBack", {"40000"});
  // More than the command sends is refused, never cut to what fits.
  rejects("SetInhibitStatus", {"40", "1,2,3"});
  rejects("OperateMotors", {"40", "0,0,0,7"});
  rejects("ChangeKey", {"40", "1,2,3,4"});
  rejects("RequestScaleFactor", {"40", "GBX"});
  rejects("RequestBillPosition", {"40", "GBX"});
  refusedByTable("three inhibit bytes", [&] {
    invoke(set_, QStringLiteral("SetInhibitStatus"), QVariantList{40, QVariantList{255, 255, 1}});
  });
  EXPECT_TRUE(nothingSent());
}

}  // namespace
}  // namespace quennet::testing
