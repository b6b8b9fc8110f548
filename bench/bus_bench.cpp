// Bus client benchmark on the virtual validator with its hopper and coin acceptor: 1000 mixed
// requests from three callers to three devices, unpaced and paced at 9600 baud against the wire
// floor, and how late a 10 ms timer in the caller's thread fires while the bus is busy.
#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include "bench_help.h"
#include "bnvsim/simulator.h"
#include "quennet/bus/bus_client.h"
#include "quennet/commands/dispatch.h"
#include "quennet/link/qt_serial_line.h"

namespace {

constexpr double kByteMs = 10.0 / 9.6;  // one 8N1 character at 9600 baud
constexpr int kTickMs = 10;

// The mix: raw buffer and status reads beside methods by name, to all three devices.
struct Request {
  quint8 address;
  quint8 header;       // raw request when method is empty
  const char* method;  // by name otherwise
};
const std::vector<Request> kMix = {
    {40, 159, ""},
    {2, 229, ""},
    {3, 166, ""},
    {40, 0, "SendPoll"},
    {2, 0, "GetSerialNo"},
    {3, 0, "Test_Hopper"},
    {40, 0, "GetMasterInhibit"},
    {2, 0, "SendPoll"},
    {3, 0, "SendPoll"},
    {40, 0, "GetSerialNo"},
};

struct RunResult {
  double seconds = 0;
  double floorSeconds = 0;  // every byte of every frame and echo at wire speed, nothing else
  int failures = 0;
  std::vector<double> lateMs;  // of each tick of the caller's 10 ms timer
};

RunResult runMix(bool paced, int count) {
  bnvsim::SimulatorOptions options;
  options.hopper = true;
  options.coinAcceptor = true;
  options.line.pacing = paced;
  bnvsim::Simulator sim(options);
  if (!sim.start()) qFatal("simulator did not start");
  quennet::BusClient client;
  client.setPortName(sim.slavePath());
  client.setChecksumType(quennet::CHKSM_16BIT);
  client.setCommsEcho(true);
  if (!client.open()) qFatal("open: %s", qPrintable(client.errorString()));

  RunResult result;
  int finished = 0;
  QEventLoop loop;
  QElapsedTimer sinceTick;
  QTimer ticker;
  ticker.setTimerType(Qt::PreciseTimer);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    const double gap = static_cast<double>(sinceTick.nsecsElapsed()) / 1e6;
    sinceTick.restart();
    result.lateMs.push_back(gap - kTickMs);
  });

  QElapsedTimer clock;
  clock.start();
  ticker.start(kTickMs);
  sinceTick.start();
  // Three callers take turns, each with its own device's share of the mix.
  for (int i = 0; i < count; ++i) {
    const Request& r = kMix[static_cast<std::size_t>(i) % kMix.size()];
    quennet::BusReply* reply = *r.method ? client.invoke(r.address, QString::fromLatin1(r.method))
                                         : client.sendRequest(r.address, r.header);
    QObject::connect(reply, &quennet::BusReply::finished, [&, reply] {
      if (reply->result() != quennet::kResultOk) ++result.failures;
      result.floorSeconds +=
          static_cast<double>(reply->sent().size() + reply->reply().size()) * kByteMs / 1000.0;
      reply->deleteLater();
      if (++finished == count) loop.quit();
    });
  }
  loop.exec();
  result.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
  return result;
}

// The same mix on the synchronous command set in this thread, one call after the other.
RunResult synchronousMix(bool paced, int count) {
  bnvsim::SimulatorOptions options;
  options.hopper = true;
  options.coinAcceptor = true;
  options.line.pacing = paced;
  bnvsim::Simulator sim(options);
  if (!sim.start()) qFatal("simulator did not start");
  quennet::CommandSet set;
  auto line = std::make_unique<quennet::QtSerialLine>();
  line->setDeviceName(sim.slavePath());
  line->open();
  set.setLine(std::move(line));
  set.setChecksumType(quennet::CHKSM_16BIT);
  set.setCommsEcho(true);
  RunResult result;
  QElapsedTimer clock;
  clock.start();
  for (int i = 0; i < count; ++i) {
    const Request& r = kMix[static_cast<std::size_t>(i) % kMix.size()];
    int code = 0;
    if (*r.method) {
      code = quennet::invoke(set, QString::fromLatin1(r.method), QVariantList{r.address}).result;
    } else {
      set.LoadFrame(r.address, r.header);
      std::array<std::uint8_t, 256> reply{};
      code = set.Transact(reply, 500, false);
    }
    if (code != quennet::kResultOk) ++result.failures;
    result.floorSeconds +=
        (set.CommandBuffer().frameLength() + set.ReplyLength()) * kByteMs / 1000.0;
  }
  result.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
  return result;
}

// How late the same timer fires with nothing else to do: the machine's own scheduling noise.
std::vector<double> idleLateness(int ms) {
  std::vector<double> late;
  QEventLoop loop;
  QElapsedTimer sinceTick;
  QTimer ticker;
  ticker.setTimerType(Qt::PreciseTimer);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    late.push_back(static_cast<double>(sinceTick.nsecsElapsed()) / 1e6 - kTickMs);
    sinceTick.restart();
  });
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  ticker.start(kTickMs);
  sinceTick.start();
  loop.exec();
  return late;
}

// "worst (99th percentile)" in milliseconds.
QString latenessText(std::vector<double> late) {
  if (late.empty()) return QStringLiteral("-");
  std::sort(late.begin(), late.end());
  const double p99 = late[late.size() * 99 / 100];
  return QStringLiteral("%1 (%2)").arg(late.back(), 0, 'f', 2).arg(p99, 0, 'f', 2);
}

}  // namespace

int main(int argc, char** argv) {
  if (answeredHelp(argc, argv,
                   "Usage: bench_bus [--quick]\nThe bus client on the virtual validator with its "
                   "hopper and coin acceptor: 1000 mixed\nrequests from three callers (--quick: "
                   "200), unpaced and paced, against the synchronous\ncommand set, and the "
                   "lateness of a 10 ms timer in the caller\'s thread.\n"))
    return 0;
  QCoreApplication app(argc, argv);
  const bool quick = argc > 1 && QByteArray(argv[1]) == "--quick";
  const int count = quick ? 200 : 1000;
  const RunResult sync = synchronousMix(false, count);
  const RunResult unpaced = runMix(false, count);
  const RunResult paced = runMix(true, count);
  const RunResult syncPaced = synchronousMix(true, count);
  const std::vector<double> idle = idleLateness(static_cast<int>(paced.seconds * 1000));
  const auto overFloor = [](const RunResult& r) {
    return 100.0 * (r.seconds - r.floorSeconds) / r.floorSeconds;
  };
  std::printf("| measure (%d mixed requests, three devices) | result | goal |\n|---|---|---|\n",
              count);
  std::printf(
      "| unpaced pty: bus client / synchronous command set | %.0f / %.0f requests/s"
      " (%d / %d failed) | |\n",
      count / unpaced.seconds, count / sync.seconds, unpaced.failures, sync.failures);
  std::printf(
      "| paced 9600 baud, wire floor %.2f s: bus client / synchronous | %.2f s (+%.1f%%) /"
      " %.2f s (+%.1f%%), %d / %d failed | near the floor |\n",
      paced.floorSeconds, paced.seconds, overFloor(paced), syncPaced.seconds, overFloor(syncPaced),
      paced.failures, syncPaced.failures);
  std::printf(
      "| lateness of a 10 ms timer in the caller's thread, worst (99th percentile): bus busy"
      " unpaced / paced / idle machine | %s / %s / %s ms | under 5 ms |\n",
      qPrintable(latenessText(unpaced.lateMs)), qPrintable(latenessText(paced.lateMs)),
      qPrintable(latenessText(idle)));
  return 0;
}
