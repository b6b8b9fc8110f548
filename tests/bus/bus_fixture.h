#pragma once
// A bus client on the virtual validator with its hopper (3) and coin acceptor (2), and a way to
// let the test thread's event loop run until something has happened.

#include <functional>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include "bnvsim/simulator.h"
#include "bnvsim/validator.h"
#include "quennet/bus/bus_client.h"
#include "quennet/link/link_engine.h"

namespace quennet {

inline constexpr quint8 kValidator = 40;
inline constexpr quint8 kCoinAcceptor = 2;
inline constexpr quint8 kHopper = 3;

// Runs the event loop until `done` holds or `ms` have passed; returns `done()`.
inline bool runUntil(const std::function<bool()>& done, int ms = 5000) {
  const QDeadlineTimer deadline(ms);
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, [&] {
    if (done() || deadline.hasExpired()) loop.quit();
  });
  check.start(2);
  if (!done()) loop.exec();
  return done();
}

class BusOnSimulator : public ::testing::Test {
 protected:
  static bnvsim::SimulatorOptions threeDevices() {
    bnvsim::SimulatorOptions options;
    options.hopper = true;
    options.coinAcceptor = true;
    return options;
  }
  void SetUp() override {
    QString error;
    ASSERT_TRUE(sim_.start(&error)) << error.toStdString();
    client_.setPortName(sim_.slavePath());
    client_.setChecksumType(CHKSM_16BIT);
    client_.setCommsEcho(true);
    ASSERT_TRUE(client_.open()) << client_.errorString().toStdString();
  }

  bnvsim::Simulator sim_{threeDevices()};
  BusClient client_;
};

}  // namespace quennet
