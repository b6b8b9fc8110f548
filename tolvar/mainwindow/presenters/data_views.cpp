#include "tolvar/mainwindow/presenters/data_views.h"

#include <array>

#include <QTreeWidget>

#include "quennet/commands/reply_renderings.h"
#include "quennet/control/zav_quennet.h"
#include "quennet/link/frame.h"
#include "tolvar/mainwindow/panes/note_list_pane.h"
#include "tolvar/mainwindow/panes/unit_data_pane.h"
#include "tolvar/mainwindow/panes/unit_data_text.h"
#include "tolvar/mainwindow/presenters/line_turn.h"

namespace tolvar {

namespace {

const QString kNoValue = QStringLiteral("---");
constexpr std::int16_t kUnitDataSteps = 17;
constexpr std::uint8_t kNotes = 16;

}  // namespace

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
  zav_quennet& control = turn_.control();
  const std::int16_t step = intUnitDataStep_++;
  if (step == 0) unitData_.lstViewUnitData->clear();
  QString text;
  QString shown;  // the row's text where it says more than the reply text
  QString tip;
  std::array<std::uint8_t, 5> bytes{};
  std::uint8_t flags = 0;
  std::int16_t result = quennet::kResultOk;
  switch (step) {
    case 0:
      result = control.GetEqptID(address, text);
      break;
    case 1:
      result = control.GetManfctrID(address, text);
      break;
    case 2:
      result = control.GetProductCode(address, text);
      break;
    case 3:
      result = control.GetSerialNo(address, text);
      // Devices print their serial least significant byte first: the label's number beside.
      if (const QString label =
              quennet::serialLabelOf(control.sentInClear(), control.replyInClear());
          !label.isEmpty()) {
        shown = QStringLiteral("%1/%2").arg(text, label);
        tip = QStringLiteral("As the label reads it: %1").arg(label);
      }
      break;
    case 4:
      result = control.GetBuildCode(address, text);
      break;
    case 5:
      result = control.GetCodeRevn(address, text);
      break;
    case 6:
      result = control.GetCurrencyRevn(address, text);
      break;
    case 7:
      result = control.GetCommsRevn(address, text);
      break;
    case 8:
      result = control.GetBaseYear(address, text);
      break;
    case 9:
      result = control.GetCreationDate(address, text);
      break;
    case 10:
      result = control.GetDataStoreAvblty(address, bytes);
      text = dataStorageText(bytes);
      break;
    case 11:
      result = control.GetROMChksum(address, text);
      break;
    case 12:
      result = control.GetAddrMode(address, std::span(bytes).first(2));
      text = QString::number(bytes[0]);
      break;
    case 13:
      result = control.GetOptionFlags(address, flags);
      text = QStringLiteral("Hex: ") + quennet::hexText(flags);
      blnCountersSupported_ = (flags & 4) != 0;
      break;
    case 14:
      result = control.GetVariableSet(address, std::span(bytes).first(2));
      text = QStringLiteral("%1/%2").arg(bytes[0]).arg(bytes[1]);
      break;
    case 15:
      result = control.GetFirmwareUpgrdCpblty(address, std::span(bytes).first(2));
      text = quennet::hexText(bytes[0]);
      break;
    default:
      result = control.GetPollPriority(address, std::span(bytes).first(2));
      text = pollPriorityText(bytes[0], bytes[1]);
      if (turn_.settings().SnglStp) intUnitDataStep_ = 0;
      break;
  }
  // Outputs keep stale values when a call fails; a failed step shows nothing instead.
  if (result != quennet::kResultOk) text.clear();
  if (result != quennet::kResultOk || shown.isEmpty()) shown = text;
  auto* row = new QTreeWidgetItem(QStringList{unitDataHeader(step), shown});
  if (result == quennet::kResultOk) row->setToolTip(1, tip);
  unitData_.lstViewUnitData->addTopLevelItem(row);
  turn_.showReply(text);
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
      control.lastTransaction().refusal == quennet::ReplyRefusal::TooShort) {
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
