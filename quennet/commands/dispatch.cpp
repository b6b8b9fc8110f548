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
    throw DispatchError(
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
    throw DispatchError(
        QStringLiteral("%1: %2 lies outside %3..%4").arg(param).arg(number).arg(low).arg(high));
  }
  return static_cast<std::int32_t>(number);
}

void checkLength(qsizetype given, int most, const QString& param, const char* unit) {
  if (most > 0 && given > most) {
    throw DispatchError(QStringLiteral("%1 takes at most %2 %3, %4 given")
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

QList<MethodInfo> buildTable() {
  const char* D = "Device";
  const char* S = "strResponse";
  const char* R = "Response";
  return {
      method("SendPoll", &C::SendPoll, D, S),
      method("CommandSent", &LinkEngine::CommandSent, "Style"),
      method("ReplyBack", &LinkEngine::ReplyBack, "Style"),
      method("GetBuildCode", &C::GetBuildCode, D, S),
      method("GetProductCode", &C::GetProductCode, D, S),
      method("GetManfctrID", &C::GetManfctrID, D, S),
      method("GetEqptID", &C::GetEqptID, D, S),
      method("GetSerialNo", &C::GetSerialNo, D, S),
      method("GetCommsRevn", &C::GetCommsRevn, D, S),
      method("GetCodeRevn", &C::GetCodeRevn, D, S),
      method("GetCommsStatus", &C::GetCommsStatus, D, reply("Rx_Errors", GET_COMMS_VARS)),
      method("ClearCommsStatus", &C::ClearCommsStatus, D, S),
      method("ResetDevice", &C::ResetDevice, D, S),
      method("GetEventBuffer", &C::GetEventBuffer, D, reply("bytBuffer", GET_EVENT_BUFFER)),
      method("GetCoinBuffer", &C::GetCoinBuffer, D, reply("bytBuffer", GET_COIN_BUFFER)),
      method("GetMasterInhibit", &C::GetMasterInhibit, D, "Status"),
      method("SetMasterInhibit", &C::SetMasterInhibit, D, "Status", R),
      method("GetInhibitStatus", &C::GetInhibitStatus, D, reply(R, GET_INHIBIT_STATUS)),
      method("SetInhibitStatus", &C::SetInhibitStatus, D, request("Inhibits", SET_INHIBIT_STATUS),
             R),
      method("RouteBill", &C::RouteBill, D, "Accept", R),
      method("ReadFeedbag", &C::ReadFeedbag, D, reply(R, READ_FEEDBAG)),
      method("RequestBillID", &C::RequestBillID, D, "NoteNo", R),
      method("RequestScaleFactor", &C::RequestScaleFactor, D,
             request("Country", REQUEST_CNTRY_SCALE), reply("ScaleData", REQUEST_CNTRY_SCALE)),
      method("ModifyBillID", &C::ModifyBillID),
      method("RequestBillPosition", &C::RequestBillPosition, D,
             request("Country", REQUEST_BILL_POSN), reply("NoteData", REQUEST_BILL_POSN)),
      method("SetBillOperatingMode", &C::SetBillOperatingMode, D, "NewMode", R),
      method("ReadBillOperatingMode", &C::ReadBillOperatingMode, D,
             reply("BillMode", READ_BILL_MODE)),
      method("GetROMChksum", &C::GetROMChksum, D, "Checksum"),
      method("GetAddrMode", &C::GetAddrMode, D, reply("AddrMode", GET_ADDRESS_MODE)),
      method("ModifyBillScty", &C::ModifyBillScty, D, "NoteNo", "Security", R),
      method("RequestBillScty", &C::RequestBillScty, D, "NoteNo",
             reply("Security", REQUEST_BILL_SCTY)),
      method("GetOptionFlags", &C::GetOptionFlags, D, "FeatureMask"),
      method("GetAcceptCntr", &C::GetAcceptCntr, D, "AcceptCount"),
      method("AddressPoll", &C::AddressPoll, reply("Address", ADDRESS_POLL)),
      method("AddressClash", &C::AddressClash, reply("Address", ADDRESS_CLASH)),
      method("AddressChange", &C::AddressChange, D, "Address", R),
      method("AddressRandom", &C::AddressRandom, D, R),
      method("CycleStacker", &C::CycleStacker, D, R),
      method("ReadOptos", &C::ReadOptos, D, reply("bytBuffer", READ_OPTOS)),
      method("OperateMotors", &C::OperateMotors, D, request("MotorFlags", RUN_MOTORS), R),
      method("ChangeKey", &C::ChangeKey, D, request("NewKey", CHANGE_ENC_KEY), R),
      method("SaveKey", &C::SaveKey, D, R),
      method("GetInsertnCntr", &C::GetInsertnCntr, D, "InsertCount"),
      method("GetErrorCounter", &C::GetErrorCounter, D, "ErrorNo", "ErrorCount"),
      method("GetIndNoteCounter", &C::GetIndNoteCounter, D, "NoteNo", "AcceptCount"),
      method("GetVariableSet", &C::GetVariableSet, D, reply("Variables", GET_VARIABLE_SET)),
      method("GetPollPriority", &C::GetPollPriority, D, reply("PollingRate", GET_POLL_PRIORITY)),
      method("GetBaseYear", &C::GetBaseYear, D, "BaseYear"),
      method("GetCreationDate", &C::GetCreationDate, D, "CreationDate"),
      method("GetDataStoreAvblty", &C::GetDataStoreAvblty, D,
             reply("StoreMask", GET_DATA_STR_AVBL)),
      method("GetFirmwareUpgrdCpblty", &C::GetFirmwareUpgrdCpblty, D,
             reply("UpgradeMask", GET_FIRMWARE_UPG)),
      method("GetCurrencyRevn", &C::GetCurrencyRevn, D, "Revision"),
      method("RunSelfTest", &C::RunSelfTest, D, reply("TestResult", RUN_SELF_TEST)),
      method("ReadInputLines", &C::ReadInputLines, D, reply("InputStatus", READ_INPUT_LINES)),
      method("Test_Hopper", &C::Test_Hopper, D, reply("Status", HOPPER_TEST)),
      method("Dispense_Coins", &C::Dispense_Coins, D, "No_Coins", R),
      method("Get_Hopper_Status", &C::Get_Hopper_Status, D, reply("Status", HOPPER_STATUS)),
      method("Enable_Hopper", &C::Enable_Hopper, D, R),
      method("Disable_Hopper", &C::Disable_Hopper, D, R),
      method("Hopper_Stop", &C::Hopper_Stop, D, R),
      method("Get_Hopper_Count", &C::Get_Hopper_Count, D, "DispenseCount"),
      method("RequestCoinID", &C::RequestCoinID, D, "NoteNo", R),
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
  throw DispatchError(
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
    throw DispatchError(methodErrorText(info, resultMeaning(result.result)));
  }
}

bool refusesInput(int result) {
  return result == kResultNoteNumber || result == kResultKeyTooShort;
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
    report.status = QString::fromLatin1(kNothingSentText);
  } else {
    report.status = resultMeaning(result);
  }
  return report;
}

InvokeResult invoke(CommandSet& set, const QString& name, const QVariantList& inputs) {
  const MethodInfo* info = findMethod(name);
  if (!info) throw DispatchError(QStringLiteral("unknown method %1").arg(name));
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
