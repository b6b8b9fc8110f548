#pragma once
// The "Virtual Validator" pane: what a bench user does to the built-in validator with their
// hands (insert a note, pull the cash box, jam it, spoil the line) and what the unit holds now.
// The pane is the view alone: its presenter runs what its controls ask on the simulator and hands
// back what was done, the answer and the state.

#include <array>
#include <cstdint>

#include <QSize>
#include <QString>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QVBoxLayout;

namespace tolvar {

// How the virtual validator's line behaves, as the pane's switches show it.
struct VirtualLineState {
  bool echo = false;
  bool crc = false;
  bool encryption = false;
  bool pacing = false;
  QString key;
  int replyDelayMs = 0;
};

// What the pane shows of the device, read from the simulator.
struct VirtualValidatorState {
  int escrowNote = 0;         // position, 0: escrow empty
  int escrowHoldLeftMs = -1;  // -1: nothing held, or held until routed
  int eventCounter = 0;
  bool masterOpen = false;  // false: master inhibit on, every note refused
  std::array<std::uint8_t, 2> inhibitMask{};
  QString faults;  // as the console's status names them
  int framesReceived = 0;
  int framesDropped = 0;
  VirtualLineState line;
};

class VirtualValidatorPane : public QWidget {
  Q_OBJECT

 public:
  explicit VirtualValidatorPane(QWidget* parent = nullptr);

  void showState(const VirtualValidatorState& state);
  // What the last action did, in the words of the simulator's console ("insert 2"), and the
  // validator's answer.
  void showAnswer(const QString& action, const QString& answer);
  // A hint in the last-action line before anything has been done.
  void showHint(const QString& text);
  // Whether the bench's port is this validator's; off it, the pane says which port the bench
  // talks to instead, so nothing done here is taken for the device being polled.
  void showOnLine(bool onLine, const QString& benchPort);
  // The width that shows the sections one under the other, and the size that shows them all
  // side by side in two columns.
  int oneColumnWidth() const;
  QSize twoColumnSize() const;
  // 1 or 2: how the sections stand now.
  int columns() const { return columns_; }

  // The user's controls.
  QComboBox* note;
  QPushButton* insertNote;
  QPushButton* insertUnknown;
  QPushButton* cheat;
  QPushButton* jam;
  QPushButton* cashBoxOut;
  QPushButton* cashBoxIn;
  QPushButton* stackerFull;
  QSpinBox* selfTestCode;
  QPushButton* setSelfTest;
  QPushButton* powerCycle;
  QComboBox* faultKind;
  QSpinBox* faultCount;
  QPushButton* injectFault;
  QDoubleSpinBox* faultProbability;
  QPushButton* setProbability;
  QPushButton* clearFaults;
  QCheckBox* echo;
  QCheckBox* crc;
  QCheckBox* encryption;
  QCheckBox* pacing;
  QLineEdit* key;
  QPushButton* setKey;
  QSpinBox* replyDelay;
  QPushButton* setDelay;

  // The device's state as shown.
  QLabel* escrow;
  QLabel* eventCounter;
  QLabel* masterInhibit;
  QLabel* inhibitedNotes;
  QLabel* faults;
  QLabel* frames;
  QLabel* lastAction;
  QLabel* offLine;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  // The first two sections (notes, device state) stand on the left in two columns.
  static constexpr std::size_t kLeftSections = 2;
  void arrangeSections(int columns);
  // The constructor's parts: the last-action and off-line lines, then one section each.
  void buildMessages(QVBoxLayout* column);
  QWidget* buildNotes();
  QWidget* buildState();
  QWidget* buildUnit();
  QWidget* buildLine();
  void placeSections(QVBoxLayout* column);

  std::array<QWidget*, 4> sections_{};
  std::array<QVBoxLayout*, 2> sideColumns_{};
  int columns_ = 0;
};

}  // namespace tolvar
