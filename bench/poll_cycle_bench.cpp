// One poll cycle of a kiosk's bus: an encrypted CRC-16 note validator (40, its bill events,
// header 159), an 8-bit coin acceptor (2, its credit buffer, 229) and an 8-bit hopper (3, its
// payout status, 166) on one virtual line, each device in its own framing, the three reads queued
// at once on the bus client as the service's pollers queue them. Each cycle is timed from the
// first request queued to the last reply, against the sum of the three exchanges' wire floors:
// every byte of each request and reply at 9600 baud, ten bits a byte (the echo comes back while
// the request goes out), and nothing else.
#include <algorithm>
#include <cstdio>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include "bench_help.h"
#include "bnvsim/bus.h"
#include "bnvsim/simulator.h"
#include "quennet/bus/bus_client.h"
#include "quennet/link/encryption.h"

namespace {

constexpr const char* kUsage =
    "usage: bench_poll_cycle [--cycles N]\n"
    "An encrypted CRC-16 validator, an 8-bit coin acceptor and an 8-bit hopper on one virtual\n"
    "line: N poll cycles (default 200; each the validator's bill events, the coin acceptor's\n"
    "credit buffer and the hopper's payout status, queued at once on the bus client), paced at\n"
    "9600 baud and unpaced, each cycle against the sum of its three wire floors.\n";

const QString kKey = QStringLiteral("123456");

struct Read {
  quint8 address;
  quint8 header;
  const char* what;
};
const Read kCycle[] = {{40, 159, "validator 40, CRC-16 encrypted, bill events (159)"},
                       {2, 229, "coin acceptor 2, 8-bit checksum, credit buffer (229)"},
                       {3, 166, "hopper 3, 8-bit checksum, payout status (166)"}};

struct Cycles {
  std::vector<double> ms;        // each cycle, first request queued to last reply
  std::vector<double> floorMs;   // each cycle's wire floor
  std::vector<double> deviceMs;  // each device's share of the floor (the last cycle's)
  int failures = 0;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

Cycles run(bool paced, int count) {
  bnvsim::SimulatorOptions options;
  options.coinAcceptor = true;
  options.hopper = true;
  options.line.pacing = paced;
  options.validatorFraming = bnvsim::Framing{true, true, kKey};
  options.coinAcceptorFraming = bnvsim::Framing{false, false, {}};
  options.hopperFraming = bnvsim::Framing{false, false, {}};
  bnvsim::Simulator sim(options);
  if (!sim.start()) qFatal("simulator did not start");
  quennet::BusClient client;
  client.setPortName(sim.slavePath());
  client.setCommsEcho(true);
  client.setDeviceLink(40, {quennet::CHKSM_16BIT, quennet::keyCodeFromText(kKey)});
  client.setDeviceLink(2, {quennet::CHKSM_8BIT, std::nullopt});
  client.setDeviceLink(3, {quennet::CHKSM_8BIT, std::nullopt});
  if (!client.open()) qFatal("open: %s", qPrintable(client.errorString()));

  Cycles cycles;
  cycles.deviceMs.assign(std::size(kCycle), 0);
  for (int c = 0; c < count; ++c) {
    QEventLoop loop;
    int finished = 0;
    double floorMs = 0;
    QElapsedTimer clock;
    clock.start();
    for (std::size_t k = 0; k < std::size(kCycle); ++k) {
      quennet::BusReply* reply = client.sendRequest(kCycle[k].address, kCycle[k].header);
      QObject::connect(reply, &quennet::BusReply::finished, [&, reply, k] {
        if (reply->result() != quennet::kResultOk || reply->reply().isEmpty()) ++cycles.failures;
        const double ms =
            static_cast<double>(reply->sent().size() + reply->reply().size()) * bnvsim::kByteTimeMs;
        floorMs += ms;
        cycles.deviceMs[k] = ms;
        reply->deleteLater();
        if (++finished == static_cast<int>(std::size(kCycle))) loop.quit();
      });
    }
    loop.exec();
    cycles.ms.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    cycles.floorMs.push_back(floorMs);
  }
  return cycles;
}

}  // namespace

int main(int argc, char** argv) {
  if (answeredHelp(argc, argv, kUsage)) return 0;
  QCoreApplication app(argc, argv);
  int count = 200;
  const QStringList args = app.arguments();
  for (int k = 1; k + 1 < args.size(); ++k) {
    if (args[k] == u"--cycles") count = std::max(1, args[k + 1].toInt());
  }
  const Cycles unpaced = run(false, count);
  const Cycles paced = run(true, count);
  const double floorMs = median(paced.floorMs);
  std::printf("| measure (%d poll cycles of three devices in mixed framings) | result |\n", count);
  std::printf("|---|---|\n");
  for (std::size_t k = 0; k < std::size(kCycle); ++k) {
    std::printf("| wire floor: %s | %.2f ms |\n", kCycle[k].what, paced.deviceMs[k]);
  }
  std::printf(
      "| paced 9600 baud: a cycle, median / worst, against the floor %.2f ms | %.2f / %.2f "
      "ms (+%.1f%% / +%.1f%%), %d failed |\n",
      floorMs, median(paced.ms), *std::max_element(paced.ms.begin(), paced.ms.end()),
      100.0 * (median(paced.ms) - floorMs) / floorMs,
      100.0 * (*std::max_element(paced.ms.begin(), paced.ms.end()) - floorMs) / floorMs,
      paced.failures);
  std::printf("| unpaced pty: a cycle, median / worst | %.3f / %.3f ms, %d failed |\n",
              median(unpaced.ms), *std::max_element(unpaced.ms.begin(), unpaced.ms.end()),
              unpaced.failures);
  return paced.failures + unpaced.failures == 0 ? 0 : 1;
}
