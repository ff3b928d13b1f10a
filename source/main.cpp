// quilbrex: searches for factors of Fermat numbers. All work comes from
// worktodo.txt in the working directory; there are no arguments.
#include "driver/startup.h"

int main() { return quilbrexMain(); }
