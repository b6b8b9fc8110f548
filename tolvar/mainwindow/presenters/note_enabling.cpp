#include "tolvar/mainwindow/presenters/note_enabling.h"

#include <algorithm>
#include <optional>

#include <QLabel>
#include <QTreeWidget>

#include "quennet/control/zav_quennet.h"
#include "quennet/link/frame.h"
#include "quennet/link/protocol_events.h"
#include "tolvar/mainwindow/panes/counters_pane.h"
#include "tolvar/mainwindow/panes/note_list_pane.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/services/ui_services.h"
#include "tolvar/mainwindow/settings/number_text.h"

namespace tolvar {

namespace {

constexpr int kNotes = quennet::kPositionCount;
constexpr std::array<std::uint8_t, 2> kAllNotes = {0xFF, 0xFF};

QString maskText(const std::array<std::uint8_t, 2>& mask) {
  return quennet::hexText(mask[0]) + QLatin1Char(',') + quennet::hexText(mask[1]);
}

}  // namespace

bool NoteEnabling::noteTableUploaded() const {
  return notes_.lstvwNoteID->topLevelItemCount() >= kNotes;
}

void NoteEnabling::ShowNoteMask(const std::array<std::uint8_t, 2>& mask) {
  for (int k = 0; k < kNotes; ++k) {
    const bool enabled = (mask[static_cast<std::size_t>(k / 8)] >> (k % 8)) & 1;
    if (QTreeWidgetItem* row = notes_.lstvwNoteID->topLevelItem(k)) {
      // A position without a note accepts nothing, whatever its bit says.
      if (row->text(1) == kNoNote) {
        row->setCheckState(0, Qt::Unchecked);
        continue;
      }
      row->setCheckState(0, enabled ? Qt::Checked : Qt::Unchecked);
    }
  }
}

bool NoteEnabling::AskCountryCode(QString& code) {
  const QString entry =
      turn_.ui()
          .inputBox(QStringLiteral("Enter a 2 character country code.\r\n"
                                   "E.g. GB for Britain, EU for Euro, US for USA"),
                    kMessageTitle, QStringLiteral("GB"))
          .toUpper();
  code.clear();
  // Letters outside printable ASCII have no byte of their own on the wire; the control refuses
  // them, so they are turned away here with the input error.
  const bool printable = std::all_of(entry.begin(), entry.end(), [](QChar c) {
    return c.unicode() >= 0x20 && c.unicode() <= 0x7E;
  });
  if (entry.size() == 2 && printable) {
    code = entry;
    return true;
  }
  if (entry.size() == 2) {
    turn_.ui().messageBox(
        QStringLiteral("INPUT DATA ERROR! The Country Code must be plain ASCII characters!"),
        kMessageTitle, MsgIcon::None);
    return false;
  }
  if (!entry.isEmpty()) {
    turn_.ui().messageBox(
        QStringLiteral("INPUT DATA ERROR! The Country Code should be exactly 2 characters long!"),
        kMessageTitle, MsgIcon::None);
  }
  return false;
}

void NoteEnabling::EnableSelectedNotes() {
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) return;
  std::array<std::uint8_t, 2> mask = kAllNotes;
  if (noteTableUploaded()) {
    unsigned value = 0;
    for (int i = 0; i < kNotes; ++i) {
      if (notes_.lstvwNoteID->topLevelItem(i)->checkState(0) == Qt::Checked) value |= 1u << i;
    }
    mask = {static_cast<std::uint8_t>(value % 256), static_cast<std::uint8_t>(value / 256)};
  }
  QString response;
  turn_.control().SetInhibitStatus(address, mask, response);
  turn_.showReply(response);
}

void NoteEnabling::EnableAllNotes() {
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) return;
  QString response;
  if (turn_.control().SetInhibitStatus(address, kAllNotes, response) == quennet::kResultOk &&
      noteTableUploaded()) {
    ShowNoteMask(kAllNotes);
  }
  turn_.showReply(response);
}

void NoteEnabling::ShowEnabledNotes() {
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) return;
  if (!noteTableUploaded()) {
    turn_.setStatusText(QStringLiteral("WARNING! Upload Note data First!"));
    return;
  }
  std::array<std::uint8_t, 2> mask{};
  if (turn_.control().GetInhibitStatus(address, mask) == quennet::kResultOk) ShowNoteMask(mask);
  turn_.showReply(QString());
}

void NoteEnabling::refreshNoteMask() {
  std::uint8_t address = 0;
  std::array<std::uint8_t, 2> mask{};
  if (!noteTableUploaded() || !turn_.ApplyDetails(address) ||
      turn_.control().GetInhibitStatus(address, mask) != quennet::kResultOk) {
    return;
  }
  ShowNoteMask(mask);
}

void NoteEnabling::ReadCountryMask() {
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) return;
  turn_.ClearDisplay();
  QString country;
  if (!AskCountryCode(country)) return;
  std::array<std::uint8_t, 2> mask{};
  turn_.control().RequestBillPosition(address, country, mask);
  turn_.showReply(maskText(mask));
}

bool NoteEnabling::tableHasCountry(const QString& country) const {
  for (int i = 0; i < notes_.lstvwNoteID->topLevelItemCount(); ++i) {
    if (notes_.lstvwNoteID->topLevelItem(i)->text(1).startsWith(country)) return true;
  }
  return false;
}

void NoteEnabling::refuseUnknownCountry(const QString& country) {
  const QString why =
      QStringLiteral("No note in the table has the country code %1: nothing was sent.")
          .arg(country);
  turn_.setStatusText(why);
  turn_.ui().messageBox(why, kMessageTitle, MsgIcon::Exclamation);
}

void NoteEnabling::EnableCountryNotes() {
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) return;
  turn_.ClearDisplay();
  QString country;
  if (!AskCountryCode(country)) return;
  // A code no note carries would yield an empty mask, and sending it inhibits every note.
  if (noteTableUploaded() && !tableHasCountry(country)) return refuseUnknownCountry(country);
  std::array<std::uint8_t, 2> mask{};
  const std::int16_t result = turn_.control().RequestBillPosition(address, country, mask);
  turn_.showReply(maskText(mask));
  if (result != quennet::kResultOk) return;
  if (mask == std::array<std::uint8_t, 2>{}) return refuseUnknownCountry(country);
  turn_.ClearDisplay();
  QString response;
  turn_.control().SetInhibitStatus(address, mask, response);
  if (noteTableUploaded()) ShowNoteMask(mask);
  turn_.showReply(response);
}

void NoteEnabling::ReadCountryScale() {
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) return;
  turn_.ClearDisplay();
  QString country;
  if (!AskCountryCode(country)) return;
  std::array<std::uint8_t, 3> scale{};
  QString reply;
  if (turn_.control().RequestScaleFactor(address, country, scale) == quennet::kResultOk) {
    notes_.lblScaleFactor->setText(QString::number(scale[1] * 256 + scale[0]));
    notes_.lblDecPlaces->setText(QString::number(scale[2]));
    reply = quennet::hexText(scale[0]) + QLatin1Char(',') + quennet::hexText(scale[1]) +
            QLatin1Char(',') + quennet::hexText(scale[2]);
  }
  turn_.showReply(reply);
}

void NoteEnabling::ReadAcceptCount() {
  readCounter(true);
}

void NoteEnabling::ReadInsertCount() {
  readCounter(false);
}

void NoteEnabling::readCounter(bool accepted) {
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) return;
  turn_.ClearDisplay();
  std::int32_t count = 0;
  const std::int16_t result = accepted ? turn_.control().GetAcceptCntr(address, count)
                                       : turn_.control().GetInsertnCntr(address, count);
  QString reply;
  if (result == quennet::kResultOk) {
    counters_.lblBillCount[accepted ? 1 : 0]->setText(QString::number(count));
    reply = quennet::hexText(static_cast<unsigned>(count));
  }
  turn_.showReply(reply);
}

void NoteEnabling::refuseSecurity(const QString& why) {
  turn_.setStatusText(why + QStringLiteral(" Nothing was sent."));
  turn_.ui().messageBox(why, kMessageTitle, MsgIcon::Exclamation);
}

void NoteEnabling::ModifyNoteSecurity() {
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) return;
  turn_.ClearDisplay();
  const QString noteEntry = turn_.ui().inputBox(
      QStringLiteral("Modify Security Setting for a Note.\r\nEnter Note No. (1 - 16):"),
      kMessageTitle, QStringLiteral("1"));
  if (noteEntry.isEmpty()) return;  // cancelled
  const std::optional<std::int64_t> note = strictInteger(noteEntry, 1, kNotes);
  if (!note) {
    refuseSecurity(QStringLiteral("The note number must lie in the range 1 to 16."));
    return;
  }
  const QString securityEntry = turn_.ui().inputBox(
      QStringLiteral("Modify Security Setting for a Note.\r\nEnter New Security Value:\r\n"
                     "0 = Default Setting\r\n"
                     "1 to 7 = higher security, 249 to 255 = lower security."),
      kMessageTitle, QStringLiteral("0"));
  if (securityEntry.isEmpty()) return;
  const std::optional<std::int64_t> security = strictInteger(securityEntry, 0, 255);
  if (!security) {
    refuseSecurity(QStringLiteral("The security value must lie in the range 0 to 255."));
    return;
  }
  QString response;
  const std::int16_t result = turn_.control().ModifyBillScty(
      address, static_cast<std::uint8_t>(*note), static_cast<std::uint8_t>(*security), response);
  if (result == quennet::kResultOk && notes_.lstvwNoteID->topLevelItemCount() >= *note) {
    notes_.lstvwNoteID->topLevelItem(static_cast<int>(*note - 1))
        ->setText(3, QString::number(*security));
  }
  turn_.showReply(response);
}

}  // namespace tolvar
