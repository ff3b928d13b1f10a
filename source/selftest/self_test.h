// The self-test program: every member of the kernel family through the build's
// own runtime and launch path, decided against the host's reference, one line
// per member. Users run it before trusting a device with months of work.
#pragma once

// Runs the self-test and returns its exit status: 0 when every case passed,
// 1 otherwise (failed runtime calls end it with 255, as in the program).
int SelfTestMain();
