// The IFMA path's own arithmetic over the plain C++ emulation of its
// instructions: every processor runs it, so the tests hold that arithmetic
// to the reference on machines without AVX-512 too. Never chosen for a run
// (it is far slower than the 64-bit path).
#include "hostpaths/host_limbs.h"
#include "hostpaths/host_paths.h"
#include "hostpaths/ifma_emulation.h"

#define LANES_TARGET

namespace {

using namespace ifmaEmulation;

#include "hostpaths/ifma_path.h"

}  // namespace

template <int W, int J>
void ifmaEmulatedBatch(const unsigned long long* k, uint32_t count, uint32_t n, uint32_t t, uint8_t* hit) {
    testInGroups<W, J, LANES * groupsInFlight<W>()>(k, count, n, t, hit, testGroups<W, J>);
}

template <int W, int J>
void ifmaEmulatedResidue(uint64_t k, uint32_t n, uint64_t* residue) {
    residueOfOne<W, J>(k, n, residue);
}

void ifmaEmulatedLaneOperations(const uint64_t* a, const uint64_t* b, const uint64_t* c, uint64_t (*out)[8]) {
    laneOperations(a, b, c, out);
}

#define QUILBREX_INSTANTIATE_IFMA_EMULATED(WIDTH, BAND, LENGTH, NAME)                                        \
    template void ifmaEmulatedBatch<WIDTH, BAND>(const unsigned long long*, uint32_t, uint32_t, uint32_t, uint8_t*); \
    template void ifmaEmulatedResidue<WIDTH, BAND>(uint64_t, uint32_t, uint64_t*);
QUILBREX_KERNEL_FAMILY(QUILBREX_INSTANTIATE_IFMA_EMULATED)
#undef QUILBREX_INSTANTIATE_IFMA_EMULATED
