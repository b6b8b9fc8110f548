#pragma once
// The unit data (17 identification steps) and note data (16 notes by 3 requests) views.

#include <cstdint>

class QTreeWidgetItem;

namespace tolvar {

class frmHost;

class DataViews {
 public:
  explicit DataViews(frmHost& host) : host_(host) {}

  void ReadUnitData();
  void ReadNoteData();

  std::int16_t unitDataStep() const { return intUnitDataStep_; }
  std::uint8_t noteNo() const { return bytNoteNo_; }
  std::int16_t noteColumn() const { return intNoteColumn_; }
  bool countersSupported() const { return blnCountersSupported_; }

 private:
  // One unit data step: the control call, the row and the status line. Returns the result.
  std::int16_t unitDataStep(std::uint8_t address);
  std::int16_t noteDataRequest(std::uint8_t address);

  frmHost& host_;
  std::int16_t intUnitDataStep_ = 0;
  bool blnCountersSupported_ = false;
  std::uint8_t bytNoteNo_ = 1;
  std::int16_t intNoteColumn_ = 1;
  QTreeWidgetItem* itmNoteRow_ = nullptr;
  bool blnNoteInUse_ = false;
};

}  // namespace tolvar
