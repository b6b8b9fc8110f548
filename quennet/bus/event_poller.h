#pragma once
// Polls one device's event buffer through a BusClient at an interval and reports each new event
// once, oldest first. Several pollers (validator, coin acceptor, hopper) share one client; each
// keeps at most one poll on the bus, so a slow device never piles polls up in the queue.

#include <cstdint>
#include <optional>

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include "quennet/bus/bus_client.h"
#include "quennet/bus/event_reading.h"
#include "quennet/link/protocol_events.h"
#include "quennet/quennet_export.h"

namespace quennet {

/// One event of a buffer. For a validator or coin acceptor (a, b) is a result pair: a non-zero is a
/// credit (note or coin a, route or sorter path b), a zero a status event with code b. For a
/// hopper a is the coins paid and b the coins unpaid of one payout, reported once the hopper has
/// finished paying it (a hopper pays a few coins a second after it acknowledges the dispense).
struct BusEvent {
  quint8 address = 0;                      ///< the device polled
  int counter = 0;                         ///< the device's event counter for this event, 1..255
  quint8 a = 0;                            ///< first byte of the pair
  quint8 b = 0;                            ///< second byte of the pair
  QString text;                            ///< the event as Tolvar shows it
  EventBuffer buffer = EventBuffer::Bill;  ///< the buffer the pair was read from
  QString coinId;  ///< a coin credit's identity ("GB010A", RequestCoinID); empty when unknown
  /// True for a note or coin credit.
  bool isCredit() const { return a != 0; }
  /// What the pair means: a credit, a note in escrow, news or a fault.
  EventKind kind() const { return eventKind(buffer, a, b); }
};

/// A command method and its inputs (after the device address), as BusClient::invoke takes them.
struct BusCommand {
  QString method;       ///< the method's name, as BusClient::invoke takes it
  QVariantList inputs;  ///< its inputs after the device address
};

/// Polls one device's event buffer through a BusClient and reports each new event once, lost
/// events, resets, and a device lost and back.
class QUENNET_EXPORT EventPoller : public QObject {
  Q_OBJECT

 public:
  /// Which buffer: header 159 (bill events, five pairs), 229 (coin credits, five pairs) or 166
  /// (hopper status: counter, coins remaining, last paid, last unpaid).
  enum class Source { BillValidator, CoinAcceptor, Hopper };
  Q_ENUM(Source)

  /// The buffer a device's equipment category (GetEqptID, header 245) says it keeps:
  /// "Bill Validator", "Coin Acceptor", "Payout" (a hopper); nothing for any other category.
  static std::optional<Source> sourceOf(const QString& category);

  /// Polls `address` through `client` (not owned); start() begins.
  EventPoller(BusClient* client, quint8 address, Source source = Source::BillValidator,
              QObject* parent = nullptr);

  /// The device and buffer polled.
  ///@{
  quint8 address() const { return address_; }
  Source source() const { return source_; }
  ///@}
  /// Milliseconds between polls (default kDefaultPollIntervalMs).
  ///@{
  void setInterval(int ms) { timer_.setInterval(ms); }
  int interval() const { return timer_.interval(); }
  ///@}
  /// A coin acceptor's coin identities by position (RequestCoinID), given to its credits.
  void setCoinIds(const QHash<quint8, QString>& ids) { coinIds_ = ids; }
  /// Failed polls in a row that make the device lost (default 3).
  void setFailureLimit(int polls) { failureLimit_ = polls; }
  /// When set, the first poll reports the events the buffer still holds; by default it only
  /// learns the counter, so that nothing which happened before start() is reported.
  void setReportKept(bool on) { reportKept_ = on; }
  /// Sent to the device, in order and ahead of queued polls, after every reset the poller sees: a
  /// reset device comes back with master inhibit on and every note inhibited, so whoever enabled
  /// it lists here what to send again (SetMasterInhibit 1, SetInhibitStatus ...). Empty (the
  /// default) sends nothing. Each must be acknowledged: reEnabled() or reEnableFailed() follows.
  ///@{
  void setReEnableCommands(const QList<BusCommand>& commands) { reEnable_ = commands; }
  const QList<BusCommand>& reEnableCommands() const { return reEnable_; }
  ///@}
  /// The caption of the re-enable command that failed last ("NACK", "Timeout Error [0]" ...).
  QString reEnableFailure() const { return reEnableFailure_; }
  /// The caption of the poll that failed last ("Timeout Error [0]", "BUSY" ...); empty before one
  /// failed.
  QString lastFailure() const { return lastFailure_; }

  /// The first poll goes out at once, then one every interval. After stop(), start() goes on from
  /// the counter last read, so events in between are reported (or counted as lost).
  ///@{
  void start();
  void stop();
  bool isActive() const { return timer_.isActive(); }
  ///@}
  /// The counter of the last buffer read (in the signals of a read, that buffer's); 0 before the
  /// first and after a reset.
  int lastCounter() const { return last_; }
  /// True from deviceLost() until deviceBack().
  bool isDeviceLost() const { return lost_; }

  /// The text of a result pair: quennet::billEventText and coinEventText (event_texts.h).
  ///@{
  static QString billEventText(quint8 a, quint8 b);
  static QString coinEventText(quint8 a, quint8 b);
  ///@}
  /// Events the counter moved on by since `last` (1..255, wrapping 255 to 1; 0 after a reset).
  static int eventsBetween(int last, int now);

 signals:
  /// A new event, oldest first.
  void eventReceived(const quennet::BusEvent& event);
  /// The counter moved on by more than the buffer holds: `count` events were never seen.
  void eventsLost(int count);
  /// The device was reset or powered up: the counter went back to 0; or the buffer showed what a
  /// reset leaves (empty pairs behind the new events, where the counter says older ones should
  /// be) and the device, asked for its inhibit status, had everything inhibited. Emitted once
  /// per reset, before the events that followed it.
  void counterReset();
  /// A read whose counter and pairs disagree (the counter moved, the pairs did not shift with
  /// it): no events are taken from it, and the buffer is read again at the next poll.
  void inconsistentRead(int counter);
  /// Every re-enable command after a reset was acknowledged; or one was not (reEnableFailure()).
  ///@{
  void reEnabled();
  void reEnableFailed();
  ///@}
  /// `failureLimit` polls in a row failed; deviceBack() follows the next good one.
  void deviceLost();
  /// A poll succeeded after deviceLost().
  void deviceBack();
  /// A buffer was read; `counter` is the device's event counter in it.
  void bufferRead(int counter);
  /// One poll failed (time-out, BUSY, bad checksum, a reply of the wrong length, port closed).
  /// `result` is the command's result code; lastFailure() has its caption.
  void pollFailed(int result);

 private:
  void poll();
  void pollFinished();
  void failed(int result, const QString& caption);
  void read(const QByteArray& data);
  void report(const QByteArray& data, const EventReading& reading);
  void ask();
  BusEvent eventAt(const QByteArray& data, int age) const;
  int kept() const;
  void reEnable();
  void reEnableFinished();

  QPointer<BusClient> client_;
  quint8 address_;
  Source source_;
  QTimer timer_;
  QPointer<BusReply> inFlight_;
  EventReader reader_;
  QPointer<BusReply> asking_;  // the inhibit status a question about a reset waits for
  int failureLimit_ = 3;
  bool reportKept_ = false;
  bool first_ = true;
  int last_ = 0;
  QList<BusCommand> reEnable_;
  QHash<quint8, QString> coinIds_;
  int reEnablePending_ = 0;
  bool reEnableOk_ = true;
  QString reEnableFailure_;
  QString lastFailure_;
  int failures_ = 0;
  bool lost_ = false;
};

}  // namespace quennet

Q_DECLARE_METATYPE(quennet::BusEvent)
