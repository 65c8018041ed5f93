// The packed-row kernels and the log, checked against plain loops over bytes,
// at every lane width and at row lengths around word and lane boundaries.
#include "check.hpp"
#include "matrix/bit_kernels.hpp"
#include "matrix/bit_rows.hpp"
#include "matrix/byte_rows.hpp"
#include "matrix/eliminations.hpp"
#include "matrix/matrix.hpp"

#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace zendrik;
using bits::Word;

namespace {

using testing::check;

const std::size_t lengths[] = {0, 1, 7, 8, 9, 63, 64, 65, 127, 128, 129, 191, 255, 256, 257, 511, 513};

std::mt19937_64 random_bits(12345);

Row random_row(std::size_t n, unsigned density_percent) {
    Row row(n);
    for (Byte& b : row) b = random_bits() % 100 < density_percent;
    return row;
}

Words packed(const Row& row) {
    Words words(bits::stride_for(row.size()), 0);
    check(bits::pack(row.data(), row.size(), words.data()), "pack accepts 0 and 1");
    return words;
}

Row unpacked(const Words& words, std::size_t n) {
    Row row(n, 7);
    bits::unpack(words.data(), n, row.data());
    return row;
}

void test_pack_and_unpack() {
    for (std::size_t n : lengths) {
        const Row row = random_row(n, 50);
        const Words words = packed(row);
        for (std::size_t j = 0; j < n; ++j)
            if (bits::test_bit(words.data(), j) != (row[j] == 1))
                check(false, "bit " + std::to_string(j) + " of " + std::to_string(n));
        for (std::size_t j = n; j < words.size() * bits::word_bits; ++j)
            if (bits::test_bit(words.data(), j)) check(false, "padding stays 0 at " + std::to_string(n));
        check(unpacked(words, n) == row, "unpack gives the row back, n = " + std::to_string(n));
        // Any byte other than 0 and 1, anywhere, is refused.
        for (std::size_t at : {std::size_t{0}, n / 2, n - 1}) {
            if (n == 0) break;
            for (unsigned bit = 1; bit < 8; ++bit) {
                Row spoiled = row;
                spoiled[at] = static_cast<Byte>(spoiled[at] | (1u << bit));
                Words scratch(bits::stride_for(n), 0);
                check(!bits::pack(spoiled.data(), n, scratch.data()),
                      "pack refuses " + std::to_string(spoiled[at]) + " at " + std::to_string(at));
            }
        }
    }
}

void test_bit_access() {
    Words words(bits::stride_for(130), 0);
    for (std::size_t j : {0, 1, 63, 64, 65, 129}) {
        bits::set_bit(words.data(), j, true);
        check(bits::test_bit(words.data(), j), "set_bit sets " + std::to_string(j));
        bits::set_bit(words.data(), j, false);
        check(!bits::test_bit(words.data(), j), "set_bit clears " + std::to_string(j));
    }
}

template <typename Lane>
void test_lane(const char* name) {
    const std::string width = std::string(" at ") + name;
    for (std::size_t n : lengths) {
        const Row a = random_row(n, 50);
        const Row b = random_row(n, 50);
        const Words pa = packed(a);
        const Words pb = packed(b);
        for (std::size_t from : {std::size_t{0}, n / 3, n / 2, n > 0 ? n - 1 : 0}) {
            // The words before `from` are known to be 0 in the source.
            Row source = b;
            for (std::size_t j = 0; j < from && j < n; ++j) source[j] = 0;
            Words target = pa;
            bits::xor_into<Lane>(target.data(), packed(source).data(), from / bits::word_bits,
                                 target.size());
            Row expected = a;
            for (std::size_t j = 0; j < n; ++j) expected[j] ^= source[j];
            check(unpacked(target, n) == expected,
                  "xor_into from " + std::to_string(from) + ", n = " + std::to_string(n) + width);
        }
        Words self = pa;
        bits::xor_into<Lane>(self.data(), self.data(), 0, self.size());
        check(unpacked(self, n) == Row(n, 0), "a row added to itself is 0" + width);

        // None to three sources at once.
        const Row c = random_row(n, 50);
        Words sum = pa;
        const Words pc = packed(c);
        const Word* sources[] = {pb.data(), pc.data(), pb.data(), sum.data()};
        for (std::size_t count = 0; count <= 3; ++count) {
            Words target = pa;
            bits::xor_sum_into<Lane>(target.data(), sources, count, target.size());
            Row expected = a;
            for (std::size_t j = 0; j < n; ++j)
                for (std::size_t k = 0; k < count; ++k) expected[j] ^= k == 1 ? c[j] : b[j];
            check(unpacked(target, n) == expected,
                  "xor_sum_into of " + std::to_string(count) + ", n = " + std::to_string(n) + width);
        }
        bits::xor_sum_into<Lane>(sum.data(), sources + 3, 1, sum.size());
        check(unpacked(sum, n) == Row(n, 0), "xor_sum_into a row into itself" + width);
    }
}

void test_packed_rows() {
    check(!BitRows::pack({{1, 0}, {1}}), "ragged rows are not packed");
    check(!BitRows::pack({{1, 0}, {0, 2}}), "a 2 is not packed");
    const Rows rows{{1, 0, 1}, {0, 1, 1}};
    std::optional<BitRows> packed_rows = BitRows::pack(rows);
    check(packed_rows && packed_rows->unpack() == rows, "pack then unpack");
    check(BitRows::pack({}) && BitRows::pack({{}, {}})->unpack() == Rows{{}, {}},
          "no rows and empty rows");
}

// A pass with for_each visits every entry once, in order, as indexing reads it.
bool visits_in_order(const OpLog& log) {
    Index visited = 0;
    bool same = true;
    log.for_each([&](Index i, RowOp entry) { same = same && i == visited++ && entry == log[i]; });
    return same && visited == log.size();
}

void test_log() {
    OpLog log;
    check(log.empty() && log.size() == 0, "a new log is empty");
    const Index count = 64 + 128 + 256 + 5;  // across three block boundaries
    for (Index i = 0; i < count; ++i) log.push_back({i, i + 1});
    bool in_order = log.size() == count;
    for (Index i = 0; i < count; ++i) in_order = in_order && log[i] == RowOp{i, i + 1};
    check(in_order && visits_in_order(log) && visits_in_order(OpLog{}),
          "entries keep their order across blocks");
    OpLog moved = std::move(log);
    check(moved.size() == count && log.empty(), "moving takes every entry");
    log.push_back({1, 2});
    check(log.size() == 1 && log[0] == RowOp{1, 2} && moved.size() == count,
          "a moved-from log starts afresh");
    check(OpLog{{0, 1}, {1, 0}} == OpLog{{0, 1}, {1, 0}} && !(OpLog{{0, 1}} == OpLog{{1, 0}}),
          "logs compare entry by entry");
    if constexpr (sizeof(Index) > 4) {
        // An index past 32 bits turns the log into full entries, keeping every one.
        const Index big = Index{1} << 32;
        OpLog wide;
        for (Index i = 0; i < 200; ++i) wide.push_back({i, 2 * i});
        wide.push_back({big, 3});
        wide.push_back({4, big + 5});
        bool kept = wide.size() == 202;
        for (Index i = 0; i < 200; ++i) kept = kept && wide[i] == RowOp{i, 2 * i};
        check(kept && wide[200] == RowOp{big, 3} && wide[201] == RowOp{4, big + 5} &&
                  visits_in_order(wide),
              "a log with an index past 32 bits keeps every entry in order");
        const OpLog moved_wide = std::move(wide);
        check(moved_wide.size() == 202 && wide.empty(), "a wide log moves whole");
    }
}

// Sizes past the machine word, on either word width, fail as an allocation
// would, before anything is allocated or written.
void test_sizes() {
    constexpr Index most = std::numeric_limits<Index>::max();
    auto out_of_memory = [](auto make) {
        try {
            make();
        } catch (const std::bad_alloc&) {
            return true;
        }
        return false;
    };
    check(bits::words_for(most) == most / 64 + 1 && bits::stride_for(most - 1) % 4 == 0 &&
              bits::stride_for(most - 1) >= most / 64,
          "row lengths near the word's end round up without wrapping");
    check(out_of_memory([] { BitRows::Solutions(most / 2 + 1, {0}); }) &&
              out_of_memory([] { ByteRows::Solutions(most / 2 + 1, {0, 1}); }),
          "a kernel table past the word runs out of memory");
    check(checked_size(most) == most &&
              (sizeof(Index) == 8 || out_of_memory([] { checked_size(std::uint64_t{most} + 1); })),
          "a 64-bit count fits this word or runs out of memory");
}

// A rows x cols matrix of rank at most `rank` (the product of random rows x
// rank and rank x cols matrices), with ones at the given density.
Matrix random_matrix(Index rows, Index cols, Index rank, unsigned density_percent) {
    Rows basis;
    for (Index k = 0; k < rank; ++k) basis.push_back(random_row(cols, density_percent));
    Matrix m;
    for (Index i = 0; i < rows; ++i) {
        Row row(cols, 0);
        for (const Row& b : basis)
            if (random_bits() % 2)
                for (Index j = 0; j < cols; ++j) row[j] ^= b[j];
        m.rows.push_back(row);
    }
    return m;
}

// The blocked elimination takes exactly the steps of the stepwise one, at
// block boundaries in rows, columns and rank, tall and wide, dense and sparse.
void test_blocked_matches_stepwise() {
    const Index sides[] = {0, 1, 5, 63, 64, 65, 128, 129, 200};
    const Index ranks[] = {1, 3, 63, 64, 65, 130, 1000};
    Index shapes = 0;
    for (Index rows : sides)
        for (Index cols : sides)
            for (Index rank : ranks)
                for (unsigned density : {50u, 3u}) {
                    if (rank > std::max(rows, cols) + 1 && rank != 1000) continue;
                    const Matrix m = random_matrix(rows, cols, rank, density);
                    const std::string shape = std::to_string(rows) + " x " + std::to_string(cols) +
                                              ", rank <= " + std::to_string(rank) + ", " +
                                              std::to_string(density) + "% ones";
                    for (auto reduce : {static_cast<EchelonResult (*)(const Matrix&, Elimination)>(echelon_form),
                                        static_cast<EchelonResult (*)(const Matrix&, Elimination)>(
                                            row_echelon_full_matrix)}) {
                        const EchelonResult stepwise = reduce(m, Elimination::stepwise);
                        const EchelonResult blocked = reduce(m, Elimination::blocked);
                        check(blocked.matrix.rows == stepwise.matrix.rows && blocked.log == stepwise.log,
                              "blocked as stepwise, " + shape);
                    }
                    ++shapes;
                }
    check(shapes > 300, "every shape was tried");
}

}  // namespace

int main() {
    test_pack_and_unpack();
    test_bit_access();
    test_lane<bits::Lane64>("64 bits");
    test_lane<bits::Lane128>("128 bits");
    test_lane<bits::Lane256>("256 bits");
    test_packed_rows();
    test_log();
    test_sizes();
    test_blocked_matches_stepwise();
    return testing::report("core kernels");
}
