#pragma once
// The service: one ccTalk bus on one side, one MQTT broker on the other. It identifies and
// initialises every device, polls their event buffers, writes each credit to the journal before
// publishing it, and keeps going through lost ports, silent or reset devices and broker outages.

#include <functional>
#include <map>
#include <memory>
#include <optional>

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include "quennet/bus/bus_client.h"
#include "quennetd/command_gate.h"
#include "quennetd/currency.h"
#include "quennetd/daemon_options.h"
#include "quennetd/device_calls.h"
#include "quennetd/instance_lock.h"
#include "quennetd/journal.h"
#include "quennetd/mqtt_link.h"
#include "quennetd/payouts.h"

namespace quennet {
struct BusEvent;
}

namespace quennetd {

// Unacknowledged credits are published again this often (and after every reconnect).
inline constexpr int kResendIntervalMs = 30000;
// Acknowledgements are written in batches, one transaction each, at most this many this often:
// however many arrive, the journal never holds up the polls for long.
inline constexpr int kAckBatchMs = 50;
inline constexpr int kAcksPerBatch = 500;
// Acknowledgements waiting beyond this are dropped: their credits are published again and
// acknowledged again.
inline constexpr int kAcksWaiting = 20000;
// Whether the journal's file is still there is looked at this often (a journal that failed is
// tried again every --journal-retry-ms).
inline constexpr int kJournalWatchMs = 1000;
// Less room than this on the journal's disk counts as full: no money is taken that might not be
// written.
inline constexpr qint64 kJournalRoomBytes = 64 * 1024;
// With --inhibit-without-broker: a broker that has not taken a message for this long, or has not
// answered its keep-alive, counts as away.
inline constexpr int kBrokerAnswerMs = 2000;
inline constexpr int kBrokerKeepAliveS = 5;

struct Denomination {
  QString code;
  QString currency;
  std::optional<qint64> value;  // minor units
  std::optional<Scale> scale;   // notes: as the validator gave it
};

// "GB0010A" with factor 100 and 2 decimals (or factor 1 and none): GB, 1000 pence. Coins
// ("GB010A") carry minor units already.
Denomination noteDenomination(const QString& code, const std::optional<Scale>& scale);
Denomination coinDenomination(const QString& code);

// What the service does with one device. Identifying: its category, serial number and
// denominations are asked for (again every 5 s until they all come). Initialising: its inhibits,
// mode and master inhibit are set (after bring-up, a reset, a journal that works again, a broker
// back). Polling: its buffer is read and nothing else is owed. Lost: polls went unanswered; it
// is polled still, and Initialising again once it answers.
enum class DeviceState { Identifying, Initialising, Polling, Lost };

// Inhibits every acceptor on the bus (the devices of `options`, or those that answer an address
// poll), in the running event loop, then calls `done` with the exit status (0 when each one
// acknowledged, 1 otherwise) and a line per device. What the unit runs after the service has
// stopped, however it stopped.
void inhibitAcceptors(const DaemonOptions& options,
                      const std::function<void(int status, const QStringList& log)>& done);

class Service : public QObject {
  Q_OBJECT

 public:
  explicit Service(const DaemonOptions& options, QObject* parent = nullptr);
  ~Service() override;

  // Opens the journal, starts the broker connection and the port. False (with `error`) only for
  // what no retry can mend: broker settings libmosquitto refuses, a password file refused.
  bool start(QString* error);
  // Finishes what is on the line, inhibits the acceptors, reads their buffers a last time, flushes
  // the journal and says goodbye to the broker; then finished().
  void shutdown();
  // One line for the service manager.
  QString statusLine() const;
  // What the service as a whole is doing.
  enum class State { Starting, Running, Stopping };
  State state() const { return state_; }

 signals:
  void statusChanged(const QString& line);
  void finished();

 private:
  struct Device;
  using DevicePtr = std::shared_ptr<Device>;
  using Then = std::function<void()>;

  void openPort();
  void portFailed(const QString& why);
  // Bring-up and every later (re)initialisation run one at a time, each step started by the
  // reply before it; busy_ holds meanwhile.
  void bringUp();
  void bringUpNext(const QList<quint8>& addresses, qsizetype k);
  void bringUpDone();
  void identify(const DevicePtr& device, const Then& done);
  void readDenominations(const DevicePtr& device, int position,
                         const std::shared_ptr<std::map<QString, std::optional<Scale>>>& scaling,
                         const Then& done);
  void learnCounter(const DevicePtr& device, const Then& done);
  void initialise(const DevicePtr& device, const Then& done);
  void startPolling(const DevicePtr& device);
  void requestInit(quint8 address);
  void runPendingInits();
  void initNext();

  void onEvent(Device& device, const quennet::BusEvent& event);
  void onBufferRead(Device& device, int counter);
  void onReset(Device& device);
  DeviceMark markAt(const Device& device, int counter) const;
  bool credit(Device& device, const quennet::BusEvent& event, DeviceMark next);
  bool noteReturned(Device& device, const DeviceMark& next);
  // The note routed to the stacker can no longer be seen (the validator reset before it said):
  // published as a credit in doubt until a consumer settles it.
  bool noteInDoubt(Device& device, DeviceMark next);
  // Events that fell out of the device's buffer unread: journalled, published until acknowledged.
  bool recordLoss(Device& device, int counter, int count, const DeviceMark& mark);
  QJsonObject creditBody(const Device& device, const QString& id, int position, int counter,
                         qint64 seq) const;
  void publishEntry(const JournalCredit& entry);
  void escrow(Device& device, const quennet::BusEvent& event, const DeviceMark& next);
  bool journalNote(Device& device);
  // Sends the route; `then` gets its reply. False when nothing was sent: the port is closed.
  using Routed = std::function<void(const CallStatus&)>;
  bool routeToStacker(Device& device, const Routed& then = {});
  bool route(quint8 address, RouteCode how, const Routed& then = {});
  void holdExpired(quint8 address);

  void publishEvent(const Device& device, int counter, const QString& kind, const QString& text,
                    const QJsonObject& more = {});
  void publishStatus();
  void publish(const QString& leaf, const QByteArray& payload, bool retain = false);
  void resendOutstanding();
  // Opens the journal and checks it is the one last written; false with `refusal` when it is
  // not (and --accept-journal was not given), false alone when it cannot be opened.
  bool openJournal(QString* refusal);
  // Whether the journal takes writes: what lets the service take money.
  bool journalWritable();
  // Whether money already taken can be written: also to a journal deleted or replaced under the
  // service, which it still holds open.
  bool journalTakes();
  bool restoreJournal();
  void journalFailed(const QString& why);
  // Why the journal's disk has no room; empty while it has.
  QString noRoom() const;
  // Every second: the journal still there with room, and (when asked) the broker taking messages.
  void watch();
  void retryJournal();
  void openLedger();
  void inhibitAll();
  void enableAgain();

  void onMessage(const QString& topic, const QByteArray& payload);
  void onCommand(const QByteArray& payload);
  void replyError(const QJsonValue& id, const QString& error);
  void runCommands();
  void onAck(const QByteArray& payload);
  void writeAcks();
  void onRoute(const QByteArray& payload);

  // The orderly stop: held notes back and acceptors inhibited, their buffers read a last time,
  // the journal flushed; each step waits for its replies, up to a deadline.
  void finishShutdown();
  void lastReads();
  void flush();
  // Whether the service may take money at all: a journal that takes writes, not stopping, and a
  // broker when --inhibit-without-broker asks for one.
  bool mayAccept() const;
  // Whether it does: and at least one acceptor enabled and answering.
  bool accepting() const;

  DaemonOptions options_;
  State state_ = State::Starting;
  quennet::BusClient bus_;
  DeviceCalls calls_{&bus_};
  MqttLink mqtt_;
  Journal journal_;
  CommandGate gate_;
  Payouts payouts_;
  // Consumers' commands not yet on the line (routes first), one at a time on it, under a budget.
  QList<Command> commands_;
  bool commandOnLine_ = false;
  LineBudget budget_;
  QTimer commandWait_;
  std::map<quint8, std::shared_ptr<Device>> devices_;
  QList<quint8> pendingInits_;
  bool busy_ = false;
  bool portOpen_ = false;
  QString portError_;
  QString journalError_;
  bool journalLost_ = false;    // deleted or replaced under the service: never written again
  QString brokerProblem_;       // why the broker cannot be reached, while it cannot
  bool brokerStalled_ = false;  // connected, but taking nothing
  InstanceLock clientLock_;
  int backoffMs_ = 1000;
  QTimer reopen_;
  QTimer resend_;
  QTimer journalRetry_;
  QTimer journalWatch_;
  QTimer identifyAgain_;
  QStringList acks_;  // acknowledgements not yet written, in the order they came
  QSet<QString> ackSet_;
  QTimer ackWrite_;
  QByteArray lastStatus_;
};

}  // namespace quennetd
