// Reading the factor report buffer back from the device and announcing every
// factor on standard output and in factors.txt.
#pragma once

#include <cstdint>

// Copies the report buffer back, announces each record for n = nCurrent that
// the host check confirms and reports the others as rejected, clears the
// buffer on both sides when it held any and returns the confirmed count.
uint32_t ReadFactorReports();

// Announces k*2^n+1 framed by rows of stars and appends it to factors.txt.
void AnnounceFactor(uint64_t k, uint32_t n);

// Zeroes the count and the first three records on both sides.
void ClearFactorReports();
