// Times the matrix core alone, without Python: the reductions on random dense
// 0/1 matrices, on the same matrices holding a few 2s, and on a ragged version
// (last row one element longer), and M4RI on the same 0/1 inputs where its
// header was found at build time (HAVE_M4RI).
// The bytes other than 0 and 1 and the ragged row must cost no more than 0/1.
//
//     core_bench [--quick] [--size N] [--json FILE]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "matrix/eliminations.hpp"
#include "matrix/matrix.hpp"

#ifdef ZENDRIK_PHASE_TIMES
#include "matrix/blocked_elimination.hpp"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

// First touches of fresh memory: each costs about a microsecond.
long page_faults() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<long>(counters.PageFaultCount);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
#endif
}
#endif

#ifdef HAVE_M4RI
#include <m4ri/m4ri.h>
#endif

namespace {

using zendrik::Matrix;

// splitmix64: fast, and unlike the Mersenne Twister no cap on the rank of
// large random matrices.
struct SplitMix64 {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
};

// Inputs are made as plain byte rows and enter the core only through
// append_row, so the bench holds whatever the core's row storage is.
using Bytes = std::vector<zendrik::Byte>;

std::vector<Bytes> random_bits(std::size_t nrows, std::size_t ncols, std::uint64_t seed) {
    SplitMix64 rng{seed};
    std::vector<Bytes> rows(nrows, Bytes(ncols));
    for (auto& row : rows) {
        for (std::size_t j = 0; j < ncols; j += 64) {
            const std::uint64_t bits = rng.next();
            for (std::size_t b = 0; b < 64 && j + b < ncols; ++b) {
                row[j + b] = static_cast<zendrik::Byte>((bits >> b) & 1);
            }
        }
    }
    return rows;
}

// Every 16th row holds a 2 in the last column: stored and XORed, never a one.
// Kept to one column, because XOR spreads the 2 and a 3 is no one either, so
// the other columns keep the pivots of the 0/1 matrix and the same work.
std::vector<Bytes> with_twos(std::vector<Bytes> rows) {
    for (std::size_t i = 0; i < rows.size(); i += 16) {
        if (!rows[i].empty()) {
            rows[i].back() = 2;
        }
    }
    return rows;
}

// The last row one element longer: additions cover the length of row 0, so
// nothing fails.
std::vector<Bytes> ragged(std::vector<Bytes> rows) {
    if (!rows.empty()) {
        rows.back().push_back(1);
    }
    return rows;
}

Matrix to_matrix(const std::vector<Bytes>& rows) {
    Matrix m;
    for (const Bytes& row : rows) {
        zendrik::append_row(m, row);
    }
    return m;
}

double seconds_of(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t h = v.size() / 2;
    return v.size() % 2 ? v[h] : (v[h - 1] + v[h]) / 2;
}

// Each reduction as the core chooses it and with the elimination given.
struct Reduction {
    const char* what;
    zendrik::EchelonResult (*chosen)(const Matrix&);
    zendrik::EchelonResult (*reduce)(const Matrix&, zendrik::Elimination);
    bool full;  // fully reduced, as M4RI's `full` argument says
};
const Reduction reductions[] = {{"echelon_form", zendrik::echelon_form, zendrik::echelon_form, true},
                                {"row_echelon_full_matrix", zendrik::row_echelon_full_matrix,
                                 zendrik::row_echelon_full_matrix, false}};

struct Timed {
    std::string name;
    std::function<void()> prepare;  // outside the timing
    std::function<void()> run;
    std::vector<double> samples;
};

struct Record {
    std::string what, shape, impl;
    double median_s;
    std::size_t reps;
};

std::vector<Record> records;
bool checks_ok = true;

// The implementations take turns, in a rotating order, and each median is
// printed with its ratio to the first one.
// Returns the medians, in the order of `impls`.
std::vector<double> time_turns(const std::string& what, const std::string& shape, std::vector<Timed>& impls,
                               std::size_t reps) {
    for (std::size_t rep = 0; rep < reps; ++rep) {
        for (std::size_t k = 0; k < impls.size(); ++k) {
            Timed& t = impls[(rep + k) % impls.size()];
            if (t.prepare) {
                t.prepare();
            }
            t.samples.push_back(seconds_of(t.run));
        }
    }
    const double base = median(impls.front().samples);
    std::vector<double> medians;
    for (const Timed& t : impls) {
        const double m = median(t.samples);
        medians.push_back(m);
        records.push_back({what, shape, t.name, m, t.samples.size()});
        std::printf("%-24s %-10s %-34s %10.2f ms", what.c_str(), shape.c_str(), t.name.c_str(), m * 1e3);
        if (&t != &impls.front()) {
            std::printf("   x%.2f of %s", m / base, impls.front().name.c_str());
        }
        std::printf("\n");
    }
    std::fflush(stdout);
    return medians;
}

void check(bool ok, const std::string& what) {
    if (!ok) {
        checks_ok = false;
        std::printf("check FAILED: %s\n", what.c_str());
    }
}

#ifdef HAVE_M4RI
mzd_t* to_mzd(const Matrix& m) {
    const rci_t nrows = static_cast<rci_t>(zendrik::nrows(m));
    const rci_t ncols = static_cast<rci_t>(zendrik::ncols(m));
    mzd_t* a = mzd_init(nrows, ncols);
    for (rci_t i = 0; i < nrows; ++i) {
        for (rci_t j = 0; j < ncols; ++j) {
            mzd_write_bit(a, i, j, zendrik::get(m, i, j) & 1);
        }
    }
    return a;
}
#endif

void bench_shape(std::size_t nrows, std::size_t ncols, std::size_t reps) {
    const std::string shape = std::to_string(nrows) + "x" + std::to_string(ncols);
    const auto rows = random_bits(nrows, ncols, 0x5eed0000 + nrows * 7919 + ncols);
    const Matrix bits = to_matrix(rows);
    const Matrix twos = to_matrix(with_twos(rows));
    const Matrix longer = to_matrix(ragged(rows));
    const std::pair<const char*, const Matrix*> inputs[] = {{"0/1", &bits}, {"with 2s", &twos}, {"ragged", &longer}};
    const auto reduced = zendrik::echelon_form(bits);
    const std::size_t rank = zendrik::rank(reduced.matrix);

    for (const auto& [what, chosen, reduce, full] : reductions) {
        std::vector<Timed> impls;
        impls.push_back({"0/1", nullptr, [chosen, &bits] { (void)chosen(bits); }, {}});
        impls.push_back({"0/1 one row at a time", nullptr,
                         [reduce, &bits] { (void)reduce(bits, zendrik::Elimination::stepwise); }, {}});
        for (const auto& [input, m] : inputs) {
            if (m != &bits) impls.push_back({input, nullptr, [chosen, m] { (void)chosen(*m); }, {}});
        }
#ifdef HAVE_M4RI
        mzd_t* source = to_mzd(bits);
        mzd_t* work = nullptr;
        rci_t naive_rank = -1;
        rci_t m4ri_rank = -1;
        auto fresh = [&] {
            if (work) {
                mzd_free(work);
            }
            work = mzd_copy(nullptr, source);
        };
        // Fully reduced beside echelon_form, forward elimination only beside row_echelon_full_matrix.
        impls.push_back({"M4RI mzd_echelonize_naive(A, " + std::to_string(full) + ")", fresh,
                         [&] { naive_rank = mzd_echelonize_naive(work, full); }, {}});
        impls.push_back({"M4RI mzd_echelonize_m4ri(A, " + std::to_string(full) + ", 0)", fresh,
                         [&] { m4ri_rank = mzd_echelonize_m4ri(work, full, 0); }, {}});
#endif
        const auto medians = time_turns(what, shape, impls, reps);
        std::printf("%-24s %-10s one row at a time takes %.2f x the chosen elimination\n", "", shape.c_str(),
                    medians[1] / medians[0]);
        check(reduce(bits, zendrik::Elimination::stepwise).log == chosen(bits).log,
              std::string("both eliminations log the same steps (") + what + " " + shape + ")");
#ifdef HAVE_M4RI
        if (full) {
            std::printf("%-24s %-10s 0/1 takes %.2f x mzd_echelonize_m4ri (goal: at most 4)\n", "", shape.c_str(),
                        medians[0] / medians[5]);
        }
        check(naive_rank == static_cast<rci_t>(rank) && m4ri_rank == naive_rank,
              std::string("M4RI finds the rank that zendrik finds (") + what + " " + shape + ")");
        if (work) {
            mzd_free(work);
        }
        mzd_free(source);
#else
        (void)medians;
#endif
#ifdef ZENDRIK_PHASE_TIMES
        // The quickest of a few runs, each phase as it was in that run.
        auto& phases = zendrik::blocked::phase_times;
        zendrik::blocked::PhaseTimes best{};
        double total = 1e300;
        long best_faults = 0;
        for (std::size_t rep = 0; rep < reps; ++rep) {
            phases = {};
            const long faults = page_faults();
            const double t = seconds_of([&] { (void)reduce(bits, zendrik::Elimination::blocked); });
            if (t < total) {
                total = t;
                best = phases;
                best_faults = page_faults() - faults;
            }
        }
        phases = best;
        std::printf("%-24s %-10s phases: slices %.2f ms, log %.2f ms, tables %.2f ms, "
                    "packing and the rest %.2f ms (total %.2f ms, %ld page faults)\n",
                    "", shape.c_str(), phases.slices * 1e3, phases.log * 1e3, phases.tables * 1e3,
                    (total - phases.slices - phases.log - phases.tables) * 1e3, total * 1e3, best_faults);
#endif
    }

    std::vector<Timed> readers;
    readers.push_back({"rank", nullptr, [&] { (void)zendrik::rank(reduced.matrix); }, {}});
    readers.push_back({"kernel", nullptr, [&] { (void)zendrik::kernel(reduced.matrix); }, {}});
    time_turns("reduced 0/1", shape, readers, reps);

    const auto with_twos_log = zendrik::echelon_form(twos).log;
    const auto ragged_log = zendrik::echelon_form(longer).log;
    check(ragged_log.size() == reduced.log.size(), "the longer last row changes no step (" + shape + ")");
    std::printf("%-24s %-10s rank %zu; echelon_form logs: %zu entries (0/1), %zu (with 2s), %zu (ragged)\n\n",
                "", shape.c_str(), rank, reduced.log.size(), with_twos_log.size(), ragged_log.size());
}

// `ones` ones at random rows of every column, like a code's check matrix.
std::vector<Bytes> sparse_bits(std::size_t n, std::size_t ones, std::uint64_t seed) {
    SplitMix64 rng{seed};
    std::vector<Bytes> rows(n, Bytes(n));
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t k = 0; k < ones; ++k) {
            rows[rng.next() % n][j] = 1;
        }
    }
    return rows;
}

// Rank at most `rank`: every row the XOR of a random choice of `rank` random rows.
std::vector<Bytes> low_rank_bits(std::size_t n, std::size_t rank, std::uint64_t seed) {
    SplitMix64 rng{seed};
    const auto basis = random_bits(rank, n, seed + 1);
    std::vector<Bytes> rows(n, Bytes(n));
    for (auto& row : rows) {
        for (const Bytes& b : basis) {
            if (rng.next() & 1) {
                for (std::size_t j = 0; j < n; ++j) {
                    row[j] ^= b[j];
                }
            }
        }
    }
    return rows;
}

// The chosen elimination against one row at a time on dense, sparse and
// low-rank square matrices; small ones are reduced many times per sample.
void bench_structures(std::size_t n, std::size_t reps) {
    const std::string shape = std::to_string(n) + "x" + std::to_string(n);
    const std::size_t batch = std::max<std::size_t>(1, 65536 / (n * n));
    const Matrix dense = to_matrix(random_bits(n, n, 0xd0 + n));
    const Matrix sparse = to_matrix(sparse_bits(n, 3, 0x5a + n));
    const Matrix low_rank = to_matrix(low_rank_bits(n, std::max<std::size_t>(1, n / 16), 0x10 + n));
    const std::pair<const char*, const Matrix*> inputs[] = {
        {"dense", &dense}, {"3 ones a column", &sparse}, {"rank n/16", &low_rank}};
    for (const auto& [what, chosen, reduce, full] : reductions) {
        for (const auto& [input, m] : inputs) {
            if (n > 64 && m == &dense) continue;  // timed above
            std::vector<Timed> impls;
            impls.push_back({std::string(input) + ", one row at a time", nullptr,
                             [=] {
                                 for (std::size_t i = 0; i < batch; ++i)
                                     (void)reduce(*m, zendrik::Elimination::stepwise);
                             },
                             {}});
            impls.push_back({std::string(input) + ", chosen", nullptr,
                             [=] {
                                 for (std::size_t i = 0; i < batch; ++i) (void)chosen(*m);
                             },
                             {}});
            time_turns(what, shape, impls, reps);
            check(reduce(*m, zendrik::Elimination::stepwise).log == chosen(*m).log,
                  std::string("both eliminations log the same steps (") + what + " " + input + " " + shape + ")");
        }
    }
    std::printf("\n");
}

void write_json(const char* path) {
    std::FILE* f = std::fopen(path, "w");
    if (!f) {
        std::perror(path);
        return;
    }
    std::fprintf(f, "{\"m4ri\": %s, \"results\": [\n",
#ifdef HAVE_M4RI
                 "true"
#else
                 "false"
#endif
    );
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        std::fprintf(f,
                     " {\"what\": \"%s\", \"shape\": \"%s\", \"impl\": \"%s\", "
                     "\"median_s\": %.6g, \"reps\": %zu}%s\n",
                     r.what.c_str(), r.shape.c_str(), r.impl.c_str(), r.median_s, r.reps,
                     i + 1 < records.size() ? "," : "");
    }
    std::fprintf(f, "]}\n");
    std::fclose(f);
    std::printf("results written to %s\n", path);
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    const char* json = nullptr;
    std::size_t only = 0;  // one size alone, square, dense
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
            only = std::strtoul(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
            json = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--size N] [--json FILE]\n", argv[0]);
            return 2;
        }
    }
#ifndef HAVE_M4RI
    std::printf("M4RI not found at build time (apt-get install libm4ri-dev): its rows are left out\n");
#endif
    if (only != 0) {
        bench_shape(only, only, 9);
        return checks_ok ? 0 : 1;
    }
    const std::vector<std::size_t> sizes = quick ? std::vector<std::size_t>{256, 512, 1024}
                                                 : std::vector<std::size_t>{1024, 2048, 4096};
    for (const std::size_t n : sizes) {
        bench_shape(n, n, n >= 4096 ? 5 : quick ? 3 : 9);
    }
    bench_shape(512, 2048, quick ? 3 : 5);
    const std::vector<std::size_t> all_sizes = quick ? std::vector<std::size_t>{4, 16, 64, 256, 1024}
                                                     : std::vector<std::size_t>{4, 8, 16, 32, 64, 128, 256,
                                                                                1024, 2048, 4096};
    for (const std::size_t n : all_sizes) {
        bench_structures(n, n >= 4096 ? 3 : quick ? 3 : 7);
    }
    if (json) {
        write_json(json);
    }
    std::printf("checks: %s\n", checks_ok ? "all agree" : "SOME DISAGREE");
    return checks_ok ? 0 : 1;
}
