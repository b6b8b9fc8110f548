#pragma once

#include <signal.h>

#include <QByteArray>

namespace quennetd {

// The places where the tests kill the service, as a power cut would: QUENNETD_KILL_AT names one.
// before-journal: money about to be written; after-journal: written, not yet acted on (a note not
// yet routed, a coin not yet published); after-stack: the validator took the stack request. The
// payout-* points lie on a payout's way: before and after its journal entry, while the hopper
// pays (its first progress published), after the dispense, after its outcome is published.
inline void killPoint(const char* name) {
  static const QByteArray wanted = qgetenv("QUENNETD_KILL_AT");
  if (!wanted.isEmpty() && wanted == name) ::raise(SIGKILL);
}

}  // namespace quennetd
