// The device sieve's kernels as device code for the CUDA build.
#include "sieve_kernels.cpp"
