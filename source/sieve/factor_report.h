// Reading the factor report buffer back from the device and recording every
// factor: announced on standard output and on disk in factors.txt before the
// search moves past it.
#pragma once

#include <cstdint>

// Copies the report buffer back, records each record for n = nCurrent that
// the host check confirms with RecordFactor and reports the others as
// rejected, clears the buffer on both sides when it held any and returns the
// number of factors recorded.
uint32_t ReadFactorReports();

// Records the factor records of a copy of the report buffer already on the
// host (its count and min(count, FACTOR_RECORD_CAPACITY) records) as
// ReadFactorReports does, and returns the number of factors recorded.
uint32_t RecordFactorReports(const uint32_t* words);

// Announces k*2^n+1 framed by rows of stars and appends it to factors.txt,
// flushed to disk, unless factors.txt already holds it. When it cannot be
// recorded, the factor and the reason go to standard error too and the
// process ends with status 1, before any checkpoint or line moves past it.
void RecordFactor(uint64_t k, uint32_t n);

// Zeroes the count and the first three records on both sides.
void ClearFactorReports();
