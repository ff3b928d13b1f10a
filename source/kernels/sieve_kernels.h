// The device sieve: one bit per odd k of a segment, crossed out by the primes
// of the prime table, the survivors gathered into the candidate table in
// ascending order. Written once for nvcc and for the host stand-in.
#pragma once

#include "kernels/sieve_kernel_args.h"
#include "kernels/sieve_kernel_list.h"
