// The C interface's event watches: the runtime thread enables a device and runs an event poller
// for it; the caller's threads take its records from a queue.

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <QJsonDocument>
#include <QPointer>

#include "quennet/bus/event_poller.h"
#include "quennet/bus/event_report.h"
#include "quennet/capi/capi_p.h"

using namespace quennet::capi;

// One watch's records between the runtime thread and the reader.
struct WatchQueue {
  struct Record {
    int kind = 0;
    int counter = 0;
    int a = 0;
    int b = 0;
    int lost = 0;
    std::string text;
    std::string json;
  };

  void push(int kind, const QJsonObject& object, const quennet::BusEvent* event = nullptr,
            int lost = 0, const QString& text = {}) {
    Record record;
    record.kind = kind;
    record.counter = object.value(QStringLiteral("counter")).toInt();
    record.text = text.toStdString();
    if (event) {
      record.a = event->a;
      record.b = event->b;
      record.text = event->text.toStdString();
    }
    record.lost = lost;
    record.json = QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
    {
      const std::lock_guard lock(mutex);
      records.push_back(std::move(record));
    }
    changed.notify_all();
  }
  void end(int code, const QString& message) {
    {
      const std::lock_guard lock(mutex);
      if (endCode == QUENNET_OK) {
        endCode = code;
        endMessage = message;
      }
    }
    changed.notify_all();
  }
  // The first report of the start counts; later ones change nothing.
  void opened(int code, const QString& message) {
    {
      const std::lock_guard lock(mutex);
      if (started) return;
      openCode = code;
      openMessage = message;
      started = true;
    }
    changed.notify_all();
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Record> records;
  bool closing = false;  // quennet_watch_close() has begun: readers leave at once
  int readers = 0;       // threads inside quennet_watch_next()
  bool started = false;
  int openCode = QUENNET_OK;
  QString openMessage;
  int endCode = QUENNET_OK;  // set once the watch can report nothing more
  QString endMessage;
};

namespace {

// The runtime thread's half of a watch: enables the validator, then runs an event poller and
// queues what it reports.
class WatchDriver : public QObject {
 public:
  WatchDriver(quennet_bus* bus, quint8 address, const quennet_watch_options& options,
              std::shared_ptr<WatchQueue> queue)
      : bus_(bus),
        queue_(std::move(queue)),
        address_(address),
        options_(options),
        commands_(quennet::enableCommands(
            options.inhibits ? std::optional<QString>(text(options.inhibits)) : std::nullopt)) {}

  // Asks the device what it is; the coin identities (a coin acceptor) and the enable commands
  // follow as each is answered. Throws what BusClient::invoke throws for bad inhibits.
  void start() {
    const quennet::BusCommand ask = quennet::categoryCommand();
    BusReply* reply = bus_->client->invoke(address_, ask.method, ask.inputs);
    reply->setParent(this);  // a watch closed before the answer takes the reply with it
    connect(reply, &BusReply::finished, this, [this, reply] {
      reply->deleteLater();
      if (reply->result() == quennet::kResultNotEnabled) {
        return queue_->opened(QUENNET_ECLOSED, closedFailure(*bus_, reply->caption()).message);
      }
      QString why;
      const std::optional<quennet::EventPoller::Source> source =
          quennet::watchedSource(*reply, address_, &why);
      if (!source) return queue_->opened(QUENNET_EREFUSED, why);
      poller_ = std::make_unique<quennet::EventPoller>(bus_->client, address_, *source);
      if (options_.interval_ms > 0) poller_->setInterval(options_.interval_ms);
      poller_->setReportKept(options_.from_start != 0);
      poller_->setReEnableCommands(commands_);
      if (*source == quennet::EventPoller::Source::CoinAcceptor) return askCoin(0);
      enable();
    });
  }

 private:
  // Coin position index + 1's identity, then the next; the enable once all are known.
  void askCoin(qsizetype index) {
    const QList<quennet::BusCommand> coins = quennet::coinIdCommands();
    if (index == coins.size()) {
      poller_->setCoinIds(coinIds_);
      return enable();
    }
    const quennet::BusCommand& command = coins[index];
    BusReply* reply = bus_->client->invoke(address_, command.method, command.inputs);
    reply->setParent(this);
    const auto position = static_cast<quint8>(command.inputs.value(0).toInt());
    connect(reply, &BusReply::finished, this, [this, reply, index, position] {
      reply->deleteLater();
      if (reply->result() == quennet::kResultNotEnabled) {
        return queue_->opened(QUENNET_ECLOSED, closedFailure(*bus_, reply->caption()).message);
      }
      const QString id = quennet::coinIdOf(*reply);
      if (!id.isEmpty()) coinIds_.insert(position, id);
      askCoin(index + 1);
    });
  }

  // The enable commands in turn; misuse in the first (bad inhibits) ends the start.
  void enable() {
    try {
      sendEnable(0);
    } catch (const MisuseError& error) {
      queue_->opened(QUENNET_EINVAL, error.message());
    }
  }

  void sendEnable(qsizetype index) {
    if (index == commands_.size()) return startPolling();
    const quennet::BusCommand& command = commands_[index];
    BusReply* reply = bus_->client->invoke(address_, command.method, command.inputs);
    reply->setParent(this);  // a watch closed before the answer takes the reply with it
    connect(reply, &BusReply::finished, this, [this, reply, index] {
      reply->deleteLater();
      if (reply->acknowledged()) {
        // Nothing may leave a slot: misuse in a later command (bad inhibits) ends the start.
        try {
          return sendEnable(index + 1);
        } catch (const MisuseError& error) {
          return queue_->opened(QUENNET_EINVAL, error.message());
        }
      }
      if (reply->result() == quennet::kResultNotEnabled) {
        return queue_->opened(QUENNET_ECLOSED, closedFailure(*bus_, reply->caption()).message);
      }
      queue_->opened(QUENNET_EREFUSED, quennet::enableRefusedText(*reply, commands_[index].method));
    });
  }

  void startPolling() {
    using quennet::EventPoller;
    connect(poller_.get(), &EventPoller::eventReceived, this, [this](const quennet::BusEvent& e) {
      queue_->push(QUENNET_RECORD_EVENT, quennet::eventRecord(e), &e);
    });
    connect(poller_.get(), &EventPoller::eventsLost, this, [this](int lost) {
      queue_->push(QUENNET_RECORD_LOST, quennet::lostRecord(lost, poller_->lastCounter()), nullptr,
                   lost);
    });
    connect(poller_.get(), &EventPoller::inconsistentRead, this, [this](int counter) {
      queue_->push(QUENNET_RECORD_INCONSISTENT, quennet::inconsistentRecord(counter));
    });
    connect(poller_.get(), &EventPoller::counterReset, this, [this] {
      queue_->push(QUENNET_RECORD_RESET, quennet::resetRecord(poller_->lastCounter()));
    });
    // A device that stops answering is reported, as is its return; the watch goes on reading.
    connect(poller_.get(), &EventPoller::deviceLost, this, [this] {
      queue_->push(QUENNET_RECORD_DEVICE_LOST,
                   quennet::deviceLostRecord(failures_, lastFailure_, poller_->lastCounter()),
                   nullptr, 0, lastFailure_);
    });
    connect(poller_.get(), &EventPoller::deviceBack, this, [this] {
      queue_->push(QUENNET_RECORD_DEVICE_BACK,
                   quennet::deviceBackRecord(failures_, poller_->lastCounter()));
    });
    // The watch is open once the first read has learnt the counter: what happens after
    // quennet_watch_open() returns is reported, whenever the first poll went out.
    connect(poller_.get(), &EventPoller::bufferRead, this, [this] {
      failures_ = 0;
      queue_->opened(QUENNET_OK, {});
    });
    // Counted before the poller's own signals of the same poll, which it emits after this one.
    connect(poller_.get(), &EventPoller::pollFailed, this, [this](int result) {
      const QString caption = poller_->lastFailure();
      ++failures_;
      lastFailure_ = caption;
      if (result != quennet::kResultNotEnabled) return queue_->opened(QUENNET_OK, {});
      poller_->stop();
      queue_->opened(QUENNET_ECLOSED, closedFailure(*bus_, caption).message);
      queue_->end(QUENNET_ECLOSED, closedFailure(*bus_, caption).message);
    });
    poller_->start();
  }

  quennet_bus* bus_;
  std::shared_ptr<WatchQueue> queue_;
  quint8 address_;
  quennet_watch_options options_;
  std::unique_ptr<quennet::EventPoller> poller_;  // made once the device said what it is
  QList<quennet::BusCommand> commands_;
  QHash<quint8, QString> coinIds_;
  int failures_ = 0;  // failed reads in a row
  QString lastFailure_;
};

}  // namespace

struct quennet_watch {
  QPointer<WatchDriver> driver;  // on the runtime thread
  std::shared_ptr<WatchQueue> queue;
  WatchQueue::Record current;
  unsigned generation = forkGeneration.load();  // the process it belongs to
};

extern "C" {

void quennet_watch_options_init(quennet_watch_options* options) {
  if (!options) return;
  *options = quennet_watch_options{0, 0, nullptr};
}

int quennet_watch_open(quennet_bus* bus, int address, const quennet_watch_options* given,
                       quennet_watch** watch) {
  return guarded([&] {
    if (!bus || !watch)
      throw Failure{QUENNET_EINVAL, QStringLiteral("no bus or place for the watch")};
    *watch = nullptr;
    checkAddress(address);
    quennet_watch_options options;
    quennet_watch_options_init(&options);
    if (given) options = *given;
    checkMilliseconds(options.interval_ms, "the poll interval");
    checkHere(*bus);
    if (bus->closed) throw closedFailure(*bus, quennet::failureText(quennet::Failure::PortClosed));
    auto handle = std::make_unique<quennet_watch>();
    handle->queue = std::make_shared<WatchQueue>();
    Runtime::instance().run([&] {
      auto driver =
          std::make_unique<WatchDriver>(bus, static_cast<quint8>(address), options, handle->queue);
      try {
        driver->start();
      } catch (const QuennetError& error) {
        throw Failure{QUENNET_EINVAL, error.description()};
      }
      handle->driver = driver.release();
    });
    std::unique_lock lock(handle->queue->mutex);
    handle->queue->changed.wait(lock, [&] { return handle->queue->started; });
    if (handle->queue->openCode != QUENNET_OK) {
      const Failure failure{handle->queue->openCode, handle->queue->openMessage};
      lock.unlock();
      quennet_watch_close(handle.release());
      throw failure;
    }
    lock.unlock();
    *watch = handle.release();
    return QUENNET_OK;
  });
}

int quennet_watch_next(quennet_watch* watch, int timeout_ms, quennet_record* record) {
  return guarded([&] {
    if (!watch || !record) throw Failure{QUENNET_EINVAL, QStringLiteral("no watch or record")};
    if (madeBeforeFork(watch->generation)) throw Failure{QUENNET_ECLOSED, kForkedAway};
    WatchQueue& queue = *watch->queue;
    std::unique_lock lock(queue.mutex);
    const Failure closing{QUENNET_ECLOSED, QStringLiteral("the watch was closed")};
    if (queue.closing) throw closing;
    // Counted while inside, so that quennet_watch_close() waits for this thread to leave.
    ++queue.readers;
    struct Leave {
      WatchQueue& queue;
      ~Leave() {
        if (--queue.readers == 0 && queue.closing) queue.changed.notify_all();
      }
    } leave{queue};
    const auto ready = [&] {
      return queue.closing || !queue.records.empty() || queue.endCode != QUENNET_OK;
    };
    if (timeout_ms < 0) {
      queue.changed.wait(lock, ready);
    } else if (!queue.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready)) {
      throw Failure{QUENNET_ETIMEDOUT, QStringLiteral("no event within %1 ms").arg(timeout_ms)};
    }
    if (queue.closing) throw closing;
    if (queue.records.empty()) throw Failure{queue.endCode, queue.endMessage};
    watch->current = std::move(queue.records.front());
    queue.records.pop_front();
    const WatchQueue::Record& current = watch->current;
    *record = quennet_record{current.kind, current.counter,      current.a,           current.b,
                             current.lost, current.text.c_str(), current.json.c_str()};
    return QUENNET_OK;
  });
}

void quennet_watch_close(quennet_watch* watch) {
  if (!watch) return;
  // The watch's driver and queue are the parent's after a fork(): left as they are.
  if (madeBeforeFork(watch->generation)) return;
  {
    // Threads waiting in quennet_watch_next() leave with QUENNET_ECLOSED before it goes.
    WatchQueue& queue = *watch->queue;
    std::unique_lock lock(queue.mutex);
    queue.closing = true;
    queue.changed.notify_all();
    queue.changed.wait(lock, [&] { return queue.readers == 0; });
  }
  guarded([&] {
    Runtime::instance().run([watch] { delete watch->driver.data(); });
    return QUENNET_OK;
  });
  delete watch;
}

}  // extern "C"
