// The traffic pane and the event history on the virtual validator, and the pane's bound under a
// long poll loop.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSpinBox>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include "quennet/commands/command_set.h"
#include "quennet/control/zav_quennet.h"
#include "quennet/link/frame.h"
#include "quennet/testing/scripted_line.h"
#include "support/reply_frames.h"
#include "tests/tolvar/bench_fixture.h"
#include "tolvar/mainwindow/panes/event_texts.h"
#include "tolvar/mainwindow/presenters/polling.h"
#include "tolvar/mainwindow/traffic/event_history.h"
#include "tolvar/mainwindow/traffic/traffic_dock.h"
#include "tolvar/mainwindow/traffic/traffic_pane.h"

using tolvar::frmHost;
using tolvar::TrafficLog;

namespace {

struct HistoryRow {
  QString counter;
  QString text;
  QColor colour;
};

// The rows as the history's view shows them.
std::vector<HistoryRow> historyRows(tolvar::EventHistory* history) {
  const QAbstractItemModel* model = history->model();
  std::vector<HistoryRow> rows;
  for (int i = 0; i < model->rowCount(); ++i) {
    rows.push_back({model->index(i, 1).data().toString(), model->index(i, 2).data().toString(),
                    model->index(i, 2).data(Qt::ForegroundRole).value<QColor>()});
  }
  return rows;
}

// The traffic dock observing a command set whose device answers every event buffer read at
// once, its counter one up each time.
struct PolledDock {
  PolledDock() {
    auto line = std::make_unique<quennet::ScriptedLine>();
    quennet::ScriptedLine* device = line.get();
    host.setLine(std::move(line));
    host.setFrameObserver(&dock);
    EXPECT_TRUE(device->open());
    // Polls in moments: the pause the engine keeps between a reply and the next frame ends at
    // once on a line known to stay silent.
    device->setEndsWaitsWhenPlayedOut(true);
    device->setResponder([this](const QByteArray& written) {
      if (testframes::completeFrameLength(written) == 0) return QByteArray();
      return testframes::reply(0, {counter, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false);
    });
  }
  // One read of the event buffer, answered with the next counter.
  bool poll() {
    ++counter;
    std::array<std::uint8_t, 11> buffer{};
    return host.GetEventBuffer(40, buffer) == 0;
  }

  tolvar::ScriptedUiServices ui;
  tolvar::TrafficDock dock{ui};
  quennet::CommandSet host;
  std::uint8_t counter = 0;
};

}  // namespace

TEST_F(BenchOnSimulator, EventHistoryListsEveryEventALostJumpOfEightAndAReset) {
  frmHost& w = open();
  tolvar::TrafficDock* dock = w.trafficDock();
  EXPECT_FALSE(dock->isVisibleTo(&w));  // the form as designed until the user asks
  w.polling().PollEvents();
  sim.removeCashBox();
  w.polling().PollEvents();
  for (int i = 0; i < 4; ++i) {
    sim.insertCashBox();
    sim.removeCashBox();
  }
  w.polling().PollEvents();  // the counter moved from 1 to 9: three fell out of the buffer
  sim.reset();
  w.polling().PollEvents();
  sim.insertCashBox();
  w.polling().PollEvents();
  // A reset and two events between two polls: the counter moves from 1 to 2 over a buffer
  // emptied behind them, which only the validator's inhibit status tells from a counter that
  // counted on; the poll asks for it.
  sim.reset();
  sim.removeCashBox();
  sim.insertCashBox();
  w.polling().PollEvents();

  const QString removed = QStringLiteral("Cash Box Removed");
  const QString inserted = QStringLiteral("Cash Box Inserted");
  const auto rows = historyRows(dock->eventHistory());
  const std::vector<std::pair<QString, QString>> expected = {
      {"0", "Watching from event counter 0"},
      {"1", removed},
      {"2..4", "3 events lost"},
      {"5", removed},
      {"6", inserted},
      {"7", removed},
      {"8", inserted},
      {"9", removed},
      {"0", "Validator reset: event counter back at 0"},
      {"1", inserted},
      {"2", "Validator reset: event counter back at 2"},
      {"1", removed},
      {"2", inserted},
  };
  ASSERT_EQ(rows.size(), expected.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].counter, expected[i].first) << i;
    EXPECT_EQ(rows[i].text, expected[i].second) << i;
  }
  EXPECT_EQ(rows[2].colour, tolvar::kEventRed);
  EXPECT_EQ(rows[3].colour, tolvar::decodeEvent(0, 11).colour);
  EXPECT_EQ(rows[8].colour, QColor());
  // Copy All and Save take every row, the time with its date.
  tolvar::EventHistoryPane* pane = dock->eventHistoryPane();
  pane->copyAll->click();
  const QStringList copied = QApplication::clipboard()->text().split(u'\n');
  ASSERT_EQ(copied.size(), static_cast<qsizetype>(expected.size()) + 1);
  const QString today = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd "));
  EXPECT_TRUE(copied[2].startsWith(today)) << copied[2].toStdString();
  EXPECT_TRUE(copied[2].endsWith(QStringLiteral("\t2..4\t3 events lost")));
  const QString path = dir.filePath(QStringLiteral("events.csv"));
  ui.queueSaveFileName(path);
  pane->save->click();
  QFile saved(path);
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  const QList<QByteArray> lines = saved.readAll().split('\n');
  ASSERT_EQ(lines.size(), static_cast<qsizetype>(expected.size()) + 2);
  EXPECT_EQ(lines[0], "\"Time\",\"Event #\",\"Event\"");
  EXPECT_TRUE(lines[3].endsWith(",\"2..4\",\"3 events lost\"")) << lines[3].toStdString();
  // The main label still shows the newest event only.
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), inserted);

  // Polling started: the history takes up from the counter it finds; what happened while
  // nobody polled is neither replayed with the current time nor counted as lost.
  sim.removeCashBox();
  sim.insertCashBox();
  click("tlbHost", "Poll_BNV");
  w.polling().tick();
  click("tlbHost", "Poll_BNV");
  const auto resumed = historyRows(dock->eventHistory());
  ASSERT_EQ(resumed.size(), expected.size() + 1);
  EXPECT_EQ(resumed.back().counter, "4");
  EXPECT_EQ(resumed.back().text, "Watching from event counter 4");
}

TEST_F(BenchOnSimulator, TrafficPaneShowsDecodedFramesAndSavesThemWhole) {
  frmHost& w = open();
  tolvar::TrafficDock* dock = w.trafficDock();
  dock->toggleViewAction()->trigger();
  EXPECT_TRUE(dock->isVisibleTo(&w));
  w.polling().PollEvents();
  QString reply;
  w.control()->SendPoll(41, reply);  // nobody at 41: a time-out
  tolvar::TrafficPane* pane = dock->trafficPane();
  pane->log().flush();
  QAbstractItemModel* shown = pane->table()->model();
  ASSERT_EQ(shown->rowCount(), 4);
  const auto cell = [shown](int row, int column) {
    return shown->data(shown->index(row, column)).toString();
  };
  EXPECT_EQ(cell(0, TrafficLog::Name), "Read buffered bill events");
  EXPECT_EQ(cell(0, TrafficLog::Destination), "40");  // addresses as the address box takes them
  EXPECT_EQ(cell(1, TrafficLog::Result), "0 OK");
  EXPECT_EQ(cell(1, TrafficLog::Data), "00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(cell(3, TrafficLog::Name), "No reply ← Simple poll");  // as the monitor pairs it
  EXPECT_EQ(cell(3, TrafficLog::Result), "2 Timeout Error [0]");
  // Each frame's time since the one before: none for the first; the missing reply's is the wait
  // for it, as long as its transaction took.
  EXPECT_TRUE(cell(0, TrafficLog::Delta).isEmpty());
  EXPECT_GE(cell(1, TrafficLog::Delta).toDouble(), 0.0);
  EXPECT_NEAR(cell(3, TrafficLog::Delta).toDouble(), cell(3, TrafficLog::Duration).toDouble(), 5.0);
  EXPECT_GE(cell(3, TrafficLog::Delta).toDouble(), 100.0);

  named<QRadioButton>(w, "optAscii")->setChecked(true);  // numbers follow the debug frames' choice
  EXPECT_EQ(cell(0, TrafficLog::Destination), "40");
  pane->resultFilter->setCurrentText(QStringLiteral("Time-out"));
  ASSERT_EQ(shown->rowCount(), 2);  // the poll to 41 and its missing reply
  EXPECT_EQ(cell(0, TrafficLog::Destination), "41");

  const QString path = dir.filePath(QStringLiteral("traffic.csv"));
  ui.queueSaveFileName(path);
  pane->save->click();
  // The name offered carries the time and an extension.
  ASSERT_EQ(ui.proposedSaveNames().size(), 1);
  EXPECT_TRUE(
      QRegularExpression(QStringLiteral("^tolvar-traffic-\\d{4}-\\d\\d-\\d\\d-\\d{6}\\.txt$"))
          .match(ui.proposedSaveNames()[0])
          .hasMatch())
      << ui.proposedSaveNames()[0].toStdString();
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QList<QByteArray> lines = file.readAll().split('\n');
  ASSERT_EQ(lines.size(), 4);  // title row, two rows, the last line's end
  EXPECT_TRUE(lines[0].startsWith("\"Time\",\"+ms\",\"Dir\",\"Dest\""));
  EXPECT_TRUE(lines[2].contains(",\"2 Timeout Error [0]\",")) << lines[2].toStdString();
  // A saved time carries its date.
  EXPECT_TRUE(lines[1].startsWith(
      '"' + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")).toLatin1() + ' '))
      << lines[1].toStdString();
  EXPECT_TRUE(ui.messages().empty());

  // Find selects the next row holding the text and stops following; Ctrl+C copies the
  // selected rows as tab-separated lines, Save Selected writes only them.
  pane->resultFilter->setCurrentText(QStringLiteral("All results"));
  EXPECT_TRUE(pane->findNext(QStringLiteral("timeout error")));
  EXPECT_FALSE(pane->follow->isChecked());
  EXPECT_EQ(pane->table()->currentIndex().row(), 3);
  // Backwards (Shift+F3) from there: the rows before it, then round from the end.
  EXPECT_TRUE(pane->findNext(QStringLiteral("simple poll"), true));
  EXPECT_EQ(pane->table()->currentIndex().row(), 2);
  EXPECT_TRUE(pane->findNext(QStringLiteral("simple poll"), true));
  EXPECT_EQ(pane->table()->currentIndex().row(), 3);
  EXPECT_FALSE(pane->findNext(QStringLiteral("no such text")));
  pane->table()->selectionModel()->select(shown->index(0, 0),
                                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
  pane->copyAction->trigger();
  const QStringList copied = QApplication::clipboard()->text().split(u'\n');
  ASSERT_EQ(copied.size(), 3);  // rows 0 and 3, the last line's end
  EXPECT_EQ(copied[0].split(u'\t').value(TrafficLog::Name), "Read buffered bill events");
  EXPECT_EQ(copied[1].split(u'\t').value(TrafficLog::Result), "2 Timeout Error [0]");
  const QString selectedPath = dir.filePath(QStringLiteral("selected.txt"));
  ui.queueSaveFileName(selectedPath);
  pane->saveSelected->click();
  QFile selected(selectedPath);
  ASSERT_TRUE(selected.open(QIODevice::ReadOnly));
  EXPECT_EQ(selected.readAll().count('\n'), 3);  // the title row and the two rows

  // A file that cannot be written is reported, and nothing is left half-written.
  const QString nowhere = dir.filePath(QStringLiteral("missing/traffic.txt"));
  ui.queueSaveFileName(nowhere);
  pane->save->click();
  ASSERT_EQ(ui.messages().size(), 1u);
  EXPECT_TRUE(ui.messages()[0].text.startsWith("The log could not be written to " + nowhere));
  EXPECT_FALSE(QFile::exists(nowhere));

  // A reply cut short is not silence: the row says how much of it came.
  sim.injectFault(bnvsim::Fault::Truncated);
  w.control()->SendPoll(40, reply);
  pane->log().flush();
  EXPECT_EQ(cell(shown->rowCount() - 1, TrafficLog::Name),
            "Truncated reply of 2 bytes ← Simple poll");

  // A NAK is a refusal, with result 0 where no data was asked for as well: the refusals filter
  // finds both and their commands, in red, and the OK filter leaves them out.
  sim.injectFault(bnvsim::Fault::Nak);
  w.control()->SendPoll(40, reply);
  sim.injectFault(bnvsim::Fault::Nak);
  w.control()->GetSerialNo(40, reply);
  pane->log().flush();
  pane->resultFilter->setCurrentText(QStringLiteral("Refused (NAK)"));
  ASSERT_EQ(shown->rowCount(), 4);
  EXPECT_EQ(cell(0, TrafficLog::Direction), "Host >");
  EXPECT_EQ(cell(1, TrafficLog::Result), "0 OK");
  EXPECT_EQ(cell(3, TrafficLog::Name), "NAK ← Request serial number");
  EXPECT_EQ(shown->index(1, TrafficLog::Result).data(Qt::ForegroundRole).value<QBrush>().color(),
            tolvar::kEventRed);
  pane->resultFilter->setCurrentText(QStringLiteral("OK"));
  for (int row = 0; row < shown->rowCount(); ++row) {
    EXPECT_NE(cell(row, TrafficLog::Name), "NAK ← Simple poll") << row;
  }
  pane->resultFilter->setCurrentText(QStringLiteral("All results"));

  // A CRC keeps its four hexadecimal digits, high byte first, as the frame carries them: a
  // simple poll to an address (nobody there) whose CRC starts with a zero.
  int address = 41;
  while (quennet::crc16Xmodem(
             std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(address), 0, 254}) >= 0x1000) {
    ++address;
  }
  named<QRadioButton>(w, "optHex")->setChecked(true);
  w.control()->SendPoll(static_cast<std::uint8_t>(address), reply);
  pane->log().flush();
  const int sent = shown->rowCount() - 2;
  const QStringList raw = cell(sent, TrafficLog::Raw).split(u' ');
  ASSERT_EQ(raw.size(), 5);
  EXPECT_EQ(cell(sent, TrafficLog::SourceOrCrc), "CRC " + raw[4] + raw[2]);
  EXPECT_TRUE(raw[4].startsWith(u'0'));

  // The analyser's filters: one device's frames and replies, one direction, the poll loop's
  // reads hidden; the headers offered as the Hdr column writes them.
  w.polling().PollEvents();
  pane->log().flush();
  pane->addressFilter->setValue(41);
  ASSERT_EQ(shown->rowCount(), 2);  // the poll to 41 and its missing reply
  EXPECT_EQ(cell(0, TrafficLog::Destination), "41");
  EXPECT_EQ(cell(1, TrafficLog::Name), "No reply ← Simple poll");
  pane->addressFilter->setValue(tolvar::TrafficFilter::kAllAddresses);
  EXPECT_EQ(pane->addressFilter->text(), "All addresses");
  pane->directionFilter->setCurrentText(QStringLiteral("< Device"));
  ASSERT_GT(shown->rowCount(), 0);
  for (int row = 0; row < shown->rowCount(); ++row) {
    EXPECT_EQ(cell(row, TrafficLog::Direction), "< Device") << row;
  }
  pane->directionFilter->setCurrentText(QStringLiteral("Both ways"));
  const int all = shown->rowCount();
  pane->hidePolls->setChecked(true);
  EXPECT_EQ(shown->rowCount(), all - 4);  // two event buffer reads and their replies
  for (int row = 0; row < shown->rowCount(); ++row) {
    EXPECT_FALSE(cell(row, TrafficLog::Name).contains("Read buffered bill events")) << row;
  }
  pane->hidePolls->setChecked(false);
  EXPECT_EQ(cell(0, TrafficLog::Header), "9F");
  EXPECT_GE(pane->headerFilter->findText(QStringLiteral("9F Read buffered bill events")), 0);
  named<QRadioButton>(w, "optAscii")->setChecked(true);
  EXPECT_EQ(cell(0, TrafficLog::Header), "159");
  EXPECT_GE(pane->headerFilter->findText(QStringLiteral("159 Read buffered bill events")), 0);
  pane->headerFilter->setCurrentIndex(
      pane->headerFilter->findText(QStringLiteral("159 Read buffered bill events")));
  named<QRadioButton>(w, "optHex")->setChecked(true);  // the choice stays through the new base
  EXPECT_EQ(pane->headerFilter->currentText(), "9F Read buffered bill events");
  EXPECT_EQ(shown->rowCount(), 4);
}

// A capture running when the bench closes runs again when it starts, into the same files.
TEST_F(BenchOnSimulator, ACaptureRunningAtCloseGoesOnAtTheNextStart) {
  const QString path = dir.filePath(QStringLiteral("bench.log"));
  frmHost& w = open("CaptureFile = " + path.toUtf8() + "\r\nCaptureSize = 2\r\n");
  w.polling().PollEvents();
  w.close();
  EXPECT_TRUE(readFile(settingsPath())
                  .endsWith("CaptureFile = " + path.toUtf8() +
                            "\r\nCaptureSize = 2\r\nCaptureCount = 10\r\n"));
  frmHost& again = open();
  // The capture goes on, and the status bar says so: it writes whether its pane is shown or not.
  EXPECT_EQ(again.statusText(), "Capture resumed: every frame goes on to " + path);
  again.polling().PollEvents();
  const QList<QByteArray> lines = readFile(path).split('\n');
  ASSERT_EQ(lines.size(), 6);  // the titles, two polls and their replies, the last line's end
  EXPECT_TRUE(lines[4].contains("\tReply ← Read buffered bill events\t"));
  // Stopped, it is gone from the file.
  host->trafficDock()->trafficPane()->captureButton->click();
  host->close();
  EXPECT_FALSE(readFile(settingsPath()).contains("Capture"));
}

// Pause freezes the view, never the capture: two seconds of polling behind a paused view are
// all there when it resumes, every frame the validator received with its reply.
TEST_F(BenchOnSimulator, PauseFreezesTheViewButLosesNoFrame) {
  frmHost& w = open();
  tolvar::TrafficPane* pane = w.trafficDock()->trafficPane();
  QAbstractItemModel* shown = pane->table()->model();
  click("tlbEnable", "Enable_All");
  click("tlbHost", "Poll_BNV");
  pane->pause->setChecked(true);
  const int frozen = shown->rowCount();
  const int framesBefore = sim.framesReceived();
  QEventLoop twoSeconds;
  QTimer::singleShot(2000, &twoSeconds, &QEventLoop::quit);
  twoSeconds.exec();
  click("tlbHost", "Poll_BNV");
  EXPECT_GE(sim.framesReceived() - framesBefore, 5);  // polls went on meanwhile
  EXPECT_EQ(shown->rowCount(), frozen);
  pane->pause->setChecked(false);
  ASSERT_EQ(shown->rowCount(), 2 * sim.framesReceived());
  for (int row = 0; row < shown->rowCount(); row += 2) {
    EXPECT_EQ(shown->index(row, TrafficLog::Direction).data().toString(), "Host >") << row;
    EXPECT_EQ(shown->index(row + 1, TrafficLog::Result).data().toString(), "0 OK") << row;
  }
}

// An hour of polls at 200 ms against a device that answers at once: the pane keeps the newest
// 10,000 frames, also when the event loop is too busy to show each batch.
TEST(TrafficPaneBound, AnHourOfPollingKeepsTheNewestFramesOnly) {
  PolledDock polled;
  tolvar::TrafficDock& dock = polled.dock;
  TrafficLog& log = dock.trafficPane()->log();
  constexpr int kPolls = 3600 * 1000 / 200;
  for (int poll = 1; poll <= kPolls; ++poll) {
    ASSERT_TRUE(polled.poll());
    // The first half shows each batch; in the second the loop never gets to.
    if (poll < kPolls / 2 && poll % 50 == 0) log.flush();
    ASSERT_LE(log.pending(), TrafficLog::kDefaultLimit);
    ASSERT_LE(log.rowCount(), TrafficLog::kDefaultLimit);
  }
  log.flush();
  ASSERT_EQ(log.rowCount(), TrafficLog::kDefaultLimit);
  EXPECT_EQ(dock.trafficPane()->table()->model()->rowCount(), TrafficLog::kDefaultLimit);
  // The newest reply is last, and the oldest kept is the host frame 5,000 polls back.
  const auto cell = [&log](int row, int column) {
    return log.data(log.index(row, column), Qt::DisplayRole).toString();
  };
  const int last = log.rowCount() - 1;
  EXPECT_TRUE(
      cell(last, TrafficLog::Data)
          .startsWith(QStringLiteral("%1 ").arg(kPolls % 256, 2, 16, QLatin1Char('0')).toUpper()));
  EXPECT_EQ(cell(0, TrafficLog::Direction), "Host >");
  EXPECT_TRUE(
      cell(1, TrafficLog::Data)
          .startsWith(
              QStringLiteral("%1 ").arg((kPolls - 4999) % 256, 2, 16, QLatin1Char('0')).toUpper()));
}

// The continuous capture under a poll loop: files that rotate at their size, as many as asked,
// every frame once in order across them and as the pane renders it, more than the table holds;
// and a disk that takes nothing is told at once while the bench polls on.
TEST(TrafficCapture, RotatesBySizeKeepsEveryFrameInOrderAndTellsAFullDisk) {
  QTemporaryDir dir;
  PolledDock polled;
  tolvar::TrafficDock& dock = polled.dock;
  tolvar::TrafficPane* pane = dock.trafficPane();
  pane->log().setLimit(10);
  const QString path = dir.filePath(QStringLiteral("bench.log"));
  constexpr qint64 kFileBytes = 2000;
  ASSERT_TRUE(pane->startCapture({path, kFileBytes, 3}));
  const auto poll = [&polled](int polls) {
    for (int i = 0; i < polls; ++i) ASSERT_TRUE(polled.poll());
  };
  poll(120);
  pane->log().flush();

  const QByteArray titles = "Time\t+ms\tDir\tDest\tSrc/CRC\tHdr\tName\tData\tResult\tms\tFrame\n";
  std::vector<int> counters;  // the replies' counters, oldest file first
  for (const QString& name : {path + ".2", path + ".1", path}) {
    QFile file(name);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    const QByteArray bytes = file.readAll();
    EXPECT_LE(bytes.size(), kFileBytes) << name.toStdString();
    if (name != path) {
      EXPECT_GT(bytes.size(), kFileBytes / 2) << name.toStdString();  // rotated when full
    }
    ASSERT_TRUE(bytes.startsWith(titles)) << name.toStdString();
    for (const QByteArray& row : bytes.mid(titles.size()).split('\n')) {
      const QList<QByteArray> cells = row.split('\t');
      if (cells.value(TrafficLog::Direction) == "< Device") {
        counters.push_back(cells.value(TrafficLog::Data).left(2).toInt(nullptr, 16));
      }
    }
  }
  EXPECT_FALSE(QFile::exists(path + ".3"));
  ASSERT_GT(counters.size(), 10u);  // more than the table keeps
  for (std::size_t i = 1; i < counters.size(); ++i) {
    EXPECT_EQ(counters[i], (counters[i - 1] + 1) % 256) << i;
  }
  EXPECT_EQ(counters.back(), 120);
  // The newest line is the newest row as a saved log writes it.
  QFile newest(path);
  ASSERT_TRUE(newest.open(QIODevice::ReadOnly));
  QStringList cells;
  const TrafficLog& log = pane->log();
  for (int column = 0; column < TrafficLog::kColumns; ++column) {
    cells << log.data(log.index(log.rowCount() - 1, column), tolvar::kExportRole).toString();
  }
  EXPECT_TRUE(newest.readAll().endsWith(cells.join(u'\t').toUtf8() + '\n'));
  EXPECT_FALSE(pane->captureStatus->text().contains(QStringLiteral("fails")));

  // A full disk: said in red, counted, and the polls go on.
  const QString full = dir.filePath(QStringLiteral("full.log"));
  ASSERT_EQ(::symlink("/dev/full", full.toLocal8Bit().constData()), 0);
  pane->stopCapture();
  ASSERT_TRUE(pane->startCapture({full, kFileBytes, 3}));
  poll(5);
  EXPECT_EQ(pane->capture().missed(), 10);
  EXPECT_TRUE(pane->captureStatus->text().contains(QStringLiteral("No space left on device")))
      << pane->captureStatus->text().toStdString();
  EXPECT_EQ(pane->captureStatus->palette().color(QPalette::WindowText), tolvar::kEventRed);
  EXPECT_TRUE(polled.ui.messages().empty());

  // A disk that fills part way through a line (a file size limit: what a full file system does
  // to a write, with no privilege needed): every line is whole or absent, the loss is told on
  // screen at once and, when space returns, as a line of its own before the next frame.
  pane->stopCapture();
  const QString limited = dir.filePath(QStringLiteral("limited.log"));
  ASSERT_TRUE(pane->startCapture({limited, 100 * kFileBytes, 3}));
  poll(2);
  const qint64 start = QFileInfo(limited).size();
  rlimit unlimited{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  rlimit tight = unlimited;
  tight.rlim_cur = static_cast<rlim_t>(start + 10);  // room for a tenth of a line
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  poll(3);
  ::setrlimit(RLIMIT_FSIZE, &unlimited);
  std::signal(SIGXFSZ, previous);
  const qint64 missed = pane->capture().missed();
  EXPECT_EQ(missed, 6);
  EXPECT_TRUE(pane->captureStatus->text().endsWith(
      QStringLiteral("fails: File too large; %1 frames not written yet").arg(missed)))
      << pane->captureStatus->text().toStdString();
  poll(1);
  EXPECT_FALSE(pane->captureStatus->text().contains(QStringLiteral("fails")));
  const QList<QByteArray> rows = readFile(limited).split('\n');
  const QString lossLine = QStringLiteral("Frames not written: %1 (File too large)").arg(missed);
  int losses = 0;
  int frames = 0;
  for (const QByteArray& row : rows.mid(1, rows.size() - 2)) {
    if (QString::fromUtf8(row) == lossLine) {
      ++losses;
      continue;
    }
    EXPECT_EQ(row.split('\t').size(), TrafficLog::kColumns) << row.toStdString();
    ++frames;
  }
  EXPECT_EQ(losses, 1);
  EXPECT_EQ(frames, 2 * (2 + 1));      // the polls before and after; the others counted
  EXPECT_TRUE(rows.last().isEmpty());  // the file ends with a whole line
}

// Follow keeps the newest frame in view until the user scrolls up to read; new frames then
// leave the view where it is, and ticking Follow again goes to the end.
TEST(TrafficPaneFollow, ScrollingUpStopsItAndTickingTakesItUp) {
  PolledDock polled;
  polled.dock.show();
  tolvar::TrafficPane* pane = polled.dock.trafficPane();
  QScrollBar* bar = pane->table()->verticalScrollBar();
  const auto pollAndShow = [&](int polls) {
    for (int i = 0; i < polls; ++i) ASSERT_TRUE(polled.poll());
    pane->log().flush();
    QCoreApplication::processEvents();
  };
  pollAndShow(100);
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  bar->triggerAction(QAbstractSlider::SliderPageStepSub);
  EXPECT_FALSE(pane->follow->isChecked());
  const int reading = bar->value();
  pollAndShow(20);
  EXPECT_EQ(bar->value(), reading);
  EXPECT_LT(bar->value(), bar->maximum());
  pane->follow->setChecked(true);
  EXPECT_EQ(bar->value(), bar->maximum());
}
