// Link engine benchmark over a real pseudo-terminal: round trips per second, paced latency
// against the 9600-baud wire-time floor, and the CPU used while waiting; then back-to-back
// commands on the paced virtual validator through the command set and the bus client, side by
// side with a bare C loop on the same validator, each against the wire floor.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include "bare_loop.h"
#include "bench_help.h"
#include "bnvsim/simulator.h"
#include "quennet/bus/bus_client.h"
#include "quennet/bus/bus_reply.h"
#include "quennet/commands/command_set.h"
#include "quennet/commands/dispatch.h"
#include "quennet/link/protocol_events.h"
#include "quennet/link/qt_serial_line.h"
#include "support/pty_pair.h"
#include "support/reply_frames.h"

namespace {

constexpr double kByteMs = 10.0 / 9.6;  // one 8N1 character at 9600 baud

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Writes `bytes` one at a time at wire speed, starting at `start`.
void writePaced(const PtyPair& pty, const std::vector<unsigned char>& bytes, timespec start) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto offsetNs = static_cast<long long>((static_cast<double>(i) + 1) * kByteMs * 1e6);
    timespec due = start;
    due.tv_sec += static_cast<time_t>((due.tv_nsec + offsetNs) / 1000000000LL);
    due.tv_nsec = static_cast<long>((due.tv_nsec + offsetNs) % 1000000000LL);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
    pty.writeMaster({bytes[i]});
  }
}

std::vector<unsigned char> ackFrame() {
  const QByteArray ack = testframes::reply(0, {}, true);
  return std::vector<unsigned char>(ack.begin(), ack.end());
}

std::unique_ptr<quennet::QtSerialLine> lineOn(const PtyPair& pty) {
  auto line = std::make_unique<quennet::QtSerialLine>();
  line->setDeviceName(pty.slaveName());
  return line;
}

struct PacedResult {
  double medianMs;
  double cpuPerThousand;
};

// The device echoes each command byte as it would cross the wire, then answers, all paced.
PacedResult pacedLatency(int rounds) {
  PtyPair pty;
  PtyResponder device(pty, [&pty](const std::vector<unsigned char>& frame) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::vector<unsigned char> out = frame;
    const auto ack = ackFrame();
    out.insert(out.end(), ack.begin(), ack.end());
    // Echo and command share the wire time: the first echo byte is due one byte after start.
    writePaced(pty, out, start);
    return std::vector<unsigned char>();
  });
  quennet::CommandSet host;
  host.setLine(lineOn(pty));
  host.setChecksumType(quennet::CHKSM_16BIT);
  host.setCommsEcho(true);
  host.line()->open();
  std::vector<double> samples;
  QString response;
  const double cpuBefore = cpuSeconds();
  for (int i = 0; i < rounds; ++i) {
    QElapsedTimer t;
    t.start();
    if (host.SendPoll(40, response) != 0) continue;
    samples.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
  }
  const double cpu = cpuSeconds() - cpuBefore;
  std::sort(samples.begin(), samples.end());
  return {samples.empty() ? 0.0 : samples[samples.size() / 2],
          cpu * 1000.0 / std::max(1, static_cast<int>(samples.size()))};
}

double roundTripsPerSecond(int rounds) {
  PtyPair pty;
  PtyResponder device(pty, [](const std::vector<unsigned char>&) { return ackFrame(); });
  quennet::CommandSet host;
  host.setLine(lineOn(pty));
  host.setChecksumType(quennet::CHKSM_16BIT);
  host.line()->open();
  QString response;
  QElapsedTimer t;
  t.start();
  int ok = 0;
  for (int i = 0; i < rounds; ++i) ok += host.SendPoll(40, response) == 0 ? 1 : 0;
  return ok / (static_cast<double>(t.nsecsElapsed()) / 1e9);
}

double silentWaitCpuPercent(int rounds) {
  PtyPair pty;
  quennet::CommandSet host;
  host.setLine(lineOn(pty));
  host.line()->open();
  QString response;
  const double cpuBefore = cpuSeconds();
  QElapsedTimer t;
  t.start();
  for (int i = 0; i < rounds; ++i) host.SendPoll(40, response);
  return 100.0 * (cpuSeconds() - cpuBefore) / (static_cast<double>(t.nsecsElapsed()) / 1e9);
}

// ---- Back-to-back on the virtual validator, beside a bare C loop ------------------------------

// One command to the validator, as the bare loop writes it and as many bytes as come back (echo
// and reply).
struct Exchange {
  const char* method;
  std::uint8_t header;
  int replyData;
  QByteArray frame;
  int expect() const { return static_cast<int>(frame.size()) + replyData + 5; }
  // Every byte on the wire at 9600 baud: the frame (its echo comes back while it goes out) and
  // the reply.
  double floorMs() const { return (static_cast<double>(frame.size()) + replyData + 5) * kByteMs; }
};

Exchange exchangeFor(const char* method, std::uint8_t header, int replyData) {
  quennet::CommandSet set;
  set.setChecksumType(quennet::CHKSM_16BIT);
  set.LoadFrame(quennet::kValidatorAddress, header);
  return {method, header, replyData, set.BuildFrame()};
}

std::unique_ptr<bnvsim::Simulator> validator(bool paced) {
  bnvsim::SimulatorOptions options;
  options.line.pacing = paced;
  auto sim = std::make_unique<bnvsim::Simulator>(options);
  if (!sim->start()) qFatal("the virtual validator did not start");
  return sim;
}

// Milliseconds a command through a command set, back to back.
double commandSetMs(const QString& port, const Exchange& x, int count) {
  quennet::CommandSet set;
  auto line = std::make_unique<quennet::QtSerialLine>();
  line->setDeviceName(port);
  if (!line->open()) return -1;
  set.setLine(std::move(line));
  set.setChecksumType(quennet::CHKSM_16BIT);
  set.setCommsEcho(true);
  const QString method = QString::fromLatin1(x.method);
  const QVariantList device{quennet::kValidatorAddress};
  if (quennet::invoke(set, method, device).result != 0) return -1;  // the settling after opening
  QElapsedTimer t;
  t.start();
  for (int i = 0; i < count; ++i) {
    if (quennet::invoke(set, method, device).result != 0) return -1;
  }
  return static_cast<double>(t.nsecsElapsed()) / 1e6 / count;
}

// The same through the bus client: each call queued once the last one has finished, as a caller
// that waits for its answer does.
double busClientMs(const QString& port, const Exchange& x, int count) {
  quennet::BusClient client;
  client.setPortName(port);
  client.setChecksumType(quennet::CHKSM_16BIT);
  client.setCommsEcho(true);
  if (!client.open()) return -1;
  const QString method = QString::fromLatin1(x.method);
  int done = -1;  // the first call settles the line
  bool failed = false;
  QElapsedTimer t;
  QEventLoop loop;
  std::function<void()> next = [&] {
    quennet::BusReply* reply = client.invoke(quennet::kValidatorAddress, method);
    QObject::connect(reply, &quennet::BusReply::finished, [&, reply] {
      reply->deleteLater();
      failed = failed || reply->result() != quennet::kResultOk;
      if (++done == 0) t.start();
      if (failed || done == count) {
        loop.quit();
      } else {
        next();
      }
    });
  };
  next();
  loop.exec();
  return failed ? -1 : static_cast<double>(t.nsecsElapsed()) / 1e6 / count;
}

double bareMs(const QString& port, const Exchange& x, int count) {
  const QByteArray path = port.toLocal8Bit();
  return bare_loop_ms(path.constData(), reinterpret_cast<const unsigned char*>(x.frame.constData()),
                      static_cast<int>(x.frame.size()), x.expect(), count, 500);
}

void sideBySide(bool paced, const Exchange& x, int count) {
  const auto sim = validator(paced);
  const QString port = sim->slavePath();
  const double bare = bareMs(port, x, count);
  const double set = commandSetMs(port, x, count);
  const double bus = busClientMs(port, x, count);
  const auto cell = [&](double ms) {
    if (ms < 0) return QStringLiteral("failed");
    if (!paced) return QStringLiteral("%1 ms").arg(ms, 0, 'f', 3);
    return QStringLiteral("%1 ms (%2x)").arg(ms, 0, 'f', 2).arg(ms / x.floorMs(), 0, 'f', 3);
  };
  std::printf("| %s, %s%s | %s | %s | %s |\n", x.method, paced ? "paced" : "unpaced",
              paced ? qPrintable(QStringLiteral(", floor %1 ms").arg(x.floorMs(), 0, 'f', 2)) : "",
              qPrintable(cell(set)), qPrintable(cell(bus)), qPrintable(cell(bare)));
}

}  // namespace

int main(int argc, char** argv) {
  if (answeredHelp(
          argc, argv,
          "Usage: bench_link [--quick]\nThe link engine over a real pseudo-terminal: simple-poll "
          "round trips per second, paced\nlatency against the 9600-baud wire floor, and the CPU "
          "used while waiting out time-outs;\nthen back-to-back simple polls and event reads on "
          "the paced virtual validator through\nthe command set and the bus client, beside a bare "
          "C loop on the same line, against the\nwire floor.\n--quick runs a tenth of the "
          "rounds.\n"))
    return 0;
  QCoreApplication app(argc, argv);
  const bool quick = argc > 1 && QByteArray(argv[1]) == "--quick";
  // As shipped: no quiet kept after a good reply.
  const double rate = roundTripsPerSecond(quick ? 2000 : 20000);
  const PacedResult paced = pacedLatency(quick ? 100 : 1000);
  const double silentCpu = silentWaitCpuPercent(quick ? 5 : 25);
  const double floorMs = 10 * kByteMs;
  std::printf("| measure | result | goal |\n|---|---|---|\n");
  std::printf("| simple-poll round trips per second, unpaced pty | %.0f | >= 13000 |\n", rate);
  std::printf(
      "| median paced simple-poll latency (floor %.2f ms) | %.2f ms (+%.1f%%) | within 5%% |\n",
      floorMs, paced.medianMs, 100.0 * (paced.medianMs - floorMs) / floorMs);
  std::printf("| CPU while waiting out 200 ms time-outs | %.2f%% of wall | < 1%% |\n", silentCpu);
  std::printf("| CPU seconds per 1000 paced transactions | %.3f s | far below 10 s |\n",
              paced.cpuPerThousand);

  // Back to back on the virtual validator (echo on, CRC-16), a time per command.
  const int count = quick ? 100 : 1000;
  const Exchange poll = exchangeFor("SendPoll", quennet::SIMPLE_POLL, 0);
  const Exchange events = exchangeFor("GetEventBuffer", quennet::GET_EVENT_BUFFER, 11);
  std::printf(
      "\n| %d back-to-back commands on the virtual validator | command set | bus client | bare C "
      "loop |\n|---|---|---|---|\n",
      count);
  sideBySide(true, poll, count);
  sideBySide(true, events, count);
  sideBySide(false, poll, count);
  return 0;
}
