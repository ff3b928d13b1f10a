// The program as it runs on a device of another kind: quilbrex_on_device MAJOR
// MULTIPROCESSORS [arguments of the program]. The host device then reports that
// compute capability and multiprocessor count, which pick the batch size and
// the sieve, so tests can make real results of two sieve configurations.
#include <cstdlib>

#include "driver/startup.h"
#include "gpu/host_runtime_control.h"
#include "workunit/boinc_workunit.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    cudaDeviceProp prop = hostRuntimeHostProperties();
    prop.major = atoi(argv[1]);
    prop.minor = 0;
    prop.multiProcessorCount = atoi(argv[2]);
    hostRuntimeSetProperties(prop);
    argv[2] = argv[0];
    BoincStart(argc - 2, argv + 2);
    return BoincFinish(quilbrexMain());
}
