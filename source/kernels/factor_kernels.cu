// The factor-test kernels as device code for the CUDA build: the same source
// that the host build compiles as ordinary C++.
#include "factor_kernels.cpp"
