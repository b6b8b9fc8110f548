#pragma once
// Low latency on USB serial adapters. Their drivers hold received bytes until a latency timer
// runs out (16 ms on FTDI adapters) unless the port asks for low latency, when the FTDI driver
// sets its timer to 1 ms; a ccTalk reply of a few bytes would otherwise wait out the timer.

#include <functional>

#include "quennet/link/port_access.h"

#ifdef __linux__
#include <linux/serial.h>

namespace quennet {

// One TIOCGSERIAL or TIOCSSERIAL request on a descriptor: 0, or the errno value of a refusal.
// The kernel's in the library, a recording fake in tests.
using SerialIoctl = std::function<int(int fd, unsigned long request, serial_struct* info)>;

QUENNET_EXPORT SerialIoctl kernelSerialIoctl();

// Reads the port's serial flags and, unless low latency is on already, writes them back with
// ASYNC_LOW_LATENCY added and every other field as read. A refusal changes nothing.
QUENNET_EXPORT LowLatency requestLowLatency(int fd, const SerialIoctl& ioctl);

}  // namespace quennet
#endif
