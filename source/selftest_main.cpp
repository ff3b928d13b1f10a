// quilbrex_selftest: checks that this build and its device compute every
// factor test correctly. No arguments; touches no file of the working folder.
#include "selftest/self_test.h"

int main() { return SelfTestMain(); }
