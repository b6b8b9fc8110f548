#pragma once
// The header values live in the link floor; this name stays for programs that include it.

#include "quennet/link/cctalk_codes.h"
