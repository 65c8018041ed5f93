// Times the matrix core alone, without Python: the reductions on random dense
// 0/1 matrices, on the same matrices holding a few 2s, and on a ragged version
// (last row one element longer), and M4RI on the same 0/1 inputs where its
// header was found at build time (HAVE_M4RI).
// The bytes other than 0 and 1 and the ragged row must cost no more than 0/1.
//
//     core_bench [--quick] [--json FILE]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "matrix/matrix.hpp"

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

Matrix random_bits(std::size_t nrows, std::size_t ncols, std::uint64_t seed) {
    SplitMix64 rng{seed};
    Matrix m;
    m.rows.assign(nrows, zendrik::Row(ncols));
    for (auto& row : m.rows) {
        for (std::size_t j = 0; j < ncols; j += 64) {
            const std::uint64_t bits = rng.next();
            for (std::size_t b = 0; b < 64 && j + b < ncols; ++b) {
                row[j + b] = static_cast<zendrik::Byte>((bits >> b) & 1);
            }
        }
    }
    return m;
}

// Every 16th row holds a 2 in the last column: stored and XORed, never a one.
// Kept to one column, because XOR spreads the 2 and a 3 is no one either, so
// the other columns keep the pivots of the 0/1 matrix and the same work.
Matrix with_twos(Matrix m) {
    for (std::size_t i = 0; i < m.rows.size(); i += 16) {
        if (!m.rows[i].empty()) {
            m.rows[i].back() = 2;
        }
    }
    return m;
}

// The last row one element longer: additions cover the length of row 0, so
// nothing fails.
Matrix ragged(Matrix m) {
    if (!m.rows.empty()) {
        m.rows.back().push_back(1);
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

struct Timed {
    std::string name;
    std::function<void()> prepare;  // outside the timing
    std::function<void()> run;
    std::vector<double> samples;
};

struct Record {
    std::string input, shape, impl;
    double median_s;
    std::size_t reps;
};

std::vector<Record> records;
bool checks_ok = true;

// The implementations take turns, in a rotating order, and each median is
// printed with its ratio to the first one.
void time_turns(const std::string& input, const std::string& shape, std::vector<Timed>& impls,
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
    for (const Timed& t : impls) {
        const double m = median(t.samples);
        records.push_back({input, shape, t.name, m, t.samples.size()});
        std::printf("%-10s %-10s %-34s %10.2f ms", input.c_str(), shape.c_str(), t.name.c_str(), m * 1e3);
        if (&t != &impls.front()) {
            std::printf("   x%.2f of %s", m / base, impls.front().name.c_str());
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

void check(bool ok, const std::string& what) {
    if (!ok) {
        checks_ok = false;
        std::printf("check FAILED: %s\n", what.c_str());
    }
}

#ifdef HAVE_M4RI
mzd_t* to_mzd(const Matrix& m) {
    const rci_t nrows = static_cast<rci_t>(m.rows.size());
    const rci_t ncols = nrows ? static_cast<rci_t>(m.rows[0].size()) : 0;
    mzd_t* a = mzd_init(nrows, ncols);
    for (rci_t i = 0; i < nrows; ++i) {
        for (rci_t j = 0; j < ncols; ++j) {
            mzd_write_bit(a, i, j, m.rows[i][j] & 1);
        }
    }
    return a;
}
#endif

void bench_shape(std::size_t nrows, std::size_t ncols, std::size_t reps) {
    const std::string shape = std::to_string(nrows) + "x" + std::to_string(ncols);
    const Matrix bits = random_bits(nrows, ncols, 0x5eed0000 + nrows * 7919 + ncols);
    const struct {
        const char* name;
        Matrix m;
    } inputs[] = {{"0/1", bits}, {"with 2s", with_twos(bits)}, {"ragged", ragged(bits)}};

    for (const auto& in : inputs) {
        const Matrix& m = in.m;
        std::size_t log_size = 0;
        std::vector<Timed> impls;
        impls.push_back({"echelon_form", nullptr, [&] {
                             auto r = zendrik::echelon_form(m);
                             log_size = r.log.size();
                         }, {}});
        impls.push_back({"row_echelon_full_matrix", nullptr,
                         [&] { (void)zendrik::row_echelon_full_matrix(m); }, {}});
#ifdef HAVE_M4RI
        mzd_t* source = nullptr;
        mzd_t* work = nullptr;
        rci_t m4ri_rank = -1;
        if (std::strcmp(in.name, "0/1") == 0) {
            source = to_mzd(m);
            auto fresh = [&] {
                if (work) {
                    mzd_free(work);
                }
                work = mzd_copy(nullptr, source);
            };
            impls.push_back({"M4RI mzd_echelonize_naive(A, 1)", fresh,
                             [&] { m4ri_rank = mzd_echelonize_naive(work, 1); }, {}});
            impls.push_back({"M4RI mzd_echelonize_m4ri(A, 1, 0)", fresh,
                             [&] { m4ri_rank = mzd_echelonize_m4ri(work, 1, 0); }, {}});
        }
#endif
        time_turns(in.name, shape, impls, reps);

        const auto reduced = zendrik::echelon_form(m);
        const std::size_t rank = zendrik::rank(reduced.matrix);
        std::vector<Timed> readers;
        readers.push_back({"rank of the reduced matrix", nullptr, [&] { (void)zendrik::rank(reduced.matrix); }, {}});
        readers.push_back({"kernel of the reduced matrix", nullptr, [&] { (void)zendrik::kernel(reduced.matrix); }, {}});
        time_turns(in.name, shape, readers, reps);
        std::printf("%-10s %-10s rank %zu, echelon_form log %zu entries\n\n", in.name, shape.c_str(), rank,
                    reduced.log.size());
        check(log_size == reduced.log.size(), "echelon_form gives the same log each time");
#ifdef HAVE_M4RI
        if (source) {
            check(m4ri_rank == static_cast<rci_t>(rank), "M4RI finds the rank that zendrik finds (" + shape + ")");
            mzd_free(work);
            mzd_free(source);
        }
#endif
    }
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
        std::fprintf(f, " {\"input\": \"%s\", \"shape\": \"%s\", \"impl\": \"%s\", \"median_s\": %.6g, \"reps\": %zu}%s\n",
                     r.input.c_str(), r.shape.c_str(), r.impl.c_str(), r.median_s, r.reps,
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
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
            json = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--json FILE]\n", argv[0]);
            return 2;
        }
    }
#ifndef HAVE_M4RI
    std::printf("M4RI not found at build time (apt-get install libm4ri-dev): its rows are left out\n");
#endif
    const std::vector<std::size_t> sizes = quick ? std::vector<std::size_t>{256, 512, 1024}
                                                 : std::vector<std::size_t>{1024, 2048, 4096};
    for (const std::size_t n : sizes) {
        bench_shape(n, n, n >= 4096 ? 3 : quick ? 3 : 5);
    }
    bench_shape(512, 2048, quick ? 3 : 5);
    if (json) {
        write_json(json);
    }
    std::printf("checks: %s\n", checks_ok ? "all agree" : "SOME DISAGREE");
    return checks_ok ? 0 : 1;
}
