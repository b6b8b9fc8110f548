#pragma once
// The service: one ccTalk bus on one side, one MQTT broker on the other. It brings every device
// up, polls their event buffers, writes each credit to the journal before publishing it, and
// keeps going through lost ports, silent or reset devices and broker outages. Its jobs live
// apart: bringing a device up (device_bringup), the credit book (credit_book), consumers'
// commands and routes (consumer_commands), the journal's health (journal_health), payouts
// (payouts), the stop (service_shutdown.cpp) and every message it publishes (payloads).

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "quennet/bus/bus_client.h"
#include "quennetd/bus_setup.h"
#include "quennetd/consumer_commands.h"
#include "quennetd/credit_book.h"
#include "quennetd/daemon_options.h"
#include "quennetd/device_bringup.h"
#include "quennetd/device_calls.h"
#include "quennetd/instance_lock.h"
#include "quennetd/journal_health.h"
#include "quennetd/mqtt_link.h"
#include "quennetd/payouts.h"
#include "quennetd/service_device.h"

namespace quennetd {

// Unacknowledged credits are published again this often (and after every reconnect).
inline constexpr int kResendIntervalMs = 30000;
// With --inhibit-without-broker: a broker that has not taken a message for this long, or has not
// answered its keep-alive, counts as away.
inline constexpr int kBrokerAnswerMs = 2000;
inline constexpr int kBrokerKeepAliveS = 5;

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
  void openPort();
  void searchAgain();
  void portFailed(const QString& why);
  // The framings a search found: each device put on its own, and what was found logged.
  void framingsFound(const std::vector<quennet::FoundDevice>& found);
  // Bring-up and every later (re)initialisation run one device at a time; busy_ holds meanwhile.
  void bringUp();
  void bringUpNext();
  void bringUpDone();
  DevicePtr makeDevice(quint8 address);
  void runBringUp(const DevicePtr& device, BringUp::Scope scope,
                  const std::function<void(const DevicePtr&)>& done);
  void startPolling(const DevicePtr& device);
  void requestInit(quint8 address);
  void runPendingInits();
  void initNext();

  void publishStatus();
  void publish(const QString& leaf, const QByteArray& payload, bool retain = false);
  void resendOutstanding();
  // The journal works again: the ledger with it, and every device read again from its mark.
  void journalRecovered();
  // Every second: the journal still there with room, and (when asked) the broker taking messages.
  void watch();
  void openLedger();
  void inhibitAll();
  void enableAgain();

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
  JournalHealth health_;
  Devices devices_;
  Payouts payouts_;
  CreditBook book_;
  ConsumerCommands consumers_;
  FramingSearch search_;
  bool searched_ = false;            // the devices' framings were looked for on the line
  QList<quint8> found_;              // ... and the devices found in one
  std::map<quint8, QString> modes_;  // each device's framing, as configured or found
  QList<quint8> bringUpQueue_;       // addresses the bring-up has still to do
  QList<quint8> pendingInits_;
  bool busy_ = false;
  bool ledgerReopens_ = false;  // the ledger was open when the journal was written back
  bool portOpen_ = false;
  QString portError_;
  QString brokerProblem_;       // why the broker cannot be reached, while it cannot
  bool brokerStalled_ = false;  // connected, but taking nothing
  InstanceLock clientLock_;
  int backoffMs_ = 1000;
  QTimer reopen_;
  QTimer resend_;
  QTimer watch_;
  QTimer identifyAgain_;
  QByteArray lastStatus_;
};

}  // namespace quennetd
