#include <algorithm>
#include <array>
#include <initializer_list>
#include <memory>

#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include "bnvsim/simulator.h"
#include "quennet/control/zav_quennet.h"
#include "quennet/link/frame.h"
#include "quennet/link/line_capture.h"
#include "quennet/testing/scripted_line.h"
#include "tests/tolvar/named_control.h"
#include "tests/tolvar/rendered_text.h"
#include "tolvar/mainwindow/panes/bus_view_pane.h"
#include "tolvar/mainwindow/presenters/polling.h"
#include "tolvar/mainwindow/services/scripted_ui_services.h"
#include "tolvar/mainwindow/window/frm_host.h"
#include "tolvar/mainwindow/window/host_toolbar.h"

namespace tolvar {
namespace {

constexpr std::uint8_t kBusy = 6;
constexpr std::uint8_t kNak = 5;

// A reply frame to the host in CRC mode: 1, N, CRC low, header, data, CRC high.
QByteArray crcReply(std::uint8_t header, std::initializer_list<std::uint8_t> data) {
  std::vector<std::uint8_t> covered{1, static_cast<std::uint8_t>(data.size()), header};
  covered.insert(covered.end(), data.begin(), data.end());
  const std::uint16_t crc = quennet::crc16Xmodem(covered);
  QByteArray frame;
  frame.append(char(1)).append(char(data.size())).append(char(crc & 0xFF)).append(char(header));
  for (std::uint8_t byte : data) frame.append(char(byte));
  frame.append(char(crc >> 8));
  return frame;
}

// The main window on a temporary settings file; commands start from its toolbar buttons.
class Bench : public ::testing::Test {
 protected:
  void openWindow(const QString& port) {
    host = std::make_unique<frmHost>(ui, HostOptions{dir.filePath("tolvar.ini"), port});
  }
  void press(const QString& key) {
    QAction* button = named<tolvar::HostToolBar>(*host, "tlbUtility")->button(key);
    if (!button) button = named<tolvar::HostToolBar>(*host, "tlbDiagnostic")->button(key);
    if (!button) button = named<tolvar::HostToolBar>(*host, "tlbHost")->button(key);
    ASSERT_NE(button, nullptr) << key.toStdString();
    button->trigger();
  }
  QString status() const { return host->statusText(); }
  QColor eventColour() const { return renderedTextColour(named<QLabel>(*host, "lblEvent")); }

  QTemporaryDir dir;
  ScriptedUiServices ui;
  std::unique_ptr<frmHost> host;
};

// The device is played by a script answering every complete command with `reply`.
class ScriptedBench : public Bench {
 protected:
  void SetUp() override {
    openWindow({});
    auto scripted = std::make_unique<quennet::ScriptedLine>();
    line = scripted.get();
    host->control()->setLine(std::move(scripted));
    host->control()->setEnabled(true);
    ASSERT_TRUE(host->control()->Enabled());
    ui.clearShown();
  }
  void answer(const QByteArray& reply) {
    line->clearLog();
    line->setResponder([reply](const QByteArray& written) -> QByteArray {
      if (written.size() < 2 || written.size() < std::uint8_t(written[1]) + 5) return {};
      return written + reply;  // the shared line echoes the command first
    });
  }
  // Address, header and data of the last command sent.
  std::vector<int> sent() const {
    const QByteArray& log = line->writtenLog();
    int start = 0;
    while (start + std::uint8_t(log[start + 1]) + 5 < log.size())
      start += std::uint8_t(log[start + 1]) + 5;
    std::vector<int> bytes{std::uint8_t(log[start]), std::uint8_t(log[start + 3])};
    for (int i = start + 4; i < log.size() - 1; ++i) bytes.push_back(std::uint8_t(log[i]));
    return bytes;
  }

  quennet::ScriptedLine* line = nullptr;
};

TEST_F(ScriptedBench, CommsStatisticsReadAndClear) {
  answer(crcReply(0, {3, 0, 17}));
  press("Read_Rx");
  EXPECT_EQ(sent(), (std::vector<int>{40, 2}));
  EXPECT_EQ(named<QLabel>(*host, "lblCommsData_0")->text(), "3");
  EXPECT_EQ(named<QLabel>(*host, "lblCommsData_1")->text(), "0");
  EXPECT_EQ(named<QLabel>(*host, "lblCommsData_2")->text(), "17");
  EXPECT_EQ(status(), "BNV Reply: 3,0,11,");

  answer(crcReply(kBusy, {}));
  press("Read_Rx");
  EXPECT_EQ(named<QLabel>(*host, "lblCommsData_2")->text(), "17");
  EXPECT_EQ(status(), "BNV Reply: ");

  answer(crcReply(0, {}));
  press("Clear_Comms");
  EXPECT_EQ(sent(), (std::vector<int>{40, 3}));
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(named<QLabel>(*host, QStringLiteral("lblCommsData_%1").arg(i))->text(), "0");
  EXPECT_EQ(status(), "BNV Reply: ACK");
}

TEST_F(ScriptedBench, RefusedAddressSendsNothing) {
  named<QLineEdit>(*host, "txtAddress")->setText("300");
  answer(crcReply(0, {3, 0, 17}));
  press("Read_Rx");
  EXPECT_TRUE(line->writtenLog().isEmpty());
  EXPECT_TRUE(named<QLabel>(*host, "lblCommsData_0")->text().isEmpty());
  EXPECT_EQ(ui.messages().size(), 1u);
}

TEST_F(ScriptedBench, MotorFlagsFollowTheButton) {
  answer(crcReply(0, {}));
  press("Motor_Back");
  EXPECT_EQ(sent(), (std::vector<int>{40, 146, 1, 0, 0}));
  EXPECT_EQ(status(), "BNV Reply: ACK");
  press("Motor_Fwd");
  EXPECT_EQ(sent(), (std::vector<int>{40, 146, 1, 1, 0}));
  press("Motor_Stop");
  EXPECT_EQ(sent(), (std::vector<int>{40, 146, 0, 0, 0}));
}

// Two devices on one address both answer an address clash: the Bus View says so and asks
// neither what it is (both would answer at once); a device alone on its address is asked, and an
// answer nobody owns when asked is listed as answering in no mode. The script answers the clash
// in every framing: an address heard in several framings is not more devices for it.
TEST_F(ScriptedBench, AddressClashShowsTwoDevicesOnOneAddress) {
  line->clearLog();
  line->setResponder([](const QByteArray& written) -> QByteArray {
    if (written.size() < 2 || written.size() < std::uint8_t(written[1]) + 5) return {};
    // Two devices on 3, one on 40, and a byte of noise (119) where no device is.
    // A clash it cannot read (the encrypted one) goes unanswered.
    if (std::uint8_t(written[0]) == 0) {
      return std::uint8_t(written[3]) == 252 ? written + QByteArray("\x03\x03\x28\x77", 4)
                                             : written;
    }
    if (std::uint8_t(written[0]) == 119) return written;
    if (std::uint8_t(written[3]) == 254) return written + crcReply(0, {});
    return written +
           crcReply(0, {'B', 'i', 'l', 'l', ' ', 'V', 'a', 'l', 'i', 'd', 'a', 't', 'o', 'r'});
  });
  press("Addr_Clash");
  EXPECT_EQ(status(), "BNV Reply:  Address = 3, 3, 40, 119");
  auto* devices = named<QTreeWidget>(*host, "busDevices");
  EXPECT_TRUE(named<QLabel>(*host, "busSummary")
                  ->text()
                  .contains("3 addresses answered the address clash at "));
  EXPECT_TRUE(named<QLabel>(*host, "busSummary")
                  ->text()
                  .contains(" 1 of them answered no poll in any mode."))
      << named<QLabel>(*host, "busSummary")->text().toStdString();
  ASSERT_EQ(devices->topLevelItemCount(), 3);
  EXPECT_EQ(devices->topLevelItem(0)->text(0), "3");
  EXPECT_TRUE(devices->topLevelItem(0)->text(2).startsWith("2 devices on this address"));
  EXPECT_EQ(devices->topLevelItem(0)->foreground(2).color(), QColor(255, 0, 0));
  EXPECT_EQ(devices->topLevelItem(1)->text(1), "CRC-16");
  EXPECT_EQ(devices->topLevelItem(1)->text(2), "Bill Validator");
  EXPECT_EQ(devices->topLevelItem(2)->text(0), "119");
  EXPECT_EQ(devices->topLevelItem(2)->text(1), "none");
  // On the line: the clash in each of the three framings, 40 polled and asked what it is, maker,
  // product and serial, and 119 polled in each framing; never 3.
  const QByteArray& log = line->writtenLog();
  std::vector<int> destinations;
  for (qsizetype at = 0; at + 1 < log.size(); at += std::uint8_t(log[at + 1]) + 5)
    destinations.push_back(std::uint8_t(log[at]));
  EXPECT_EQ(destinations, (std::vector<int>{0, 0, 0, 40, 40, 40, 40, 40, 119, 119, 119}));
}

TEST_F(ScriptedBench, StackerOutcomesAndColours) {
  struct Case {
    QByteArray reply;
    QString text;
    QColor colour;
  };
  const Case cases[] = {{crcReply(0, {255}), "No Stacker Fitted", QColor(255, 128, 0)},
                        {crcReply(0, {254}), "Stacker Full or Jammed", QColor(255, 0, 0)},
                        {crcReply(0, {}), "Stacker OK", QColor(0, 192, 0)},
                        // Any other answer keeps the last colour.
                        {crcReply(kNak, {}), "NACK", QColor(0, 192, 0)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.toStdString());
    answer(c.reply);
    press("Stacker");
    EXPECT_EQ(sent(), (std::vector<int>{40, 147}));
    EXPECT_EQ(named<QLabel>(*host, "lblEvent")->text(), c.text);
    EXPECT_EQ(eventColour(), c.colour);
    EXPECT_EQ(status(), "BNV Reply: " + c.text);
  }
}

TEST_F(ScriptedBench, SelfTestFaultCodes) {
  answer(crcReply(0, {39, 0, 0, 0}));
  press("Self_Test");
  EXPECT_EQ(sent(), (std::vector<int>{40, 232}));
  EXPECT_EQ(named<QLabel>(*host, "lblEvent")->text(), "Error No. [39] Bill Jammed");
  EXPECT_EQ(eventColour(), QColor(255, 0, 0));
  EXPECT_EQ(status(), "BNV Reply: Error No. [39] Bill Jammed");

  answer(crcReply(0, {1}));
  press("Self_Test");
  EXPECT_EQ(named<QLabel>(*host, "lblEvent")->text(), "EEPROM checksum error");

  answer(crcReply(0, {200}));  // a code without a name keeps its number alone
  press("Self_Test");
  EXPECT_EQ(named<QLabel>(*host, "lblEvent")->text(), "Error No. [200]");

  answer(crcReply(0, {0}));
  press("Self_Test");
  EXPECT_EQ(named<QLabel>(*host, "lblEvent")->text(), "Self Test Passed");
  EXPECT_EQ(eventColour(), QColor(0, 192, 0));
}

TEST_F(ScriptedBench, SelfTestWithoutDataIsNoPass) {
  answer(crcReply(0, {39}));
  press("Self_Test");
  const std::pair<std::uint8_t, QString> noData[] = {{kBusy, "BUSY"}, {kNak, "NACK"}};
  for (const auto& [header, reason] : noData) {
    answer(crcReply(header, {}));
    press("Self_Test");
    // The previous test's fault must not read as this one's.
    EXPECT_EQ(named<QLabel>(*host, "lblEvent")->text(), "No Self Test Result");
    EXPECT_EQ(eventColour(), QColor(255, 0, 0));
    EXPECT_EQ(status(), "BNV Reply: No Self Test Result: " + reason);
  }
}

TEST_F(ScriptedBench, AddressChangeAnswers) {
  answer(crcReply(0, {}));
  ui.queueInput("40");
  press("Addr_Change");
  EXPECT_EQ(sent(), (std::vector<int>{40, 251, 40}));
  ASSERT_EQ(ui.shown().size(), 1u);
  EXPECT_EQ(ui.shown()[0].text, "Enter a new address (2 to 255):");
  EXPECT_EQ(ui.shown()[0].title, "Change cctalk Address");
  EXPECT_EQ(ui.shown()[0].defaultText, "40");
  EXPECT_EQ(status(), "BNV Reply: ACK");

  ui.queueInput("77.5abc");
  press("Addr_Change");
  EXPECT_EQ(sent(), (std::vector<int>{40, 251, 78}));
  EXPECT_EQ(named<QLineEdit>(*host, "txtAddress")->text(), "40");

  // Nothing goes out for 0, 1, Cancel, words, or an answer that is no byte.
  for (const QString typed : {"1", "", "abc", "0.4", "256", "-3"}) {
    SCOPED_TRACE(typed.toStdString());
    ui.clearShown();
    answer(crcReply(0, {}));
    ui.queueInput(typed);
    press("Addr_Change");
    EXPECT_TRUE(line->writtenLog().isEmpty());
    EXPECT_EQ(status(), "BNV Reply: ");
    const bool outOfRange = typed == "256" || typed == "-3";
    EXPECT_EQ(ui.messages().size(), outOfRange ? 1u : 0u);
  }
}

// The virtual validator on a pseudo-terminal, with a hopper and a coin acceptor on the bus.
class SimulatedBench : public Bench {
 protected:
  SimulatedBench() : sim(busWithThreeDevices()) {}
  explicit SimulatedBench(const bnvsim::SimulatorOptions& options) : sim(options) {}

  void SetUp() override {
    QString error;
    ASSERT_TRUE(sim.start(&error)) << error.toStdString();
    openWindow(sim.slavePath());
    ASSERT_TRUE(host->control()->Enabled());
  }

  // Every column of every row of the Bus View, as the table displays it.
  std::vector<QStringList> busRows() const {
    auto* devices = named<QTreeWidget>(*host, "busDevices");
    std::vector<QStringList> rows;
    for (int i = 0; i < devices->topLevelItemCount(); ++i) {
      QStringList row;
      for (int column = 0; column < devices->columnCount(); ++column)
        row << devices->topLevelItem(i)->data(column, Qt::DisplayRole).toString();
      rows.push_back(row);
    }
    return rows;
  }

  bnvsim::SimulatorOptions busWithThreeDevices() const {
    bnvsim::SimulatorOptions options;
    options.hopper = true;
    options.coinAcceptor = true;
    options.capturePath = capturePath();
    return options;
  }
  QString capturePath() const { return dir.filePath(QStringLiteral("line.cap")); }
  // The addresses of the frames the host has put on the line so far, as the line saw them.
  std::vector<int> destinationsOnTheLine() const {
    QFile file(capturePath());
    if (!file.open(QIODevice::ReadOnly)) return {};
    QString error;
    const auto chunks = quennet::parseCapture(file.readAll(), &error);
    QByteArray sent;
    for (const quennet::CaptureChunk& chunk : chunks.value_or(std::vector<quennet::CaptureChunk>{}))
      if (chunk.direction == quennet::FrameDirection::Host) sent += chunk.bytes;
    std::vector<int> destinations;
    for (qsizetype at = 0; at + 1 < sent.size(); at += std::uint8_t(sent[at + 1]) + 5)
      destinations.push_back(std::uint8_t(sent[at]));
    return destinations;
  }

  bnvsim::Simulator sim;
};

TEST_F(SimulatedBench, MasterInhibitReadSetAndBusy) {
  press("Set_M_Inh1");
  EXPECT_EQ(sim.masterInhibit(), 1);
  // The label says what the buttons say: 1 is master inhibit OFF, notes accepted.
  EXPECT_EQ(named<QLabel>(*host, "lblMasterInh")->text(), "OFF");
  press("Set_M_Inh2");
  EXPECT_EQ(sim.masterInhibit(), 0);
  press("Read_M_Inh");
  EXPECT_EQ(named<QLabel>(*host, "lblMasterInh")->text(), "ON");
  EXPECT_EQ(status(), "BNV Reply: ACK");

  press("Set_M_Inh1");
  sim.injectFault(bnvsim::Fault::Busy);
  press("Read_M_Inh");
  EXPECT_EQ(status(), "BNV Reply: BUSY");
  EXPECT_EQ(named<QLabel>(*host, "lblMasterInh")->text(), "OFF");
}

TEST_F(SimulatedBench, SelfTestFaultFromTheValidator) {
  press("Self_Test");
  EXPECT_EQ(named<QLabel>(*host, "lblEvent")->text(), "Self Test Passed");
  EXPECT_EQ(eventColour(), QColor(0, 192, 0));
  sim.setSelfTestFault(39);
  press("Self_Test");
  EXPECT_EQ(named<QLabel>(*host, "lblEvent")->text(), "Error No. [39] Bill Jammed");
  EXPECT_EQ(eventColour(), QColor(255, 0, 0));
  EXPECT_EQ(status(), "BNV Reply: Error No. [39] Bill Jammed");
}

TEST_F(SimulatedBench, BillModeQuestions) {
  struct Case {
    std::vector<MsgResult> answers;
    int mode;
  };
  const Case cases[] = {{{MsgResult::No, MsgResult::Yes}, 1},
                        {{MsgResult::Yes, MsgResult::Yes}, 3},
                        {{MsgResult::Yes, MsgResult::No}, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    for (MsgResult a : c.answers) ui.queueMessageAnswer(a);
    press("Set_Bill_Mode");
    EXPECT_EQ(sim.billMode(), c.mode);
    press("Read_Bill_Mode");
    EXPECT_EQ(named<QLabel>(*host, "lblBillMode_0")->text(), c.mode & 1 ? "ENABLED" : "DISABLED");
    EXPECT_EQ(named<QLabel>(*host, "lblBillMode_1")->text(), c.mode & 2 ? "ENABLED" : "DISABLED");
    EXPECT_EQ(status(), "BNV Reply: " + QString::number(c.mode));
  }
  ASSERT_GE(ui.messages().size(), 2u);
  EXPECT_EQ(ui.messages()[0].text, "Do you want to enable the Escrow function?");
  EXPECT_EQ(ui.messages()[1].text, "Do you want to enable the Stacker function?");
  EXPECT_EQ(ui.messages()[1].buttons, MsgButtons::YesNoCancel);

  for (const auto& answers :
       {std::vector{MsgResult::Cancel}, std::vector{MsgResult::Yes, MsgResult::Cancel}}) {
    const int frames = sim.framesReceived();
    for (MsgResult a : answers) ui.queueMessageAnswer(a);
    press("Set_Bill_Mode");
    EXPECT_EQ(sim.framesReceived(), frames);
    EXPECT_EQ(status(), "BNV Reply: ");
  }
  EXPECT_EQ(sim.billMode(), 2);
}

// Both polls wait out the whole collection time, so they share one test: the reply line, the
// Bus View's list, and a device picked there as the next command's destination.
TEST_F(SimulatedBench, AddressPollListsEveryDeviceOrNone) {
  named<QLineEdit>(*host, "txtAddress")->setText("999");  // a broadcast needs no valid address
  press("Addr_Poll");
  const QString text = status();
  QStringList orders;
  std::array<QString, 3> addresses{"2", "3", "40"};
  do {
    orders << "BNV Reply:  Address = " + addresses[0] + ", " + addresses[1] + ", " + addresses[2];
  } while (std::next_permutation(addresses.begin(), addresses.end()));
  EXPECT_TRUE(orders.contains(text)) << text.toStdString();

  // The Bus View lists each address once, in order, with the mode it answers in and what the
  // device there says it is.
  EXPECT_FALSE(host->busViewDock()->isHidden());
  auto* devices = named<QTreeWidget>(*host, "busDevices");
  EXPECT_EQ(busRows(), (std::vector<QStringList>{
                           {"2", "CRC-16", "Coin Acceptor", "QNT", "QCA1", "420017"},
                           {"3", "CRC-16", "Payout", "QNT", "QHP1", "700301"},
                           {"40", "CRC-16", "Bill Validator", "QNT", "QBV1", "1234567"}}));
  EXPECT_TRUE(named<QLabel>(*host, "busSummary")
                  ->text()
                  .startsWith("3 addresses answered the address poll at "));
  // The row picked is where the next command goes, on the line; the validator's unit data goes
  // from the form, and polling stays on the validator, which the status bar says.
  named<QLineEdit>(*host, "txtAddress")->setText("40");
  press("Unit_Data");
  ASSERT_GT(named<QTreeWidget>(*host, "lstViewUnitData")->topLevelItemCount(), 0);
  press("Poll_BNV");
  ASSERT_TRUE(host->polling().polling());
  devices->setCurrentItem(devices->topLevelItem(1));
  named<QPushButton>(*host, "busTalkTo")->click();
  EXPECT_EQ(named<QLineEdit>(*host, "txtAddress")->text(), "3");
  EXPECT_EQ(status(),
            "Commands now go to address 3; the event poll stays on address 40 (Poll BNV again to "
            "poll 3)");
  EXPECT_EQ(named<QTreeWidget>(*host, "lstViewUnitData")->topLevelItemCount(), 0);
  EXPECT_TRUE(devices->topLevelItem(1)->font(0).bold());
  EXPECT_FALSE(devices->topLevelItem(2)->font(0).bold());
  const std::size_t before = destinationsOnTheLine().size();
  named<tolvar::HostToolBar>(*host, "tlbHost")->button("Simple_Poll")->trigger();
  host->polling().tick();
  const std::vector<int> after = destinationsOnTheLine();
  ASSERT_EQ(after.size(), before + 2);
  EXPECT_EQ(after[before], 3);
  EXPECT_EQ(after[before + 1], 40);
  EXPECT_EQ(status(), "BNV Reply: ACK");
  press("Poll_BNV");  // stopped

  // With the port closed nothing goes out, and the pane says so rather than that nobody answered.
  host->portAction()->trigger();
  named<QPushButton>(*host, "busPoll")->click();
  EXPECT_TRUE(named<QLabel>(*host, "busSummary")
                  ->text()
                  .endsWith(": Port closed. No address poll went out."))
      << named<QLabel>(*host, "busSummary")->text().toStdString();
  EXPECT_EQ(status(), "BNV Reply: Port closed: nothing sent (File > Open Port, Ctrl+P)");
  EXPECT_EQ(destinationsOnTheLine().size(), after.size());
  host->portAction()->trigger();

  // On a bus that encrypts with a key the bench does not hold nobody answers, while the line
  // still echoes.
  bnvsim::LineOptions line;
  line.encryption = true;
  line.key = QStringLiteral("135791");
  sim.setLineOptions(line);
  QElapsedTimer clock;
  clock.start();
  named<QPushButton>(*host, "busClash")->click();
  EXPECT_GE(clock.elapsed(), 1100);
  EXPECT_EQ(status(), "BNV Reply: ");
  EXPECT_TRUE(ui.messages().empty());
  // Nobody is left in the list, and the pane says so.
  EXPECT_EQ(devices->topLevelItemCount(), 0);
  EXPECT_TRUE(named<QLabel>(*host, "busSummary")
                  ->text()
                  .startsWith("No device answered the address clash"));
}

// The commonest kiosk bus: an encrypted CRC-16 validator beside an 8-bit coin acceptor and hopper.
class MixedBusBench : public SimulatedBench {
 protected:
  MixedBusBench() : SimulatedBench(mixedBus()) {}
  static bnvsim::SimulatorOptions mixedBus() {
    bnvsim::SimulatorOptions options;
    options.hopper = true;
    options.coinAcceptor = true;
    options.validatorFraming = bnvsim::framingFromText(QStringLiteral("encrypted:123456"));
    options.coinAcceptorFraming = bnvsim::framingFromText(QStringLiteral("checksum8"));
    options.hopperFraming = bnvsim::framingFromText(QStringLiteral("checksum8"));
    return options;
  }
  // The pixels of one cell of the Bus View as the screen shows it.
  QImage cellOnScreen(int row, int column) const {
    auto* devices = named<QTreeWidget>(*host, "busDevices");
    const QRect rect = devices->visualItemRect(devices->topLevelItem(row));
    const QRect cell(devices->header()->sectionViewportPosition(column), rect.y(),
                     devices->header()->sectionSize(column), rect.height());
    return devices->viewport()->grab(cell).toImage().convertToFormat(QImage::Format_RGB32);
  }
  static bool hasRedText(const QImage& image) {
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) {
        const QColor pixel(image.pixel(x, y));
        if (pixel.red() > 200 && pixel.green() < 80 && pixel.blue() < 80) return true;
      }
    return false;
  }
};

// Each device is listed in the mode it answers in, whatever the bench's own; one that answers the
// broadcast and then nothing is listed as such; picking a device in another mode says so.
TEST_F(MixedBusBench, BusViewShowsEachDevicesMode) {
  named<QLineEdit>(*host, "txtEncKey")->setText("123456");
  host->resize(1200, 800);
  host->show();
  press("Addr_Poll");
  EXPECT_EQ(status(), "BNV Reply:  Address = 2, 3, 40");
  const std::vector<QStringList> everyone{
      {"2", "8-bit checksum", "Coin Acceptor", "QNT", "QCA1", "420017"},
      {"3", "8-bit checksum", "Payout", "QNT", "QHP1", "700301"},
      {"40", "CRC-16 encrypted", "Bill Validator", "QNT", "QBV1", "1234567"}};
  EXPECT_EQ(busRows(), everyone);
  EXPECT_FALSE(hasRedText(cellOnScreen(0, 1)));

  // Picking a device tells which mode it answers in when the bench sends in another.
  auto* devices = named<QTreeWidget>(*host, "busDevices");
  struct Pick {
    int row;
    bool encrypt;
    QString status;
  };
  const Pick picks[] = {
      {0, false,
       "Commands now go to address 2 (it answers in 8-bit checksum; the bench sends "
       "CRC-16)"},
      {2, false,
       "Commands now go to address 40 (it answers in CRC-16 encrypted; the bench sends "
       "CRC-16)"},
      {2, true, "Commands now go to address 40"}};
  for (const Pick& pick : picks) {
    SCOPED_TRACE(pick.status.toStdString());
    named<QCheckBox>(*host, "chkEncrpyt")->setChecked(pick.encrypt);
    devices->setCurrentItem(devices->topLevelItem(pick.row));
    named<QPushButton>(*host, "busTalkTo")->click();
    EXPECT_EQ(status(), pick.status);
  }
  named<QCheckBox>(*host, "chkEncrpyt")->setChecked(false);
  // An address clash goes out in every framing too.
  named<QPushButton>(*host, "busClash")->click();
  EXPECT_EQ(busRows(), everyone);
  EXPECT_EQ(status(), "BNV Reply:  Address = 2, 3, 40");

  // A coin acceptor that answers BUSY to every poll is on the bus all the same: listed, in red,
  // as answering in no mode.
  ASSERT_TRUE(sim.setBusyReplies(2, 20));
  named<QPushButton>(*host, "busPoll")->click();
  std::vector<QStringList> busy = everyone;
  busy[0] = QStringList{"2", "none", "(no reply when asked)", "", "", ""};
  EXPECT_EQ(busRows(), busy);
  EXPECT_TRUE(hasRedText(cellOnScreen(0, 1)));
  EXPECT_FALSE(hasRedText(cellOnScreen(1, 1)));
  EXPECT_TRUE(named<QLabel>(*host, "busSummary")
                  ->text()
                  .contains("3 addresses answered the address poll at "));
  EXPECT_TRUE(named<QLabel>(*host, "busSummary")
                  ->text()
                  .contains(" 1 of them answered no poll in any mode."));

  // Without the validator's key the validator is not heard at all; the others still are.
  named<QLineEdit>(*host, "txtEncKey")->setText("000001");
  sim.clearFaults();
  ASSERT_TRUE(sim.setBusyReplies(2, 0));
  named<QPushButton>(*host, "busPoll")->click();
  EXPECT_EQ(busRows(), std::vector<QStringList>(everyone.begin(), everyone.begin() + 2));
}

}  // namespace
}  // namespace tolvar
