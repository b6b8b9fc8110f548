#include "quennet/commands/dispatch.h"

#include <QByteArray>

#include "quennet/commands/dispatch_binding.h"

namespace quennet {

namespace dispatch_detail {

namespace {

std::int64_t toInteger(const QVariant& value, const QString& param) {
  bool ok = false;
  std::int64_t number = 0;
  if (value.typeId() == QMetaType::QString) {
    number = value.toString().trimmed().toLongLong(&ok, 10);
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

QString toText(const QVariant& value) {
  return value.toString();
}

std::vector<std::uint8_t> toBytes(const QVariant& value, const QString& param) {
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
      method("GetCommsStatus", &C::GetCommsStatus, D, ParamName("Rx_Errors", 3)),
      method("ClearCommsStatus", &C::ClearCommsStatus, D, S),
      method("ResetDevice", &C::ResetDevice, D, S),
      method("GetEventBuffer", &C::GetEventBuffer, D, ParamName("bytBuffer", 11)),
      method("GetCoinBuffer", &C::GetCoinBuffer, D, ParamName("bytBuffer", 11)),
      method("GetMasterInhibit", &C::GetMasterInhibit, D, "Status"),
      method("SetMasterInhibit", &C::SetMasterInhibit, D, "Status", R),
      method("GetInhibitStatus", &C::GetInhibitStatus, D, ParamName(R, 2)),
      method("SetInhibitStatus", &C::SetInhibitStatus, D, "Inhibits", R),
      method("RouteBill", &C::RouteBill, D, "Accept", R),
      method("ReadFeedbag", &C::ReadFeedbag, D, ParamName(R, 50)),
      method("RequestBillID", &C::RequestBillID, D, "NoteNo", R),
      method("RequestScaleFactor", &C::RequestScaleFactor, D, "Country", ParamName("ScaleData", 3)),
      method("ModifyBillID", &C::ModifyBillID),
      method("RequestBillPosition", &C::RequestBillPosition, D, "Country",
             ParamName("NoteData", 2)),
      method("SetBillOperatingMode", &C::SetBillOperatingMode, D, "NewMode", R),
      method("ReadBillOperatingMode", &C::ReadBillOperatingMode, D, ParamName("BillMode", 2)),
      method("GetROMChksum", &C::GetROMChksum, D, "Checksum"),
      method("GetAddrMode", &C::GetAddrMode, D, ParamName("AddrMode", 2)),
      method("ModifyBillScty", &C::ModifyBillScty, D, "NoteNo", "Security", R),
      method("RequestBillScty", &C::RequestBillScty, D, "NoteNo", ParamName("Security", 1)),
      method("GetOptionFlags", &C::GetOptionFlags, D, "FeatureMask"),
      method("GetAcceptCntr", &C::GetAcceptCntr, D, "AcceptCount"),
      method("AddressPoll", &C::AddressPoll, ParamName("Address", kCollectAllMost)),
      method("AddressClash", &C::AddressClash, ParamName("Address", kCollectAllMost)),
      method("AddressChange", &C::AddressChange, D, "Address", R),
      method("AddressRandom", &C::AddressRandom, D, R),
      method("CycleStacker", &C::CycleStacker, D, R),
      method("ReadOptos", &C::ReadOptos, D, ParamName("bytBuffer", 17)),
      method("OperateMotors", &C::OperateMotors, D, "MotorFlags", R),
      method("ChangeKey", &C::ChangeKey, D, "NewKey", R),
      method("SaveKey", &C::SaveKey, D, R),
      method("GetInsertnCntr", &C::GetInsertnCntr, D, "InsertCount"),
      method("GetErrorCounter", &C::GetErrorCounter, D, "ErrorNo", "ErrorCount"),
      method("GetIndNoteCounter", &C::GetIndNoteCounter, D, "NoteNo", "AcceptCount"),
      method("GetVariableSet", &C::GetVariableSet, D, ParamName("Variables", 2)),
      method("GetPollPriority", &C::GetPollPriority, D, ParamName("PollingRate", 2)),
      method("GetBaseYear", &C::GetBaseYear, D, "BaseYear"),
      method("GetCreationDate", &C::GetCreationDate, D, "CreationDate"),
      method("GetDataStoreAvblty", &C::GetDataStoreAvblty, D, ParamName("StoreMask", 5)),
      method("GetFirmwareUpgrdCpblty", &C::GetFirmwareUpgrdCpblty, D, ParamName("UpgradeMask", 2)),
      method("GetCurrencyRevn", &C::GetCurrencyRevn, D, "Revision"),
      method("RunSelfTest", &C::RunSelfTest, D, ParamName("TestResult", 4)),
      method("ReadInputLines", &C::ReadInputLines, D, ParamName("InputStatus", 8)),
      method("Test_Hopper", &C::Test_Hopper, D, ParamName("Status", 3)),
      method("Dispense_Coins", &C::Dispense_Coins, D, "No_Coins", R),
      method("Get_Hopper_Status", &C::Get_Hopper_Status, D, ParamName("Status", 4)),
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

}  // namespace quennet
