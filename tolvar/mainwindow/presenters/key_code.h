#pragma once
// The six-digit key code as the bench's key box takes it.

#include <QString>

#include "quennet/link/encryption.h"

namespace tolvar {

using KeyBytes = quennet::KeyBytes;

// Pads `key` on the left with "0" to six characters or cuts it to its first six (in place), then
// packs digits d1..d6 into the bytes a key change sends (d2d1, d4d3, d6d5). False when a
// character is no decimal digit.
bool packKeyCode(QString& key, KeyBytes& keyBytes);

}  // namespace tolvar
