#include "quennetd/mqtt_link.h"

#include <mosquitto.h>

#include <algorithm>
#include <chrono>

#include <QMetaObject>

namespace quennetd {

namespace {

constexpr int kReconnectFirstS = 1;
constexpr int kReconnectLastS = 30;

struct LibraryInit {
  LibraryInit() { mosquitto_lib_init(); }
  ~LibraryInit() { mosquitto_lib_cleanup(); }
};

QByteArray utf8(const QString& text) {
  return text.toUtf8();
}

const char* orNull(const QByteArray& bytes) {
  return bytes.isEmpty() ? nullptr : bytes.constData();
}

}  // namespace

MqttLink::MqttLink(QObject* parent) : QObject(parent) {
  static LibraryInit init;
}

MqttLink::~MqttLink() {
  if (running_) stop(0);
  if (mosq_) mosquitto_destroy(mosq_);
}

bool MqttLink::start(const MqttSettings& settings, QString* error) {
  settings_ = settings;
  const QByteArray id = utf8(settings.clientId);
  mosq_ = mosquitto_new(orNull(id), true, this);
  if (!mosq_) {
    *error = QStringLiteral("cannot create an MQTT client");
    return false;
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_connect_callback_set(mosq_, &MqttLink::onConnect);
  mosquitto_disconnect_callback_set(mosq_, &MqttLink::onDisconnect);
  mosquitto_publish_callback_set(mosq_, &MqttLink::onPublish);
  mosquitto_message_callback_set(mosq_, &MqttLink::onMessage);
  mosquitto_log_callback_set(mosq_, &MqttLink::onLog);
  mosquitto_reconnect_delay_set(mosq_, kReconnectFirstS, kReconnectLastS, true);
  int rc = MOSQ_ERR_SUCCESS;
  if (!settings.user.isEmpty()) {
    rc = mosquitto_username_pw_set(mosq_, utf8(settings.user).constData(),
                                   orNull(utf8(settings.password)));
  }
  if (rc == MOSQ_ERR_SUCCESS && !settings.willTopic.isEmpty()) {
    rc = mosquitto_will_set(mosq_, utf8(settings.willTopic).constData(),
                            static_cast<int>(settings.willPayload.size()),
                            settings.willPayload.constData(), 1, true);
  }
  if (rc == MOSQ_ERR_SUCCESS && (!settings.tlsCaFile.isEmpty() || !settings.tlsCaPath.isEmpty())) {
    rc = mosquitto_tls_set(mosq_, orNull(utf8(settings.tlsCaFile)),
                           orNull(utf8(settings.tlsCaPath)), orNull(utf8(settings.tlsCertFile)),
                           orNull(utf8(settings.tlsKeyFile)), nullptr);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = QString::fromUtf8(mosquitto_strerror(rc));
    return false;
  }
  rc = mosquitto_loop_start(mosq_);
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = QString::fromUtf8(mosquitto_strerror(rc));
    return false;
  }
  running_ = true;
  // A broker that is not up yet is no error: the network thread keeps trying.
  mosquitto_connect_async(mosq_, utf8(settings.host).constData(), settings.port,
                          settings.keepAliveS);
  return true;
}

bool MqttLink::publish(const QString& topic, const QByteArray& payload, int qos, bool retain) {
  if (!mosq_ || !connected_) return false;
  int mid = 0;
  std::lock_guard lock(mutex_);
  const int rc =
      mosquitto_publish(mosq_, &mid, utf8(topic).constData(), static_cast<int>(payload.size()),
                        payload.constData(), qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) return false;
  if (qos > 0) unconfirmed_.emplace(mid, std::chrono::steady_clock::now());
  return true;
}

qint64 MqttLink::oldestUnconfirmedMs() const {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  auto oldest = now;
  for (const auto& [mid, since] : unconfirmed_) {
    if (since >= connectedAt_) oldest = std::min(oldest, since);
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(now - oldest).count();
}

void MqttLink::stop(int ms) {
  if (!running_) return;
  {
    std::unique_lock lock(mutex_);
    allTaken_.wait_for(lock, std::chrono::milliseconds(ms),
                       [this] { return unconfirmed_.empty(); });
  }
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  running_ = false;
  connected_ = false;
}

void MqttLink::report(const QString& text) {
  QMetaObject::invokeMethod(
      this,
      [this, text] {
        if (text == lastProblem_) return;
        lastProblem_ = text;
        emit problem(text);
      },
      Qt::QueuedConnection);
}

void MqttLink::onLog(mosquitto*, void* self, int level, const char* text) {
  // libmosquitto says why a connection failed only here (an OpenSSL verify failure, for one).
  if (level != MOSQ_LOG_ERR || !text) return;
  static_cast<MqttLink*>(self)->report(QString::fromUtf8(text));
}

void MqttLink::onConnect(mosquitto* m, void* self, int rc) {
  auto* link = static_cast<MqttLink*>(self);
  if (rc != 0) {
    link->report(QStringLiteral("the broker refused the connection: %1")
                     .arg(QString::fromUtf8(mosquitto_connack_string(rc))));
    return;
  }
  {
    std::lock_guard lock(link->mutex_);
    link->connectedAt_ = std::chrono::steady_clock::now();
  }
  for (const QString& topic : link->settings_.subscriptions) {
    mosquitto_subscribe(m, nullptr, topic.toUtf8().constData(), 1);
  }
  QMetaObject::invokeMethod(
      link,
      [link] {
        link->connected_ = true;
        link->lastProblem_.clear();
        emit link->connected();
      },
      Qt::QueuedConnection);
}

void MqttLink::onDisconnect(mosquitto*, void* self, int) {
  auto* link = static_cast<MqttLink*>(self);
  QMetaObject::invokeMethod(
      link,
      [link] {
        if (!link->connected_) return;
        link->connected_ = false;
        emit link->disconnected();
      },
      Qt::QueuedConnection);
}

void MqttLink::onPublish(mosquitto*, void* self, int mid) {
  auto* link = static_cast<MqttLink*>(self);
  std::lock_guard lock(link->mutex_);
  link->unconfirmed_.erase(mid);
  if (link->unconfirmed_.empty()) link->allTaken_.notify_all();
}

void MqttLink::onMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* link = static_cast<MqttLink*>(self);
  const QString topic = QString::fromUtf8(message->topic);
  if (message->payloadlen > kMaxMessageBytes) {
    const qsizetype bytes = message->payloadlen;
    QMetaObject::invokeMethod(
        link, [link, topic, bytes] { emit link->messageRefused(topic, bytes); },
        Qt::QueuedConnection);
    return;
  }
  const QByteArray payload(static_cast<const char*>(message->payload), message->payloadlen);
  QMetaObject::invokeMethod(
      link, [link, topic, payload] { emit link->messageReceived(topic, payload); },
      Qt::QueuedConnection);
}

}  // namespace quennetd
