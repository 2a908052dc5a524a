// What the conformance cases share: where they run. Each conformance*.cpp file adds the cases of
// one API family with CONFORMANCE(name) from check.h.
#pragma once

#include <stdint.h>

// False on Windows and Wine, true against winsim.
extern const bool kOnWinsim;
// True when the Windows build runs under Wine.
bool UnderWine();
// The current time by the platform's own clock, in unix milliseconds.
int64_t ReferenceNowMillis();
