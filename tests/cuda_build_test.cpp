// The CUDA build carries every member of the kernel family under its mangled
// device name, which the runtime registration binds the launch entries to.
#include <gtest/gtest.h>

#include <string>

#include "kernels/kernel_list.h"
#include "support/test_support.h"

#ifdef QUILBREX_CUDA_BINARY
TEST(CudaBuild, CarriesEveryMemberUnderItsMangledName) {
    const std::string binary = readFile(QUILBREX_CUDA_BINARY);
    ASSERT_FALSE(binary.empty());
    int members = 0;
#define EXPECT_MEMBER(WIDTH, BAND, LENGTH, NAME)                                            \
    ++members;                                                                              \
    EXPECT_NE(binary.find(std::string("_Z" #LENGTH #NAME QUILBREX_KERNEL_PARAMETERS_MANGLED) + '\0'), std::string::npos) \
        << "_Z" #LENGTH #NAME QUILBREX_KERNEL_PARAMETERS_MANGLED;
    QUILBREX_KERNEL_FAMILY(EXPECT_MEMBER)
#undef EXPECT_MEMBER
    EXPECT_EQ(members, 35);
}
#else
TEST(CudaBuild, CarriesEveryMemberUnderItsMangledName) { GTEST_SKIP() << "nvcc was not found: no CUDA build"; }
#endif
