#pragma once
// The answer to one request queued on a BusClient. It finishes exactly once, in the thread of the
// client that made it; the caller deletes it (deleteLater) whether or not the client still lives.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include "quennet/link/quennet_error.h"  // the result codes and failures
#include "quennet/quennet_export.h"

namespace quennet {

/// What a finished request produced.
struct BusResult {
  /// A result code of the link engine (0 verified reply, -1 BUSY, 2 time-out, 3 checksum or a
  /// refused reply, 5 port closed or failed, ...), or the method's own code for invoke().
  int result = 0;
  /// The engine's caption when a frame went out ("OK", "Timeout Error [0]" ...), else what the
  /// result means ("Port closed").
  QString caption;
  /// sendRequest(): the reply's data bytes (every byte gathered, for address poll and clash).
  QByteArray data;
  /// invoke(): the method's outputs by parameter name, as the command-line tool prints them.
  QVariantMap outputs;
  /// The frames as they were on the line (encrypted where the link encrypts); empty when nothing
  /// was sent.
  QByteArray sent;
  QByteArray reply;  ///< the reply's bytes as they came; empty when none came
  /// The device accepted the request: result 0 with a reply whose header is ACK (data replies
  /// included) or, for an address poll or clash, answers gathered. False for a refusal that still
  /// has result 0 (a NAK, or an unknown header, to a command without data; a route or stacker
  /// cycle answered by its refusal byte, 254 or 255) and for every failure.
  bool acknowledged = false;
  /// What went wrong, as a value to branch on beside the caption's text: None exactly when the
  /// request was acknowledged; the reply's fault for result 3 (Checksum ... WrongLength);
  /// NothingSent, with result 0 and failureText(Failure::NothingSent) as the caption, for a
  /// command the library does not send; Misuse for a fault the method raised on the worker.
  Failure error = Failure::PortClosed;
  /// A serial number's reply: the number as the device's label reads it (least significant byte
  /// first); empty for every other request.
  QString serial;
};

/// The answer to one queued request: finished() fires in the thread that sent it, once. The caller
/// deletes it (deleteLater()); it may outlive its client.
class QUENNET_EXPORT BusReply : public QObject {
  Q_OBJECT

 public:
  ~BusReply() override;

  /// True once the request has run (or was dropped with result 5).
  bool isFinished() const { return finished_; }
  /// The parts of busResult(), valid once finished.
  ///@{
  int result() const { return result_.result; }
  QString caption() const { return result_.caption; }
  QByteArray data() const { return result_.data; }
  QVariantMap outputs() const { return result_.outputs; }
  bool acknowledged() const { return result_.acknowledged; }
  QByteArray sent() const { return result_.sent; }
  QByteArray reply() const { return result_.reply; }
  Failure error() const { return result_.error; }
  /// Everything the request produced.
  const BusResult& busResult() const { return result_; }
  ///@}

  /// The request: destination address, and the header (sendRequest) or method name (invoke).
  ///@{
  quint8 address() const { return address_; }
  quint8 header() const { return header_; }
  QString method() const { return method_; }
  ///@}

 signals:
  /// The request has run; the results are in.
  void finished();

 private:
  friend class BusClient;
  BusReply(quint8 address, quint8 header, const QString& method);
  void finish(const BusResult& result);

  BusResult result_;
  bool finished_ = false;
  quint8 address_ = 0;
  quint8 header_ = 0;
  QString method_;
};

}  // namespace quennet
