// The checks of the C++ test programs: each failed check is reported and
// counted, and the program's exit status says whether any failed.
#pragma once

#include <cstdio>
#include <string>

namespace zendrik::testing {

inline int failures = 0;
inline int checks = 0;

inline void check(bool ok, const std::string& what) {
    ++checks;
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

// Prints the tally; the value is the program's exit status.
inline int report(const char* suite) {
    std::printf("%s: %d checks, %d failed\n", suite, checks, failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace zendrik::testing
