#include "tolvar/mainwindow/presenters/data_views.h"

#include <array>
#include <optional>
#include <span>

#include <QTreeWidget>

#include "quennet/commands/reply_renderings.h"
#include "quennet/control/zav_quennet.h"
#include "quennet/link/frame.h"
#include "quennet/link/protocol_events.h"
#include "tolvar/mainwindow/panes/note_list_pane.h"
#include "tolvar/mainwindow/panes/unit_data_pane.h"
#include "tolvar/mainwindow/panes/unit_data_text.h"
#include "tolvar/mainwindow/presenters/line_turn.h"

namespace tolvar {

namespace {

const QString kNoValue = QStringLiteral("---");
constexpr std::uint8_t kNotes = quennet::kPositionCount;

// What one unit data request gives its row: the reply text, the row's text where it says more,
// its tool tip, and the option flags where it read them.
struct UnitDataRead {
  zav_quennet& control;
  std::uint8_t address;
  QString text;
  QString shown;
  QString tip;
  std::optional<std::uint8_t> optionFlags;
};

// The unit data view, row by row: the caption and the request that fills it.
struct UnitDataRow {
  const char* caption;
  std::int16_t (*read)(UnitDataRead& r);
};

using quennet::CommandSet;

// A request whose reply text is the row's text.
template <std::int16_t (CommandSet::*Method)(std::uint8_t, QString&)>
std::int16_t textRequest(UnitDataRead& r) {
  return (r.control.*Method)(r.address, r.text);
}

// A request of two bytes, shown as `render` has them.
std::int16_t pairRequest(UnitDataRead& r,
                         std::int16_t (CommandSet::*method)(std::uint8_t, std::span<std::uint8_t>),
                         QString (*render)(std::uint8_t, std::uint8_t)) {
  std::array<std::uint8_t, 2> bytes{};
  const std::int16_t result = (r.control.*method)(r.address, bytes);
  r.text = render(bytes[0], bytes[1]);
  return result;
}

const std::array<UnitDataRow, 17> kUnitData = {{
    {"Equipment ID", textRequest<&CommandSet::GetEqptID>},
    {"Manufacturer ID", textRequest<&CommandSet::GetManfctrID>},
    {"Product Code", textRequest<&CommandSet::GetProductCode>},
    {"Serial No.",
     [](UnitDataRead& r) {
       const std::int16_t result = r.control.GetSerialNo(r.address, r.text);
       // Devices print their serial least significant byte first: the label's number beside.
       const QString label =
           quennet::serialLabelOf(r.control.sentInClear(), r.control.replyInClear());
       if (!label.isEmpty()) {
         r.shown = QStringLiteral("%1/%2").arg(r.text, label);
         r.tip = QStringLiteral("As the label reads it: %1").arg(label);
       }
       return result;
     }},
    {"Build Code", textRequest<&CommandSet::GetBuildCode>},
    {"Software Revn", textRequest<&CommandSet::GetCodeRevn>},
    {"Currency Revn", textRequest<&CommandSet::GetCurrencyRevn>},
    {"Comms Revision", textRequest<&CommandSet::GetCommsRevn>},
    {"Build Base Year", textRequest<&CommandSet::GetBaseYear>},
    {"Creation Date", textRequest<&CommandSet::GetCreationDate>},
    {"Data Storage",
     [](UnitDataRead& r) {
       std::array<std::uint8_t, 5> bytes{};
       const std::int16_t result = r.control.GetDataStoreAvblty(r.address, bytes);
       r.text = dataStorageText(bytes);
       return result;
     }},
    {"ROM Checksum", textRequest<&CommandSet::GetROMChksum>},
    {"Address Mode",
     [](UnitDataRead& r) {
       return pairRequest(r, &CommandSet::GetAddrMode,
                          [](std::uint8_t mode, std::uint8_t) { return QString::number(mode); });
     }},
    {"Option Flags",
     [](UnitDataRead& r) {
       std::uint8_t flags = 0;
       const std::int16_t result = r.control.GetOptionFlags(r.address, flags);
       r.text = QStringLiteral("Hex: ") + quennet::hexText(flags);
       r.optionFlags = flags;
       return result;
     }},
    {"# Notes / # Banks",
     [](UnitDataRead& r) {
       return pairRequest(r, &CommandSet::GetVariableSet,
                          [](std::uint8_t notes, std::uint8_t banks) {
                            return QStringLiteral("%1/%2").arg(notes).arg(banks);
                          });
     }},
    {"Firmware Upgrade",
     [](UnitDataRead& r) {
       return pairRequest(
           r, &CommandSet::GetFirmwareUpgrdCpblty,
           [](std::uint8_t upgrade, std::uint8_t) { return quennet::hexText(upgrade); });
     }},
    {"Polling Priority",
     [](UnitDataRead& r) {
       return pairRequest(r, &CommandSet::GetPollPriority, pollPriorityText);
     }},
}};

constexpr auto kUnitDataSteps = static_cast<std::int16_t>(kUnitData.size());

}  // namespace

DataViews::DataViews(LineTurn& turn, UnitDataPane& unitData, NoteListPane& notes)
    : turn_(turn), unitData_(unitData), notes_(notes) {
  unitData_.fitCaptions(unitDataCaptions());
}

QStringList DataViews::unitDataCaptions() {
  QStringList captions;
  for (const UnitDataRow& row : kUnitData) captions.append(QString::fromLatin1(row.caption));
  return captions;
}

void DataViews::ReadUnitData() {
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) return;
  const LineTurn::LongRun run(turn_);
  const bool singleStep = turn_.settings().SnglStp;
  if (!singleStep || intUnitDataStep_ >= kUnitDataSteps) intUnitDataStep_ = 0;
  std::int16_t result = quennet::kResultOk;
  do {
    turn_.ClearDisplay();
    result = unitDataStep(address);
  } while (result == quennet::kResultOk && intUnitDataStep_ < kUnitDataSteps && !singleStep);
}

std::int16_t DataViews::unitDataStep(std::uint8_t address) {
  const std::int16_t step = intUnitDataStep_++;
  if (step == 0) unitData_.lstViewUnitData->clear();
  const UnitDataRow& row = kUnitData.at(static_cast<std::size_t>(step));
  UnitDataRead read{turn_.control(), address, {}, {}, {}, {}};
  const std::int16_t result = row.read(read);
  if (read.optionFlags) blnCountersSupported_ = (*read.optionFlags & 4) != 0;
  if (intUnitDataStep_ == kUnitDataSteps && turn_.settings().SnglStp) intUnitDataStep_ = 0;
  // Outputs keep stale values when a call fails; a failed step shows nothing instead.
  if (result != quennet::kResultOk) read.text.clear();
  if (result != quennet::kResultOk || read.shown.isEmpty()) read.shown = read.text;
  auto* item = new QTreeWidgetItem(QStringList{QString::fromLatin1(row.caption), read.shown});
  if (result == quennet::kResultOk) item->setToolTip(1, read.tip);
  unitData_.lstViewUnitData->addTopLevelItem(item);
  turn_.showReply(read.text);
  return result;
}

bool DataViews::ReadNoteData() {
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) return false;
  const LineTurn::LongRun run(turn_);
  const bool singleStep = turn_.settings().SnglStp;
  if (!singleStep || bytNoteNo_ > kNotes) {
    bytNoteNo_ = 1;
    intNoteColumn_ = 1;
  }
  std::int16_t result = quennet::kResultOk;
  do {
    result = noteDataRequest(address);
  } while (result == quennet::kResultOk && bytNoteNo_ <= kNotes && !singleStep);
  return result == quennet::kResultOk && bytNoteNo_ > kNotes;
}

std::int16_t DataViews::noteDataRequest(std::uint8_t address) {
  zav_quennet& control = turn_.control();
  const std::uint8_t note = bytNoteNo_;
  QString text;
  std::int16_t result = quennet::kResultOk;
  if (intNoteColumn_ == 1) {
    if (note == 1) {
      notes_.lstvwNoteID->clear();
      itmNoteRow_ = nullptr;
    }
    result = control.RequestBillID(address, note, text);
  } else if (intNoteColumn_ == 2) {
    text = kNoValue;
    if (blnCountersSupported_) {
      std::int32_t count = 0;
      result = static_cast<std::int16_t>(control.GetIndNoteCounter(address, note, count).toInt());
      if (blnNoteInUse_) text = QString::number(count);
    }
  } else {
    std::array<std::uint8_t, 1> security{};
    result = control.RequestBillScty(address, note, security);
    text = blnNoteInUse_ ? QString::number(security[0]) : kNoValue;
  }
  // A position without a note has no counter or security to give: a device that says so (an
  // ACK or NAK where data was asked, now a failure) leaves its cell at "---", and the run goes on.
  if (intNoteColumn_ != 1 && !blnNoteInUse_ && result == quennet::kResultChecksum &&
      control.lastTransaction().refusal == quennet::Failure::TooShort) {
    result = quennet::kResultOk;
  }
  if (result == quennet::kResultOk) {
    if (intNoteColumn_ == 1) {
      itmNoteRow_ = new QTreeWidgetItem(QStringList{QString::number(note)});
      itmNoteRow_->setFlags(itmNoteRow_->flags() | Qt::ItemIsUserCheckable);
      itmNoteRow_->setCheckState(0, Qt::Unchecked);
      notes_.lstvwNoteID->addTopLevelItem(itmNoteRow_);
      blnNoteInUse_ = text != kNoNote;
    }
    if (itmNoteRow_) itmNoteRow_->setText(intNoteColumn_, text);
    if (++intNoteColumn_ > 3) {
      intNoteColumn_ = 1;
      ++bytNoteNo_;
    }
  } else {
    // What the failed call left in its outputs is not this note's data.
    text.clear();
  }
  turn_.showReply(text);
  return result;
}

}  // namespace tolvar
