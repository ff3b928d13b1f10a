// Tells for each assignment line on standard input whether the program's range
// splitting would rewrite it: "uncut" or the lines that would replace it.
#include <cstdio>

#include "workfiles/range_split.h"

int main() {
    char text[200];
    unsigned n1, n2;
    unsigned long long k1, k2;
    while (fgets(text, sizeof text, stdin)) {
        if (sscanf(text, "FermatFactor=%u,%u,%llu,%llu", &n1, &n2, &k1, &k2) != 4) return 2;
        AssignmentLine lines[MAX_CUT_LINES];
        int count = CutAssignmentLine(AssignmentLine{n1, n2, k1, k2}, lines);
        if (count == 0) {
            puts("uncut");
            continue;
        }
        fputs("cut:", stdout);
        for (int i = 0; i < count; ++i) {
            char line[100];
            int length = FormatAssignmentLine(lines[i], line, sizeof line);
            printf(" %.*s", length - 1, line);
        }
        putchar('\n');
    }
    return 0;
}
