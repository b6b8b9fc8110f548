#include "bnvsim/simulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include <QRegularExpression>
#include <QStringList>

#include "bnvsim/bus.h"
#include "bnvsim/coin_acceptor.h"
#include "bnvsim/hopper.h"
#include "bnvsim/line_tap.h"
#include "bnvsim/pty_port.h"
#include "bnvsim/validator.h"
#include "quennet/commands/bus_scan.h"

namespace bnvsim {

namespace {

constexpr int kReadChunk = 512;

double nowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// A transmission on its way out.
struct Outgoing {
  Transmission frame;
  std::size_t sent = 0;
  // Paced: when byte 0 is through; byte k follows k byte times later, however late we wake.
  std::optional<double> firstByteMs;
};

}  // namespace

struct Simulator::Impl {
  explicit Impl(const SimulatorOptions& o)
      : options(o),
        validator(o.validatorAddress, o.stackerFitted),
        bus(o.line),
        tap(o.capturePath, o.trace) {
    validator.setEscrowHoldMs(o.escrowHoldMs);
    validator.setScaling(o.scaling);
    // Frames come from the line tap in decoded form; the bus adds what the devices made of one
    // (dropped, ignored, decrypted, a fault played), which the line alone does not show.
    if (o.trace) {
      bus.setTraceSink([](const QString& line) {
        if (!line.endsWith(u')')) return;
        std::fprintf(stderr, "# %s\n", line.toLocal8Bit().constData());
        std::fflush(stderr);
      });
    }
    bus.attach(&validator, QStringLiteral("validator"), o.validatorFraming);
    if (o.coinAcceptor) {
      bus.attach(&coinAcceptor.emplace(), QStringLiteral("coin acceptor"), o.coinAcceptorFraming);
    }
    if (o.hopper) {
      hopper.emplace(quennet::kHopperAddress, o.hopperCode).setRate(o.hopperRate);
      hopper->setSerialAsCode(o.hopperSerialCode);
      bus.attach(&*hopper, QStringLiteral("hopper"), o.hopperFraming);
    }
  }

  void serve();
  void takeIn(double now);
  // Writes what is due; returns when the next byte is due, if anything is waiting.
  std::optional<double> sendDue(double now);
  // Has the serving thread look at the devices' deadlines again, or stop.
  void wake();
  // An operator action happens now: the devices' timers catch up first, and the serving thread
  // then looks again at when it must next wake.
  template <typename Action>
  void act(Action action) {
    {
      std::lock_guard lock(mutex);
      bus.advance(nowMs());
      action();
    }
    wake();
  }

  SimulatorOptions options;
  mutable std::mutex mutex;  // guards the devices and the bus
  Validator validator;
  std::optional<CoinAcceptor> coinAcceptor;
  std::optional<Hopper> hopper;
  Bus bus;
  LineTap tap;  // owned by the serving thread while it runs

  PtyPort pty;
  int wakeFd = -1;
  std::atomic<bool> stopping = false;
  std::thread thread;
  // Owned by the serving thread.
  std::deque<Outgoing> queue;
  double lineFreeMs = 0;  // paced: the earliest the next byte can be through
};

void Simulator::Impl::wake() {
  const std::uint64_t one = 1;
  if (wakeFd >= 0 && ::write(wakeFd, &one, sizeof one) < 0) std::perror("bnvsim: wake");
}

void Simulator::Impl::takeIn(double now) {
  std::uint8_t buffer[kReadChunk];
  const ssize_t count = ::read(pty.masterFd(), buffer, sizeof buffer);
  if (count <= 0) return;
  const std::span received(buffer, static_cast<std::size_t>(count));
  std::vector<Transmission> out;
  bool crc = true;
  {
    std::lock_guard lock(mutex);
    out = bus.receive(received, now, queue.size());
    // A frame is read in the framing of the device it is for (the line's for a broadcast).
    crc = bus.framingAt(received[0]).value_or(Framing{bus.lineOptions().crc}).crc;
  }
  if (tap.active()) tap.host(received, now, crc);
  for (Transmission& t : out) {
    const auto at = std::upper_bound(queue.begin(), queue.end(), t.atMs,
                                     [](double v, const Outgoing& q) { return v < q.frame.atMs; });
    queue.insert(at, Outgoing{std::move(t), 0, std::nullopt});
  }
}

std::optional<double> Simulator::Impl::sendDue(double now) {
  bool pacing = false;
  bool crc = true;
  {
    std::lock_guard lock(mutex);
    pacing = bus.lineOptions().pacing;
    crc = bus.lineOptions().crc;
  }
  while (!queue.empty()) {
    Outgoing& head = queue.front();
    const std::vector<std::uint8_t>& bytes = head.frame.bytes;
    std::size_t due = bytes.size();
    if (pacing) {
      if (!head.firstByteMs) {
        const double start = std::max(head.frame.atMs, lineFreeMs);
        if (start > now) return start;
        head.firstByteMs = start;
      }
      // Every byte whose time has come, so a late wake-up never shifts the schedule.
      const auto through = static_cast<std::size_t>((now - *head.firstByteMs) / kByteTimeMs) + 1;
      due = std::min(bytes.size(), through);
      if (due <= head.sent) return *head.firstByteMs + static_cast<double>(head.sent) * kByteTimeMs;
    } else if (head.frame.atMs > now) {
      return head.frame.atMs;
    }
    // A host that is not reading lets the pty fill up; what does not fit is lost, as on a wire.
    if (::write(pty.masterFd(), bytes.data() + head.sent, due - head.sent) < 0 && errno != EAGAIN) {
      return {};
    }
    if (!head.frame.echo && tap.active()) {
      tap.device(std::span(bytes).subspan(head.sent, due - head.sent), now,
                 bytes.size() > 1 ? head.frame.crc : crc);
    }
    head.sent = due;
    if (pacing) lineFreeMs = *head.firstByteMs + static_cast<double>(due) * kByteTimeMs;
    if (head.sent == bytes.size()) queue.pop_front();
  }
  return std::nullopt;
}

void Simulator::Impl::serve() {
  // A paced byte goes out at its time on the wire: the kernel's default leeway of 50 us on every
  // timed wait would make each late by as much.
  ::prctl(PR_SET_TIMERSLACK, 1UL);
  for (;;) {
    double now = nowMs();
    std::optional<double> wake = sendDue(now);
    {
      std::lock_guard lock(mutex);
      bus.advance(now);
      if (const auto due = bus.nextDeadline()) wake = wake ? std::min(*wake, *due) : *due;
    }
    tap.expire(now);
    if (const auto gap = tap.deadlineMs()) wake = wake ? std::min(*wake, *gap) : *gap;
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    if (wake) {
      const double waitMs = std::max(0.0, *wake - now) + 0.01;
      timeout.tv_sec = static_cast<time_t>(waitMs / 1000);
      timeout.tv_nsec = static_cast<long>(std::fmod(waitMs, 1000.0) * 1e6);
      timeoutPtr = &timeout;
    }
    pollfd fds[2] = {{pty.masterFd(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (ppoll(fds, 2, timeoutPtr, nullptr) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) {
      std::uint64_t count = 0;
      if (::read(wakeFd, &count, sizeof count) < 0 && errno != EAGAIN) return;
      if (stopping) return;
    }
    if ((fds[0].revents & POLLIN) != 0) takeIn(nowMs());
  }
}

bool validKeyText(const QString& text) {
  static const QRegularExpression sixDigits(QStringLiteral("^[0-9]{6}$"));
  return sixDigits.match(text).hasMatch();
}

std::optional<Framing> framingFromText(const QString& text) {
  Framing framing;
  const QString mode = text.section(QLatin1Char(':'), 0, 0).toLower();
  const QString key = text.section(QLatin1Char(':'), 1);
  // The words `quennet scan` prints for what it finds.
  if (mode == quennet::framingName(quennet::DeviceFraming::Checksum8)) {
    framing.crc = false;
  } else if (mode == quennet::framingName(quennet::DeviceFraming::Encrypted)) {
    framing.encryption = true;
    if (!key.isEmpty()) {
      if (!validKeyText(key)) return std::nullopt;
      framing.key = key;
    }
  } else if (mode != quennet::framingName(quennet::DeviceFraming::Crc16)) {
    return std::nullopt;
  }
  if (!framing.encryption && text.contains(QLatin1Char(':'))) return std::nullopt;
  return framing;
}

QString framingText(const Framing& framing) {
  using quennet::DeviceFraming;
  if (!framing.crc) return quennet::framingCaption(DeviceFraming::Checksum8);
  if (!framing.encryption) return quennet::framingCaption(DeviceFraming::Crc16);
  return QStringLiteral("%1 (key %2)")
      .arg(quennet::framingCaption(DeviceFraming::Encrypted), framing.key);
}

Simulator::Simulator(SimulatorOptions options) : impl_(std::make_unique<Impl>(options)) {}

Simulator::~Simulator() {
  stop();
}

bool Simulator::start(QString* error) {
  if (impl_->thread.joinable()) return true;
  if (!impl_->tap.open(nowMs(), error)) return false;
  if (!impl_->pty.open(error)) return false;
  impl_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl_->wakeFd < 0) {
    if (error) *error = QStringLiteral("eventfd failed");
    impl_->pty.close();
    return false;
  }
  impl_->thread = std::thread([this] { impl_->serve(); });
  return true;
}

void Simulator::stop() {
  if (!impl_->thread.joinable()) return;
  impl_->stopping = true;
  impl_->wake();
  impl_->thread.join();
  impl_->stopping = false;
  impl_->tap.finish();
  ::close(impl_->wakeFd);
  impl_->wakeFd = -1;
  impl_->queue.clear();
  impl_->pty.close();
}

QString Simulator::slavePath() const {
  return impl_->pty.slavePath();
}

Insertion Simulator::insertNote(int noteNumber) {
  Insertion insertion;
  impl_->act([&] { insertion = impl_->validator.insertNote(noteNumber); });
  return insertion;
}
void Simulator::removeCashBox() {
  impl_->act([&] { impl_->validator.removeCashBox(); });
}
void Simulator::insertCashBox() {
  impl_->act([&] { impl_->validator.insertCashBox(); });
}
void Simulator::jam() {
  impl_->act([&] { impl_->validator.jam(); });
}
bool Simulator::jamHopper(int coins) {
  bool jammed = false;
  impl_->act([&] {
    if (!impl_->hopper) return;
    impl_->hopper->jamAfter(coins);
    jammed = true;
  });
  return jammed;
}

void Simulator::brownOut() {
  impl_->act([&] { impl_->validator.brownOutOnStack(); });
}

bool Simulator::replaceHopper(std::uint32_t serial, std::uint32_t dispensed) {
  bool replaced = false;
  impl_->act([&] {
    if (!impl_->hopper) return;
    impl_->hopper->replace(serial, dispensed);
    replaced = true;
  });
  return replaced;
}

QString Simulator::hopperCounters() const {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->hopper) return {};
  // The coins due by now are out, whenever the serving thread last woke.
  impl_->hopper->advance(nowMs());
  const Hopper& h = *impl_->hopper;
  QString text = QStringLiteral("hopper %1: serial %2, held %3, dispensed %4")
                     .arg(h.address())
                     .arg(h.serialNumber())
                     .arg(h.coinsHeld())
                     .arg(h.dispensed());
  if (h.coinsRemaining() > 0) text += QStringLiteral(", paying %1").arg(h.coinsRemaining());
  return text;
}

void Simulator::cheat() {
  impl_->act([&] { impl_->validator.cheat(); });
}
void Simulator::stackerFull() {
  impl_->act([&] { impl_->validator.stackerFull(); });
}
void Simulator::reset() {
  // The whole bus is power-cycled, as when the operator switches the rig off and on.
  impl_->act([&] {
    impl_->validator.reset();
    if (impl_->coinAcceptor) impl_->coinAcceptor->reset();
    if (impl_->hopper) impl_->hopper->reset();
  });
}
void Simulator::setSelfTestFault(int code) {
  impl_->act([&] { impl_->validator.setSelfTestFault(static_cast<std::uint8_t>(code)); });
}
void Simulator::insertCoin(int coinNumber) {
  impl_->act([&] {
    if (impl_->coinAcceptor) impl_->coinAcceptor->insertCoin(coinNumber);
  });
}
bool Simulator::injectFault(Fault fault, int count) {
  bool queued = false;
  impl_->act([&] { queued = impl_->bus.faults().inject(fault, count); });
  return queued;
}
void Simulator::clearFault(Fault fault) {
  impl_->act([&] { impl_->bus.faults().clear(fault); });
}
void Simulator::clearFaults() {
  impl_->act([&] {
    impl_->bus.faults().clear();
    impl_->validator.setSelfTestFault(0);
  });
}
void Simulator::setFaultProbability(Fault fault, double probability) {
  impl_->act([&] { impl_->bus.faults().setProbability(fault, probability); });
}
bool Simulator::setBusyReplies(int address, int count) {
  bool found = false;
  impl_->act([&] { found = impl_->bus.setBusyReplies(address, count); });
  return found;
}

bool Simulator::setResetSilence(int address, int ms) {
  bool found = false;
  impl_->act([&] { found = impl_->bus.setResetSilence(address, ms); });
  return found;
}

QString Simulator::devicesText() const {
  std::lock_guard lock(impl_->mutex);
  QStringList lines;
  for (const Bus::Member& member : impl_->bus.members()) {
    const int address = member.device->address();
    QString line = QStringLiteral("%1 at %2: %3%4")
                       .arg(member.role)
                       .arg(address)
                       .arg(framingText(impl_->bus.framingOf(member)),
                            member.own ? QString() : QStringLiteral(" (the line's)"));
    if (member.busyLeft > 0) line += QStringLiteral(", busy x%1").arg(member.busyLeft);
    if (member.resetSilenceMs > 0) {
      line += QStringLiteral(", silent %1 ms after a reset").arg(member.resetSilenceMs);
    }
    lines << line;
  }
  return lines.join(QLatin1Char('\n'));
}

void Simulator::setLineOptions(const LineOptions& options) {
  impl_->act([&] { impl_->bus.setLineOptions(options); });
}

LineOptions Simulator::lineOptions() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->bus.lineOptions();
}

int Simulator::validatorAddress() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->validator.address();
}

std::array<std::uint8_t, 2> Simulator::inhibitMask() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->validator.inhibitMask();
}

std::uint8_t Simulator::masterInhibit() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->validator.masterInhibit();
}

std::uint8_t Simulator::billMode() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->validator.billMode();
}

bool Simulator::noteInEscrow() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->validator.escrowNote() != 0;
}

int Simulator::escrowNote() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->validator.escrowNote();
}

int Simulator::escrowHoldLeftMs() const {
  std::lock_guard lock(impl_->mutex);
  const std::optional<double> expires = impl_->validator.deadline();
  if (impl_->validator.escrowNote() == 0 || !expires) return -1;
  return static_cast<int>(std::max(0.0, std::ceil(*expires - nowMs())));
}

std::uint8_t Simulator::eventCounter() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->validator.eventCounter();
}

QString Simulator::counters() const {
  std::lock_guard lock(impl_->mutex);
  const auto list = [](const auto& counts) {
    QStringList parts;
    for (std::size_t k = 0; k < counts.size(); ++k) {
      if (counts[k] != 0) parts.append(QStringLiteral("%1:%2").arg(k + 1).arg(counts[k]));
    }
    return parts.join(QLatin1Char(' '));
  };
  QString text = QStringLiteral("notes ") + list(impl_->validator.stacked());
  if (impl_->coinAcceptor)
    text += QStringLiteral("; coins ") + list(impl_->coinAcceptor->accepted());
  return text;
}

ActiveFaults Simulator::activeFaults() const {
  std::lock_guard lock(impl_->mutex);
  return {impl_->bus.faults().queuedCounts(), impl_->bus.faults().probabilities(),
          impl_->validator.selfTestFault()};
}

int Simulator::framesDropped() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->bus.framesDropped();
}

int Simulator::framesReceived() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->bus.framesReceived();
}

}  // namespace bnvsim
