// Prints the time limit a build takes for the variable named: the default (60000) unless the
// build reads the KLV_TEST_* variables and the variable shortens it.
#include <cstdio>

#include "base/time_limits.h"

int main(int argc, char** argv) {
    std::printf("%d\n", TimeLimitMs(argc > 1 ? argv[1] : "", 60000));
    return 0;
}
