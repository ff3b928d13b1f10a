// Definitions of the process-wide globals declared in quilbrex.h.
#include "quilbrex.h"

uint32_t nStart, nEnd;
char assignmentLineText[100];
uint64_t kStart, kEnd;

uint32_t nCurrent;
uint64_t kCurrent;
uint64_t kTested;
double seconds;
uint32_t foundFactors;
uint32_t proofBits = 64;

double startTime, endTime;
uint64_t rangeK;
double testedPct, testedRate;
time_t timer;

static time_t systemClock() { return time(nullptr); }
time_t (*clockNow)() = systemClock;
uint32_t (*hostDevicePrimeCount)(uint32_t) = nullptr;

static double steadyClock() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}
double (*monotonicNow)() = steadyClock;

volatile sig_atomic_t stopSignal;

uint32_t num_digits, threadsPerGrid, blocksPerGrid, classGPU, primeCount, sieveRange;
const KernelEntry* kernel;

uint32_t* primeTable;

cudaDeviceProp deviceProp;

uint32_t sizeTable = 8 * MAX_BATCH;
unsigned long long* h_candidateTable;
unsigned long long* d_candidateTable;
unsigned int* h_factors;
unsigned int* d_factors;
unsigned int* h_proofs;
unsigned int* d_proofs;
