// Polls a bank note validator and prints each new entry of its event buffer.
// Usage: poll_loop PORT [POLLS]   (POLLS defaults to 10, one every 200 ms)
#include <array>
#include <cstdint>
#include <cstdio>

#include <QCoreApplication>
#include <QThread>

#include "quennet/control/control_core.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = QCoreApplication::arguments();
  if (args.size() < 2) {
    std::fprintf(stderr, "usage: poll_loop PORT [POLLS]\n");
    return 2;
  }
  const int polls = args.size() > 2 ? args[2].toInt() : 10;

  quennet::ControlCore control;
  // CRC frames on a line that echoes what the host sends, as bnvsim serves by default.
  control.setPortName(args[1]);
  control.setChecksumType(quennet::CHKSM_16BIT);
  control.setCommsEcho(true);
  control.setEnabled(true);
  if (!control.Enabled()) {
    std::fprintf(stderr, "poll_loop: cannot open %s\n", qPrintable(args[1]));
    return 1;
  }

  constexpr std::uint8_t kValidator = 40;
  // Event counter, then five pairs of result A and result B, newest first.
  std::array<std::uint8_t, 11> buffer{};
  int lastCounter = -1;
  for (int i = 0; i < polls; ++i) {
    const std::int16_t result = control.GetEventBuffer(kValidator, buffer);
    if (result != quennet::kResultOk) {
      std::fprintf(stderr, "poll_loop: result %d\n", result);
      return 1;
    }
    if (buffer[0] != lastCounter) {
      std::printf("counter %u: %u %u\n", buffer[0], buffer[1], buffer[2]);
      lastCounter = buffer[0];
    }
    QThread::msleep(200);
  }
  std::printf("%d polls\n", polls);
  return 0;
}
