#pragma once
// The unit data (one identification request a row) and note data (16 notes by 3 requests) views.

#include <cstdint>

#include <QObject>
#include <QStringList>

class QTreeWidgetItem;

namespace tolvar {

class LineTurn;
class NoteListPane;
class UnitDataPane;

class DataViews : public QObject {
  Q_OBJECT

 public:
  DataViews(LineTurn& turn, UnitDataPane& unitData, NoteListPane& notes);

  // The unit data view's captions, a row each, in the order the requests run.
  static QStringList unitDataCaptions();

  void ReadUnitData();
  // True when this press completed the table (all 16 notes read).
  bool ReadNoteData();

  std::int16_t unitDataStep() const { return intUnitDataStep_; }
  std::uint8_t noteNo() const { return bytNoteNo_; }
  std::int16_t noteColumn() const { return intNoteColumn_; }
  bool countersSupported() const { return blnCountersSupported_; }

 private:
  // One unit data step: the control call, the row and the status line. Returns the result.
  std::int16_t unitDataStep(std::uint8_t address);
  std::int16_t noteDataRequest(std::uint8_t address);

  LineTurn& turn_;
  UnitDataPane& unitData_;
  NoteListPane& notes_;
  std::int16_t intUnitDataStep_ = 0;
  bool blnCountersSupported_ = false;
  std::uint8_t bytNoteNo_ = 1;
  std::int16_t intNoteColumn_ = 1;
  QTreeWidgetItem* itmNoteRow_ = nullptr;
  bool blnNoteInUse_ = false;
};

}  // namespace tolvar
