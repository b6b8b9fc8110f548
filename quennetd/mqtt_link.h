#pragma once
// The broker connection: libmosquitto with its own network thread, which reconnects by itself
// (1 s to 30 s apart). Everything it reports arrives as signals in the thread that owns the link.

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

struct mosquitto;
struct mosquitto_message;

namespace quennetd {

// A message larger than this is refused unread (a broker configured as the README shows never
// delivers one).
inline constexpr int kMaxMessageBytes = 64 * 1024;

struct MqttSettings {
  QString host = QStringLiteral("localhost");
  int port = 1883;
  QString clientId;
  QString user;
  QString password;
  // TLS when a CA file or directory is given; a client certificate and key when both are.
  QString tlsCaFile;
  QString tlsCaPath;
  QString tlsCertFile;
  QString tlsKeyFile;
  int keepAliveS = 30;
  // The last will: published retained by the broker when the connection dies without a goodbye.
  QString willTopic;
  QByteArray willPayload;
  // Subscribed at QoS 1 on every connection.
  QStringList subscriptions;
};

class MqttLink : public QObject {
  Q_OBJECT

 public:
  explicit MqttLink(QObject* parent = nullptr);
  ~MqttLink() override;

  // Starts connecting in the background. False (with `error`) only for settings libmosquitto
  // refuses (a TLS file it cannot read); a broker that is down is retried.
  bool start(const MqttSettings& settings, QString* error);
  bool isConnected() const { return connected_; }
  // False when the message could not be queued (no connection): the caller sends it again later.
  bool publish(const QString& topic, const QByteArray& payload, int qos, bool retain);
  // How long the oldest QoS 1 message published on this connection has waited for the broker to
  // take it; 0 when none waits. A broker that is connected but takes nothing (frozen) shows here
  // first.
  qint64 oldestUnconfirmedMs() const;
  // Waits up to `ms` for the broker to take every QoS 1 message published so far, then says
  // goodbye (the will is not published) and stops the network thread.
  void stop(int ms);

 signals:
  void connected();
  void disconnected();
  void messageReceived(const QString& topic, const QByteArray& payload);
  // A message over kMaxMessageBytes: neither copied nor read.
  void messageRefused(const QString& topic, qsizetype bytes);
  // Why the broker cannot be used (credentials refused, a certificate that does not verify):
  // once per new reason, and again after a connection has come and gone.
  void problem(const QString& text);

 private:
  static void onConnect(mosquitto* m, void* self, int rc);
  static void onDisconnect(mosquitto* m, void* self, int rc);
  static void onPublish(mosquitto* m, void* self, int mid);
  static void onMessage(mosquitto* m, void* self, const mosquitto_message* message);
  static void onLog(mosquitto* m, void* self, int level, const char* text);
  void report(const QString& text);

  mosquitto* mosq_ = nullptr;
  MqttSettings settings_;
  bool connected_ = false;
  bool running_ = false;
  QString lastProblem_;  // owned by the link's thread
  mutable std::mutex mutex_;
  std::condition_variable allTaken_;
  std::map<int, std::chrono::steady_clock::time_point> unconfirmed_;  // by message id
  std::chrono::steady_clock::time_point connectedAt_;
};

}  // namespace quennetd
