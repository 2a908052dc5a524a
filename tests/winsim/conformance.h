// What the conformance cases share: where they run. Each conformance*.cpp file adds the cases of
// one API family with CONFORMANCE(name) from check.h.
#pragma once

#include <stdint.h>

// False on Windows and Wine, true against winsim.
extern const bool kOnWinsim;
// True when the Windows build runs under Wine.
bool UnderWine();
// Under Wine: notes DIFFERENCE, a known way Wine departs from Windows, for the run's list and
// returns true, so that the caller leaves out the check Windows passes. Elsewhere false.
bool WineDiffers(const char* difference);
// The current time by the platform's own clock, in unix milliseconds.
int64_t ReferenceNowMillis();
