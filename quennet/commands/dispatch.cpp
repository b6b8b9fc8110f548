#include "quennet/commands/dispatch.h"

#include <algorithm>

#include <QByteArray>

#include "quennet/commands/dispatch_binding.h"
#include "quennet/link/protocol.h"

namespace quennet {

namespace dispatch_detail {

namespace {

std::int64_t toInteger(const QVariant& value, const QString& param) {
  bool ok = false;
  std::int64_t number = 0;
  if (value.typeId() == QMetaType::QString) {
    // Qt's conversion stops at a NUL: "2\0" 5 would read as 2.
    const QString text = value.toString().trimmed();
    if (!text.contains(QChar::Null)) number = text.toLongLong(&ok, 10);
  } else {
    number = value.toLongLong(&ok);
  }
  if (!ok) {
    throw MisuseError(
        QStringLiteral("%1: '%2' is not a decimal number").arg(param, value.toString()));
  }
  return number;
}

}  // namespace

std::uint8_t toByte(const QVariant& value, const QString& param) {
  return static_cast<std::uint8_t>(toLong(value, param, 0, 255));
}

std::int32_t toLong(const QVariant& value, const QString& param, std::int32_t low,
                    std::int32_t high) {
  const std::int64_t number = toInteger(value, param);
  if (number < low || number > high) {
    throw MisuseError(
        QStringLiteral("%1: %2 lies outside %3..%4").arg(param).arg(number).arg(low).arg(high));
  }
  return static_cast<std::int32_t>(number);
}

void checkLength(qsizetype given, int most, const QString& param, const char* unit) {
  if (most > 0 && given > most) {
    throw MisuseError(QStringLiteral("%1 takes at most %2 %3, %4 given")
                          .arg(param)
                          .arg(most)
                          .arg(QLatin1String(unit))
                          .arg(given));
  }
}

QString toText(const QVariant& value, const QString& param, int most) {
  QString text = value.toString();
  checkLength(text.size(), most, param, "characters");
  return text;
}

std::vector<std::uint8_t> toBytes(const QVariant& value, const QString& param, int most) {
  std::vector<std::uint8_t> bytes;
  if (value.typeId() == QMetaType::QByteArray) {
    const QByteArray raw = value.toByteArray();
    bytes.assign(raw.begin(), raw.end());
  } else if (value.typeId() == QMetaType::QString) {
    const QString text = value.toString().trimmed();
    if (!text.isEmpty()) {
      for (const QString& part : text.split(u',')) bytes.push_back(toByte(part, param));
    }
  } else {
    for (const QVariant& element : value.toList()) bytes.push_back(toByte(element, param));
  }
  checkLength(static_cast<qsizetype>(bytes.size()), most, param, "values");
  return bytes;
}

QVariantList fromBytes(const std::vector<std::uint8_t>& bytes) {
  QVariantList list;
  list.reserve(static_cast<qsizetype>(bytes.size()));
  for (const std::uint8_t byte : bytes) list.append(static_cast<int>(byte));
  return list;
}

}  // namespace dispatch_detail

namespace {

using dispatch_detail::method;
using dispatch_detail::ParamName;
using C = CommandSet;

// An output array holds a full reply of the method's header, as the protocol table gives it.
ParamName reply(const char* name, cctalk_Codes header) {
  const HeaderInfo* info = headerInfo(static_cast<std::uint8_t>(header));
  return ParamName(name, info ? info->replyData : 0);
}

// An input array or text holds no more than the data its header sends: extra values are refused,
// never dropped.
ParamName request(const char* name, cctalk_Codes header) {
  const HeaderInfo* info = headerInfo(static_cast<std::uint8_t>(header));
  return ParamName(name, info ? info->requestData : 0);
}

// A method's header and what it does to the device: every row names both.
constexpr std::optional<cctalk_Codes> kNoFrame;

MethodInfo described(MethodEffect effect, std::optional<cctalk_Codes> header, MethodInfo info) {
  if (header) info.header = static_cast<std::uint8_t>(*header);
  info.effect = effect;
  return info;
}

MethodInfo reads(std::optional<cctalk_Codes> header, MethodInfo info) {
  return described(MethodEffect::ReadsOnly, header, std::move(info));
}

MethodInfo changes(std::optional<cctalk_Codes> header, MethodInfo info) {
  return described(MethodEffect::ChangesDevice, header, std::move(info));
}

MethodInfo movesMoney(std::optional<cctalk_Codes> header, MethodInfo info) {
  return described(MethodEffect::MovesMoney, header, std::move(info));
}

QList<MethodInfo> buildTable() {
  const char* D = "Device";
  const char* S = "strResponse";
  const char* R = "Response";
  return {
      reads(SIMPLE_POLL, method("SendPoll", &C::SendPoll, D, S)),
      reads(kNoFrame, method("CommandSent", &LinkEngine::CommandSent, "Style")),
      reads(kNoFrame, method("ReplyBack", &LinkEngine::ReplyBack, "Style")),
      reads(GET_BUILD_CODE, method("GetBuildCode", &C::GetBuildCode, D, S)),
      reads(GET_PROD_CODE, method("GetProductCode", &C::GetProductCode, D, S)),
      reads(GET_MNFCTR_ID, method("GetManfctrID", &C::GetManfctrID, D, S)),
      reads(GET_EQPT_ID, method("GetEqptID", &C::GetEqptID, D, S)),
      reads(GET_SERIAL_NO, method("GetSerialNo", &C::GetSerialNo, D, S)),
      reads(GET_COMMS_REVN, method("GetCommsRevn", &C::GetCommsRevn, D, S)),
      reads(GET_CODE_REVN, method("GetCodeRevn", &C::GetCodeRevn, D, S)),
      reads(GET_COMMS_VARS,
            method("GetCommsStatus", &C::GetCommsStatus, D, reply("Rx_Errors", GET_COMMS_VARS))),
      changes(CLEAR_COMMS_VARS, method("ClearCommsStatus", &C::ClearCommsStatus, D, S)),
      changes(RESET_DEVICE, method("ResetDevice", &C::ResetDevice, D, S)),
      reads(GET_EVENT_BUFFER,
            method("GetEventBuffer", &C::GetEventBuffer, D, reply("bytBuffer", GET_EVENT_BUFFER))),
      reads(GET_COIN_BUFFER,
            method("GetCoinBuffer", &C::GetCoinBuffer, D, reply("bytBuffer", GET_COIN_BUFFER))),
      reads(GET_MASTER_INHIBIT, method("GetMasterInhibit", &C::GetMasterInhibit, D, "Status")),
      changes(SET_MASTER_INHIBIT, method("SetMasterInhibit", &C::SetMasterInhibit, D, "Status", R)),
      reads(GET_INHIBIT_STATUS,
            method("GetInhibitStatus", &C::GetInhibitStatus, D, reply(R, GET_INHIBIT_STATUS))),
      changes(SET_INHIBIT_STATUS, method("SetInhibitStatus", &C::SetInhibitStatus, D,
                                         request("Inhibits", SET_INHIBIT_STATUS), R)),
      movesMoney(ROUTE_BILL, method("RouteBill", &C::RouteBill, D, "Accept", R)),
      changes(READ_FEEDBAG, method("ReadFeedbag", &C::ReadFeedbag, D, reply(R, READ_FEEDBAG))),
      reads(REQUEST_BILL_ID, method("RequestBillID", &C::RequestBillID, D, "NoteNo", R)),
      reads(REQUEST_CNTRY_SCALE, method("RequestScaleFactor", &C::RequestScaleFactor, D,
                                        request("Country", REQUEST_CNTRY_SCALE),
                                        reply("ScaleData", REQUEST_CNTRY_SCALE))),
      changes(kNoFrame, method("ModifyBillID", &C::ModifyBillID)),
      reads(REQUEST_BILL_POSN,
            method("RequestBillPosition", &C::RequestBillPosition, D,
                   request("Country", REQUEST_BILL_POSN), reply("NoteData", REQUEST_BILL_POSN))),
      changes(MODIFY_BILL_MODE,
              method("SetBillOperatingMode", &C::SetBillOperatingMode, D, "NewMode", R)),
      reads(READ_BILL_MODE, method("ReadBillOperatingMode", &C::ReadBillOperatingMode, D,
                                   reply("BillMode", READ_BILL_MODE))),
      reads(GET_ROM_CHKSUM, method("GetROMChksum", &C::GetROMChksum, D, "Checksum")),
      reads(GET_ADDRESS_MODE,
            method("GetAddrMode", &C::GetAddrMode, D, reply("AddrMode", GET_ADDRESS_MODE))),
      changes(MODIFY_BILL_SCTY,
              method("ModifyBillScty", &C::ModifyBillScty, D, "NoteNo", "Security", R)),
      reads(REQUEST_BILL_SCTY, method("RequestBillScty", &C::RequestBillScty, D, "NoteNo",
                                      reply("Security", REQUEST_BILL_SCTY))),
      reads(GET_OPTION_FLAGS, method("GetOptionFlags", &C::GetOptionFlags, D, "FeatureMask")),
      reads(GET_ACCEPTANCE_CNTR, method("GetAcceptCntr", &C::GetAcceptCntr, D, "AcceptCount")),
      reads(ADDRESS_POLL, method("AddressPoll", &C::AddressPoll, reply("Address", ADDRESS_POLL))),
      reads(ADDRESS_CLASH,
            method("AddressClash", &C::AddressClash, reply("Address", ADDRESS_CLASH))),
      changes(ADDRESS_CHANGE, method("AddressChange", &C::AddressChange, D, "Address", R)),
      changes(ADDRESS_RANDOM, method("AddressRandom", &C::AddressRandom, D, R)),
      changes(CYCLE_STACK, method("CycleStacker", &C::CycleStacker, D, R)),
      reads(READ_OPTOS, method("ReadOptos", &C::ReadOptos, D, reply("bytBuffer", READ_OPTOS))),
      changes(RUN_MOTORS,
              method("OperateMotors", &C::OperateMotors, D, request("MotorFlags", RUN_MOTORS), R)),
      changes(CHANGE_ENC_KEY,
              method("ChangeKey", &C::ChangeKey, D, request("NewKey", CHANGE_ENC_KEY), R)),
      changes(SAVE_ENC_KEY, method("SaveKey", &C::SaveKey, D, R)),
      reads(GET_INSERTION_CNTR, method("GetInsertnCntr", &C::GetInsertnCntr, D, "InsertCount")),
      reads(ERROR_COUNTER,
            method("GetErrorCounter", &C::GetErrorCounter, D, "ErrorNo", "ErrorCount")),
      reads(INDVDL_NOTE_COUNT,
            method("GetIndNoteCounter", &C::GetIndNoteCounter, D, "NoteNo", "AcceptCount")),
      reads(GET_VARIABLE_SET,
            method("GetVariableSet", &C::GetVariableSet, D, reply("Variables", GET_VARIABLE_SET))),
      reads(GET_POLL_PRIORITY, method("GetPollPriority", &C::GetPollPriority, D,
                                      reply("PollingRate", GET_POLL_PRIORITY))),
      reads(GET_BASE_YEAR, method("GetBaseYear", &C::GetBaseYear, D, "BaseYear")),
      reads(GET_CREATION_DATE, method("GetCreationDate", &C::GetCreationDate, D, "CreationDate")),
      reads(GET_DATA_STR_AVBL, method("GetDataStoreAvblty", &C::GetDataStoreAvblty, D,
                                      reply("StoreMask", GET_DATA_STR_AVBL))),
      reads(GET_FIRMWARE_UPG, method("GetFirmwareUpgrdCpblty", &C::GetFirmwareUpgrdCpblty, D,
                                     reply("UpgradeMask", GET_FIRMWARE_UPG))),
      reads(GET_CURRENCY_REV, method("GetCurrencyRevn", &C::GetCurrencyRevn, D, "Revision")),
      changes(RUN_SELF_TEST,
              method("RunSelfTest", &C::RunSelfTest, D, reply("TestResult", RUN_SELF_TEST))),
      reads(READ_INPUT_LINES, method("ReadInputLines", &C::ReadInputLines, D,
                                     reply("InputStatus", READ_INPUT_LINES))),
      reads(HOPPER_TEST, method("Test_Hopper", &C::Test_Hopper, D, reply("Status", HOPPER_TEST))),
      movesMoney(HOPPER_DISPENSE_COINS,
                 method("Dispense_Coins", &C::Dispense_Coins, D, "No_Coins", R)),
      reads(HOPPER_STATUS,
            method("Get_Hopper_Status", &C::Get_Hopper_Status, D, reply("Status", HOPPER_STATUS))),
      changes(HOPPER_ENABLE, method("Enable_Hopper", &C::Enable_Hopper, D, R)),
      changes(HOPPER_ENABLE, method("Disable_Hopper", &C::Disable_Hopper, D, R)),
      changes(STOP_HOPPER, method("Hopper_Stop", &C::Hopper_Stop, D, R)),
      reads(HOPPER_DISPENSE_COUNT,
            method("Get_Hopper_Count", &C::Get_Hopper_Count, D, "DispenseCount")),
      reads(Request_Coin_ID, method("RequestCoinID", &C::RequestCoinID, D, "NoteNo", R)),
  };
}

}  // namespace

QList<ParamInfo> MethodInfo::inputs() const {
  QList<ParamInfo> list;
  for (const ParamInfo& p : params) {
    if (p.direction == ParamDirection::In) list.append(p);
  }
  return list;
}

QList<ParamInfo> MethodInfo::outputs() const {
  QList<ParamInfo> list;
  for (const ParamInfo& p : params) {
    if (p.direction == ParamDirection::Out) list.append(p);
  }
  return list;
}

QString MethodInfo::signature() const {
  QStringList parts;
  for (const ParamInfo& p : params) {
    QString part = p.direction == ParamDirection::Out ? QStringLiteral("out ") : QString();
    part += p.name + QStringLiteral(": ") + typeName(p.type);
    if (p.arraySize > 0) part += QStringLiteral("[%1]").arg(p.arraySize);
    parts.append(part);
  }
  return name + u'(' + parts.join(QStringLiteral(", ")) + u')';
}

QString typeName(ParamType type) {
  switch (type) {
    case ParamType::Byte:
      return QStringLiteral("Byte");
    case ParamType::Long:
      return QStringLiteral("Long");
    case ParamType::Text:
      return QStringLiteral("Text");
    case ParamType::ByteArray:
      return QStringLiteral("ByteArray");
  }
  return {};
}

const QList<MethodInfo>& methodTable() {
  static const QList<MethodInfo> table = buildTable();
  return table;
}

const MethodInfo* findMethod(const QString& name) {
  for (const MethodInfo& info : methodTable()) {
    if (info.name == name) return &info;
  }
  return nullptr;
}

void checkArgumentCount(const MethodInfo& info, qsizetype given) {
  const qsizetype expected = info.inputs().size() - (info.hasDevice() ? 1 : 0);
  if (given == expected) return;
  QStringList names;
  for (const ParamInfo& p : info.inputs()) {
    if (p.name != u"Device") names.append(p.name);
  }
  throw MisuseError(
      QStringLiteral("%1 takes %2 argument(s)%3, %4 given")
          .arg(info.name)
          .arg(expected)
          .arg(names.isEmpty() ? QString() : QStringLiteral(" (") + names.join(u' ') + u')')
          .arg(given));
}

void checkArgumentSize(const ParamInfo& param, std::string_view utf8) {
  if (param.type == ParamType::ByteArray) {
    const int most = param.arraySize > 0 ? param.arraySize : kMaxDataLength;
    const auto values = std::count(utf8.begin(), utf8.end(), ',') + 1;
    dispatch_detail::checkLength(static_cast<qsizetype>(values), most, param.name, "values");
  } else if (param.type == ParamType::Text && param.arraySize > 0) {
    // Characters, not bytes: every byte but a continuation byte (10xxxxxx) starts one.
    const auto characters = std::count_if(utf8.begin(), utf8.end(), [](char c) {
      return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
    });
    dispatch_detail::checkLength(static_cast<qsizetype>(characters), param.arraySize, param.name,
                                 "characters");
  }
}

QString methodErrorText(const MethodInfo& info, const QString& description) {
  return QStringLiteral("%1: %2").arg(info.name, description);
}

void checkInputs(const MethodInfo& info, const QVariantList& inputs, std::int32_t hopperCode) {
  // Without a line every method checks its inputs, then finds the port closed (5) and stops.
  CommandSet dry;
  dry.setHopperCode(hopperCode);
  const InvokeResult result = info.invoker(dry, inputs);
  if (refusesInput(result.result)) {
    throw MisuseError(methodErrorText(info, resultMeaning(result.result)));
  }
}

bool refusesInput(int result) {
  return failureOf(result, false) == Failure::Misuse;
}

CallReport reportCall(const LinkEngine& engine, int result, bool deviceCommand) {
  const TransactionOutcome& last = engine.lastTransaction();
  CallReport report;
  report.sent = last.frameSent;
  // The engine's acknowledgement belongs to the last frame it sent, which may be an earlier
  // call's: it counts only for a frame this call sent.
  report.acknowledged = result == kResultOk && last.frameSent && engine.acknowledged();
  report.nothingSent = deviceCommand && result == kResultOk && !last.frameSent;
  if (last.ran) {
    report.status = engine.caption();
  } else if (report.nothingSent) {
    report.status = failureText(Failure::NothingSent);
  } else {
    report.status = resultMeaning(result);
  }
  report.failure = report.nothingSent ? Failure::NothingSent
                                      : failureOf(result, report.acknowledged, last.refusal);
  return report;
}

InvokeResult invoke(CommandSet& set, const QString& name, const QVariantList& inputs) {
  const MethodInfo* info = findMethod(name);
  if (!info) throw MisuseError(QStringLiteral("unknown method %1").arg(name));
  return info->invoker(set, inputs);
}

InvokeResult invoke(CommandSet& set, const QString& name, const QStringList& inputs) {
  QVariantList values;
  values.reserve(inputs.size());
  for (const QString& text : inputs) values.append(text);
  return invoke(set, name, values);
}

QString outputText(const QVariant& value) {
  if (value.typeId() == QMetaType::QVariantList) {
    QStringList parts;
    for (const QVariant& element : value.toList()) parts.append(element.toString());
    return parts.join(u',');
  }
  return value.toString();
}

}  // namespace quennet
