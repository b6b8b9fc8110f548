#include "bnvsim/simulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "bnvsim/bus.h"
#include "bnvsim/coin_acceptor.h"
#include "bnvsim/hopper.h"
#include "bnvsim/line_tap.h"
#include "bnvsim/pty_port.h"
#include "bnvsim/validator.h"

namespace bnvsim {

namespace {

// 10 bits a byte (start, 8 data, stop) at 9600 baud.
constexpr double kByteTimeMs = 10.0 * 1000.0 / 9600.0;
constexpr int kReadChunk = 512;

double nowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

struct Simulator::Impl {
  explicit Impl(const SimulatorOptions& o)
      : options(o),
        validator(o.validatorAddress, o.stackerFitted),
        bus(o.line),
        tap(o.capturePath, o.trace) {
    bus.attach(&validator);
    if (o.coinAcceptor) bus.attach(&coinAcceptor.emplace());
    if (o.hopper) bus.attach(&hopper.emplace());
  }

  void serve();
  void takeIn(double now);
  // Writes what is due; returns when the next byte is due, if anything is waiting.
  std::optional<double> sendDue(double now);

  SimulatorOptions options;
  mutable std::mutex mutex;  // guards the devices and the bus
  Validator validator;
  std::optional<CoinAcceptor> coinAcceptor;
  std::optional<Hopper> hopper;
  Bus bus;
  LineTap tap;  // owned by the serving thread while it runs

  PtyPort pty;
  int wakeFd = -1;
  std::thread thread;
  // Owned by the serving thread.
  std::deque<Transmission> queue;
  double nextByteMs = 0;
};

void Simulator::Impl::takeIn(double now) {
  std::uint8_t buffer[kReadChunk];
  const ssize_t count = ::read(pty.masterFd(), buffer, sizeof buffer);
  if (count <= 0) return;
  const std::span received(buffer, static_cast<std::size_t>(count));
  std::vector<Transmission> out;
  bool crc = true;
  {
    std::lock_guard lock(mutex);
    out = bus.receive(received, now);
    crc = bus.lineOptions().crc;
  }
  if (tap.active()) tap.host(received, now, crc);
  for (Transmission& t : out) {
    const auto at = std::upper_bound(queue.begin(), queue.end(), t.atMs,
                                     [](double v, const Transmission& q) { return v < q.atMs; });
    queue.insert(at, std::move(t));
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
    Transmission& head = queue.front();
    const double due = pacing ? std::max(head.atMs, nextByteMs) : head.atMs;
    if (due > now) return due;
    const std::size_t count = pacing ? 1 : head.bytes.size();
    // A host that is not reading lets the pty fill up; what does not fit is lost, as on a wire.
    if (::write(pty.masterFd(), head.bytes.data(), count) < 0 && errno != EAGAIN) return {};
    if (!head.echo && tap.active()) tap.device(std::span(head.bytes).first(count), now, crc);
    head.bytes.erase(head.bytes.begin(), head.bytes.begin() + static_cast<long>(count));
    nextByteMs = now + kByteTimeMs;
    if (head.bytes.empty()) queue.pop_front();
  }
  return std::nullopt;
}

void Simulator::Impl::serve() {
  for (;;) {
    double now = nowMs();
    std::optional<double> wake = sendDue(now);
    {
      std::lock_guard lock(mutex);
      bus.expireGap(now);
      if (const auto gap = bus.gapDeadline()) wake = wake ? std::min(*wake, *gap) : *gap;
    }
    tap.expire(now);
    if (const auto gap = tap.deadlineMs()) wake = wake ? std::min(*wake, *gap) : *gap;
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    if (wake) {
      const double waitMs = std::max(0.0, *wake - now) + 0.05;
      timeout.tv_sec = static_cast<time_t>(waitMs / 1000);
      timeout.tv_nsec = static_cast<long>(std::fmod(waitMs, 1000.0) * 1e6);
      timeoutPtr = &timeout;
    }
    pollfd fds[2] = {{pty.masterFd(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (ppoll(fds, 2, timeoutPtr, nullptr) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) != 0) takeIn(nowMs());
  }
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
  const std::uint64_t one = 1;
  if (::write(impl_->wakeFd, &one, sizeof one) < 0) std::perror("bnvsim: wake");
  impl_->thread.join();
  impl_->tap.finish();
  ::close(impl_->wakeFd);
  impl_->wakeFd = -1;
  impl_->queue.clear();
  impl_->pty.close();
}

QString Simulator::slavePath() const {
  return impl_->pty.slavePath();
}

#define BNVSIM_LOCKED(statement)        \
  do {                                  \
    std::lock_guard lock(impl_->mutex); \
    statement;                          \
  } while (false)

void Simulator::insertNote(int noteNumber) {
  BNVSIM_LOCKED(impl_->validator.insertNote(noteNumber));
}
void Simulator::removeCashBox() {
  BNVSIM_LOCKED(impl_->validator.removeCashBox());
}
void Simulator::insertCashBox() {
  BNVSIM_LOCKED(impl_->validator.insertCashBox());
}
void Simulator::jam() {
  BNVSIM_LOCKED(impl_->validator.jam());
}
void Simulator::cheat() {
  BNVSIM_LOCKED(impl_->validator.cheat());
}
void Simulator::stackerFull() {
  BNVSIM_LOCKED(impl_->validator.stackerFull());
}
void Simulator::reset() {
  BNVSIM_LOCKED(impl_->validator.reset());
}
void Simulator::setSelfTestFault(int code) {
  BNVSIM_LOCKED(impl_->validator.setSelfTestFault(static_cast<std::uint8_t>(code)));
}
void Simulator::insertCoin(int coinNumber) {
  BNVSIM_LOCKED(if (impl_->coinAcceptor) impl_->coinAcceptor->insertCoin(coinNumber));
}
void Simulator::injectFault(Fault fault, int count) {
  BNVSIM_LOCKED(impl_->bus.faults().inject(fault, count));
}
void Simulator::setFaultProbability(Fault fault, double probability) {
  BNVSIM_LOCKED(impl_->bus.faults().setProbability(fault, probability));
}
void Simulator::setLineOptions(const LineOptions& options) {
  BNVSIM_LOCKED(impl_->bus.setLineOptions(options));
}

#undef BNVSIM_LOCKED

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

int Simulator::framesReceived() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->bus.framesReceived();
}

}  // namespace bnvsim
