#pragma once
// Note enabling from the note table, by country or all at once; country mask and scale; the
// counters; note security.

#include <array>
#include <cstdint>

#include <QObject>
#include <QString>

namespace tolvar {

class CountersPane;
class LineTurn;
class NoteListPane;

class NoteEnabling : public QObject {
  Q_OBJECT

 public:
  // Ticks and security in the note table of `notes`, scale under it; counts into `counters`.
  NoteEnabling(LineTurn& turn, NoteListPane& notes, CountersPane& counters)
      : turn_(turn), notes_(notes), counters_(counters) {}

  void EnableSelectedNotes();
  void EnableAllNotes();
  void ShowEnabledNotes();
  // The note ticks read again without a reply of its own (after a reset); nothing before the
  // note data is read.
  void refreshNoteMask();
  void ReadCountryMask();
  void EnableCountryNotes();
  void ReadCountryScale();
  void ReadAcceptCount();
  void ReadInsertCount();
  void ModifyNoteSecurity();

  // Ticks the note table's boxes from an inhibit mask.
  void ShowNoteMask(const std::array<std::uint8_t, 2>& mask);
  // The two-letter country in upper case; false (with the message for a wrong length) otherwise.
  bool AskCountryCode(QString& code);

 private:
  bool noteTableUploaded() const;
  // Whether a ccTalk ID in the uploaded note table starts with `country`.
  bool tableHasCountry(const QString& country) const;
  void refuseUnknownCountry(const QString& country);
  // The status line and a box say why a security change was not sent.
  void refuseSecurity(const QString& why);
  void readCounter(bool accepted);

  LineTurn& turn_;
  NoteListPane& notes_;
  CountersPane& counters_;
};

}  // namespace tolvar
