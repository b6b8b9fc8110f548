#include "bench/soak_worker.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include "bench/soak_boxes.h"
#include "bench/soak_plan.h"
#include "bnvsim/bus.h"
#include "quennet/control/zav_quennet.h"
#include "quennet/link/protocol.h"
#include "tolvar/mainwindow/services/scripted_ui_services.h"
#include "tolvar/mainwindow/window/frm_host.h"

namespace soak {

namespace {

constexpr double kFaultShare = 0.1;
constexpr double kBoxShare = 0.1;
// Clean calls slower than this (the broadcasts, the stacker cycle) run a tenth as often, and
// only with faults that fail fast.
constexpr qint64 kSlowCallMs = 100;
constexpr double kSlowWeight = 0.1;
constexpr qint64 kHangMarginMs = 1000;
// A late reply arrives 700 ms after the command went out; this long after the call it has come
// and gone.
constexpr qint64 kLateSettledMs = 800;
// How long the device takes to answer the poll after a BUSY followed by its answer: longer than
// that answer takes to come.
constexpr int kSlowAnswerMs = 2 * bnvsim::kBusyAnswerMs;
// A call this long is stuck, not slow: the watchdog ends the worker.
constexpr qint64 kStuckMs = 20000;
constexpr int kWorkerStuck = 3;
constexpr int kMaxDetails = 20;

long rssKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

qint64 monotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct MethodPlan {
  const quennet::MethodInfo* info = nullptr;
  bool traffic = false;
  bool slow = false;
  bool broadcast = false;
  bool fixedLength = false;  // every reply to its header carries the same data count
  qint64 waitMs() const {
    // The engine's longest waits: the collected broadcast answers, the stacker, a data reply.
    using quennet::ReplyWait;
    return quennet::replyWaitMs(broadcast ? ReplyWait::Gather
                                : slow    ? ReplyWait::Long
                                          : ReplyWait::Data);
  }
};

struct Tally {
  int injected = 0;
  int right = 0;
};

class Soak {
 public:
  explicit Soak(const SoakOptions& options) : options_(options), random_(options.seed) {}
  ~Soak();
  int run();

 private:
  void startSimulator();
  void calibrate();
  Kind pickKind(const MethodPlan& plan);
  void callWithFault(const MethodPlan& plan, Kind kind);
  quennet::InvokeResult timedCall(const MethodPlan& plan, const QVariantList& inputs);
  bool pollAnswers();
  void setReplyDelayMs(int ms);
  void keepValidatorAddress();
  void complain(const QString& what);
  void report(long rssStart, long rssEnd, qint64 elapsedMs) const;

  SoakOptions options_;
  std::mt19937 random_;
  QTemporaryDir dir_;
  QString portLink_;
  std::unique_ptr<bnvsim::Simulator> sim_;
  tolvar::ScriptedUiServices ui_;
  std::unique_ptr<tolvar::frmHost> host_;
  zav_quennet* control_ = nullptr;
  std::vector<MethodPlan> plans_;
  std::array<Tally, kKinds> tallies_{};
  BoxTally boxes_;
  int calls_ = 0;
  int transactions_ = 0;
  int hangs_ = 0;
  // The quiet the last call left owed: after a failed exchange the next frame waits out the
  // failed call's own time-out, since its reply may still come.
  qint64 owedQuietMs_ = 0;
  int details_ = 0;
  std::atomic<qint64> callStartedMs_{0};
  std::atomic<bool> finished_{false};
  std::thread watchdog_;
};

Soak::~Soak() {
  finished_ = true;
  if (watchdog_.joinable()) watchdog_.join();
}

// The host keeps one device name across the drop, as a USB adapter plugged back in would:
// a link in the soak's folder points at whichever pseudo-terminal serves now.
void Soak::startSimulator() {
  bnvsim::SimulatorOptions options;
  options.hopper = true;
  options.coinAcceptor = true;
  sim_ = std::make_unique<bnvsim::Simulator>(options);
  QString error;
  if (!sim_->start(&error)) qFatal("simulator: %s", qPrintable(error));
  QFile::remove(portLink_);
  if (!QFile::link(sim_->slavePath(), portLink_)) qFatal("cannot link %s", qPrintable(portLink_));
}

void Soak::complain(const QString& what) {
  if (details_++ < kMaxDetails) std::fprintf(stderr, "soak: %s\n", qPrintable(what));
}

quennet::InvokeResult Soak::timedCall(const MethodPlan& plan, const QVariantList& inputs) {
  ++calls_;
  if (plan.traffic) ++transactions_;
  quennet::InvokeResult out;
  QElapsedTimer clock;
  clock.start();
  callStartedMs_ = monotonicMs();
  try {
    out = quennet::invoke(*control_, plan.info->name, inputs);
  } catch (const std::exception& e) {
    // Valid inputs never raise: a raise is a wrong answer.
    complain(plan.info->name + QStringLiteral(" raised: ") + QString::fromLocal8Bit(e.what()));
    out.result = -1000;
  }
  callStartedMs_ = 0;
  const qint64 owed = std::exchange(owedQuietMs_, 0);
  if (plan.traffic && out.result != quennet::kResultOk) owedQuietMs_ = plan.waitMs();
  if (clock.elapsed() > owed + plan.waitMs() + kHangMarginMs) {
    ++hangs_;
    complain(QStringLiteral("%1 took %2 ms").arg(plan.info->name).arg(clock.elapsed()));
  }
  return out;
}

// One clean call of each method: it must succeed, and tells which send a frame and how long
// the device takes.
void Soak::calibrate() {
  for (const quennet::MethodInfo& info : quennet::methodTable()) {
    // Until measured, any method may be the one that waits longest.
    MethodPlan plan{&info, true, true, !info.hasDevice()};
    const int framesBefore = sim_->framesReceived();
    QElapsedTimer clock;
    clock.start();
    const quennet::InvokeResult out = timedCall(plan, inputsFor(info, random_));
    plan.slow = clock.elapsed() > kSlowCallMs;
    plan.traffic = sim_->framesReceived() != framesBefore;
    if (!plan.traffic) --transactions_;
    const quennet::HeaderInfo* row = quennet::headerInfo(control_->CommandBuffer().at(4));
    plan.fixedLength = plan.traffic && row && row->exactReplyData() >= 0;
    ++tallies_[0].injected;
    if (classifiedRight(Kind::Clean, info, out)) {
      ++tallies_[0].right;
    } else {
      complain(QStringLiteral("%1 clean: result %2").arg(info.name).arg(out.result));
    }
    keepValidatorAddress();
    plans_.push_back(plan);
  }
}

Kind Soak::pickKind(const MethodPlan& plan) {
  if (!plan.traffic || std::uniform_real_distribution<double>(0, 1)(random_) >= kFaultShare) {
    return Kind::Clean;
  }
  // Reply faults never touch the broadcasts' loose answer bytes; a stacker cycle would wait
  // out its 8 s on a missing or short reply.
  static const std::vector<Kind> broadcast = {Kind::NoEcho, Kind::LineDrop, Kind::EchoNoise,
                                              Kind::EchoHost};
  static const std::vector<Kind> slow = {Kind::Busy,     Kind::Nak,       Kind::BadCrc,
                                         Kind::LineDrop, Kind::EchoNoise, Kind::EchoHost};
  static const std::vector<Kind> all = {
      Kind::Silent,    Kind::Busy,     Kind::Nak,        Kind::BadCrc,   Kind::Truncated,
      Kind::Noise,     Kind::Late,     Kind::NoEcho,     Kind::LineDrop, Kind::BusyThenAnswer,
      Kind::EchoNoise, Kind::EchoHost, Kind::WrongLength};
  const std::vector<Kind>& kinds = plan.broadcast ? broadcast : (plan.slow ? slow : all);
  for (;;) {
    const Kind kind =
        kinds[std::uniform_int_distribution<std::size_t>(0, kinds.size() - 1)(random_)];
    if (kind != Kind::WrongLength || plan.fixedLength) return kind;
  }
}

bool Soak::pollAnswers() {
  ++calls_;
  ++transactions_;
  QString response;
  return control_->SendPoll(kValidatorAddress, response) == quennet::kResultOk;
}

void Soak::setReplyDelayMs(int ms) {
  bnvsim::LineOptions line = sim_->lineOptions();
  line.replyDelayMs = ms;
  sim_->setLineOptions(line);
}

// AddressRandom moves the validator; the rest of the soak wants it at its usual address.
void Soak::keepValidatorAddress() {
  const int address = sim_->validatorAddress();
  if (address == kValidatorAddress) return;
  QString response;
  ++transactions_;
  if (control_->AddressChange(static_cast<std::uint8_t>(address), kValidatorAddress, response) !=
      quennet::kResultOk) {
    complain(QStringLiteral("could not move the validator back from %1").arg(address));
  }
}

void Soak::callWithFault(const MethodPlan& plan, Kind kind) {
  if (kind == Kind::LineDrop) {
    sim_->stop();
  } else if (const auto fault = simulatorFault(kind)) {
    sim_->injectFault(*fault, 1);
  }
  const quennet::InvokeResult out = timedCall(plan, inputsFor(*plan.info, random_));
  bool right = classifiedRight(kind, *plan.info, out);
  if (kind == Kind::Late) {
    // The stale reply is due a fixed time after the frame went out, and the frame may have
    // waited out the quiet a failed call before it left: counted from the call's end, the wait
    // covers it whatever that quiet was. The next exchange must not take it for its own.
    QThread::msleep(static_cast<unsigned long>(kLateSettledMs));
  } else if (kind == Kind::LineDrop) {
    startSimulator();
    control_->setEnabled(true);
    right = control_->Enabled() && right;
  }
  // After the stale reply, so that it cannot land in the address change.
  keepValidatorAddress();
  // A stale answer (late, or after BUSY, or behind a changed echo or a wrong length) must not
  // answer the next command either. After BUSY the real answer is still on its way: the poll's
  // own answer then comes as a device's often does, after the stale one would have.
  if (kind == Kind::BusyThenAnswer) setReplyDelayMs(kSlowAnswerMs);
  if (kind != Kind::Clean && kind != Kind::NoEcho) right = pollAnswers() && right;
  if (kind == Kind::BusyThenAnswer) setReplyDelayMs(0);
  Tally& tally = tallies_[static_cast<std::size_t>(kind)];
  ++tally.injected;
  if (right) {
    ++tally.right;
  } else {
    complain(QStringLiteral("%1 with %2: result %3")
                 .arg(plan.info->name, QLatin1String(kindName(kind)))
                 .arg(out.result));
  }
}

void Soak::report(long rssStart, long rssEnd, qint64 elapsedMs) const {
  std::printf("| fault injected | count | classified right |\n|---|---|---|\n");
  int misclassified = 0;
  for (int k = 0; k < kKinds; ++k) {
    const Tally& t = tallies_[static_cast<std::size_t>(k)];
    misclassified += t.injected - t.right;
    std::printf("| %s | %d | %d |\n", kindName(static_cast<Kind>(k)), t.injected, t.right);
  }
  std::printf("\n| measure | value |\n|---|---|\n");
  std::printf("| seed | %u |\n| run time | %.1f s |\n", options_.seed, elapsedMs / 1000.0);
  std::printf("| method calls (%lld methods) | %d |\n| transactions on the wire | %d |\n",
              static_cast<long long>(plans_.size()), calls_, transactions_);
  std::printf("| misclassified | %d |\n", misclassified);
  std::printf(
      "| hangs (a call over its time-out, and the quiet a failed call before it left, + %lld ms) | "
      "%d |\n",
      static_cast<long long>(kHangMarginMs), hangs_);
  std::printf("| texts typed into the address and key boxes | %d (%d accepted, %d refused) |\n",
              boxes_.typed, boxes_.accepted, boxes_.refused);
  std::printf("| box texts handled wrongly | %d |\n", boxes_.wrong);
  std::printf("| RSS after warm-up -> at the end | %ld KiB -> %ld KiB (%+ld KiB) |\n", rssStart,
              rssEnd, rssEnd - rssStart);
  std::fflush(stdout);
}

int Soak::run() {
  if (!dir_.isValid()) qFatal("no temporary folder");
  // Serial ports lock by base name: one name per worker, so soaks running side by side do not
  // clash.
  portLink_ = dir_.filePath(QStringLiteral("ttyBNV%1").arg(QCoreApplication::applicationPid()));
  startSimulator();
  host_ = std::make_unique<tolvar::frmHost>(
      ui_, tolvar::HostOptions{dir_.filePath(QStringLiteral("tolvar.ini")), portLink_});
  control_ = host_->control();
  if (!control_->Enabled()) qFatal("the control did not open %s", qPrintable(portLink_));
  watchdog_ = std::thread([this] {
    while (!finished_) {
      const qint64 started = callStartedMs_;
      if (started != 0 && monotonicMs() - started > kStuckMs) {
        std::fprintf(stderr, "soak: a call has been stuck for %lld ms\n",
                     static_cast<long long>(kStuckMs));
        std::fflush(stderr);
        _exit(kWorkerStuck);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });

  calibrate();
  std::vector<double> weights;
  for (const MethodPlan& plan : plans_) weights.push_back(plan.slow ? kSlowWeight : 1.0);
  std::discrete_distribution<std::size_t> pickMethod(weights.begin(), weights.end());
  BoxTyper typer(*host_, ui_, random_);

  const long rssStart = rssKiB();
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < options_.seconds * 1000LL) {
    // What the program's own event loop would do between clicks.
    QCoreApplication::processEvents();
    if (std::uniform_real_distribution<double>(0, 1)(random_) < kBoxShare) {
      const BoxOutcome box = typer.typeOnce();
      boxes_.add(box);
      if (box.probed) transactions_ += 1;
      if (!box.detail.isEmpty()) complain(box.detail);
    }
    const MethodPlan& plan = plans_[pickMethod(random_)];
    callWithFault(plan, pickKind(plan));
  }
  const long rssEnd = rssKiB();
  report(rssStart, rssEnd, clock.elapsed());
  int misclassified = boxes_.wrong;
  for (const Tally& t : tallies_) misclassified += t.injected - t.right;
  return misclassified == 0 && hangs_ == 0 ? 0 : 1;
}

}  // namespace

int runWorker(const SoakOptions& options) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "fault_soak";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  Soak soak(options);
  return soak.run();
}

}  // namespace soak
