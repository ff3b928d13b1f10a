// The table of sieving primes: the first primeCount odd primes, 3, 5, 7, ...
#pragma once

#include <cstdint>

// Fills primeTable with exactly primeCount odd primes (a new heap array):
// the fixed list for counts up to 10, InitializePrimeSieve otherwise.
void BuildPrimeTable();
// Frees primeTable.
void ReleasePrimeTable();
// Byte sieve of odd numbers up to an estimate of the primeCount-th odd prime,
// widened when the estimate falls short. Ends the process with status 1 when
// memory cannot be had.
void InitializePrimeSieve();
// The sieve bound that InitializePrimeSieve starts from for count primes.
uint32_t PrimeSieveBound(uint32_t count);
