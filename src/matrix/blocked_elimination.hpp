// Elimination of packed rows a block of 64 columns (one word) at a time, with
// exactly the steps, in exactly the order, of adding one whole row at a time.
//
// Within a block every decision (which row is the pivot, which rows receive
// it, in which order) depends only on the rows' bits in the block's columns.
// So the block is first eliminated on a one-word slice of every row, writing
// the log as it goes, while a tag per row records which of the block's pivot
// rows, as they stood at the block's start, it has received in total (adding
// pivot row p, with tag T_p, that is pivot i of the block into row j gives
// T_j ^= T_p ^ bit i; tags move with their rows). The rest of every row with
// a nonzero tag is then brought up to date once: the XOR of the pivot rows
// its tag names, read from tables of the combinations of 8 pivot rows where
// that saves work. Only 0 and 1 are packed, so every row from the block's
// first pivot position down holds 0 before the block, and so do the pivot
// rows: no word before the block changes.
#pragma once

#include "matrix/bit_kernels.hpp"
#include "matrix/bit_rows.hpp"
#include "matrix/checks.hpp"
#include "matrix/matrix.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#ifdef ZENDRIK_PHASE_TIMES
#include <chrono>
#endif

namespace zendrik::blocked {

using bits::Word;

#ifdef ZENDRIK_PHASE_TIMES
// Seconds spent per phase, summed over every run, for the core benchmark.
struct PhaseTimes {
    double slices = 0, log = 0, tables = 0;
};
inline PhaseTimes phase_times;

class Phase {
public:
    explicit Phase(double& total) : total_(total), start_(std::chrono::steady_clock::now()) {}
    ~Phase() { total_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }

private:
    double& total_;
    std::chrono::steady_clock::time_point start_;
};
#define ZENDRIK_PHASE(name) Phase phase_timer_(phase_times.name)
#else
#define ZENDRIK_PHASE(name)
#endif

// Pivot rows per table of combinations.
inline constexpr Index table_bits = 8;

template <typename Lane>
class Eliminator {
public:
    // Every row index must fit 32 bits, so that each log entry is written in
    // its narrow form.
    Eliminator(BitRows& rows, OpLog& log)
        : rows_(rows.row_words()), count_(rows.count()), columns_(rows.columns()), stride_(rows.stride()),
          log_(log),
          slice_and_tag_(checked_product(count_, 2)),
          slice_(slice_and_tag_.data()),
          tag_(slice_ + count_) {}

    // echelon_form: the k-th pivot goes to row k and is added into every
    // other row holding a 1 in its column.
    void reduced() {
        Index next = 0;  // the row that receives the next pivot
        for (Index w = 0; w < bits::words_for(columns_) && next < count_; ++w) {
            start_block(w, 0);
            const Index width = std::min(bits::word_bits, columns_ - w * bits::word_bits);
            for (Index b = 0; b < width && next < count_; ++b)
                if (eliminate(next, b, 0)) ++next;
            finish_block(w, 0);
        }
    }

    // row_echelon_full_matrix: the pivot of column c goes to row c and is
    // added into the rows below; without one, row c and column c are passed over.
    void diagonal() {
        const Index diagonal = std::min(count_, columns_);
        for (Index w = 0; w * bits::word_bits < diagonal; ++w) {
            const Index first = w * bits::word_bits;
            start_block(w, first);
            for (Index c = first; c < std::min(first + bits::word_bits, diagonal); ++c)
                eliminate(c, c - first, c + 1);
            finish_block(w, first);
        }
    }

private:
    void start_block(Index w, Index from) {
        ZENDRIK_PHASE(slices);
        for (Index j = from; j < count_; ++j) {
            slice_[j] = rows_[j][w];
            tag_[j] = 0;
        }
        pivots_ = 0;
    }

    // Column b of the block: its pivot, found from row p down, moves to row p
    // and is added into the rows from `receivers_from` on, row p excepted.
    bool eliminate(Index p, Index b, Index receivers_from) {
        Index k = p;
        {
            ZENDRIK_PHASE(slices);
            while (k < count_ && !(slice_[k] >> b & 1)) ++k;
            if (k == count_) return false;
        }
        if (k != p) exchange(p, k);
        const Word pivot_slice = slice_[p];
        const Word pivot_tag = tag_[p] ^ Word{1} << pivots_;
        pivot_rows_[pivots_++] = p;
        add_into(receivers_from, p, p, b, pivot_slice, pivot_tag);
        add_into(p + 1, count_, p, b, pivot_slice, pivot_tag);
        return true;
    }

    void exchange(Index upper, Index lower) {
        std::swap(rows_[upper], rows_[lower]);
        std::swap(slice_[upper], slice_[lower]);
        std::swap(tag_[upper], tag_[lower]);
        ZENDRIK_PHASE(log);
        log_.push_back({upper, lower});
        log_.push_back({lower, upper});
        log_.push_back({upper, lower});
    }

    // Pivot row p is added into each row of [from, to) holding a 1 at bit b.
    void add_into(Index from, Index to, Index p, Index b, Word pivot_slice, Word pivot_tag) {
        if (from >= to) return;
        log_additions(from, to, p, b);
        ZENDRIK_PHASE(slices);
        Word* slice = slice_;
        Word* tag = tag_;
        for (Index j = from; j < to; ++j) {
            const Word receives = Word{0} - (slice[j] >> b & 1);
            slice[j] ^= pivot_slice & receives;
            tag[j] ^= pivot_tag & receives;
        }
    }

    // The log entries (j, p) of those additions, in order of j; written
    // without a branch per row whenever the log's block has room for all.
    void log_additions(Index from, Index to, Index p, Index b) {
        ZENDRIK_PHASE(log);
        const Word* slice = slice_;
        if (log_.room() < to - from) {
            for (Index j = from; j < to; ++j)
                if (slice[j] >> b & 1) log_.push_back({j, p});
            return;
        }
        std::uint64_t* out = log_.free_slots();
        Index kept = 0;
        for (Index j = from; j < to; ++j) {
            out[kept] = OpLog::narrow(static_cast<std::uint32_t>(j), static_cast<std::uint32_t>(p));
            kept += slice[j] >> b & 1;
        }
        log_.keep(kept);
    }

    // Every row from `from` down takes its final word w from its slice, and
    // the XOR of the pivot rows its tag names over the words after it.
    void finish_block(Index w, Index from) {
        if (pivots_ == 0) return;
        ZENDRIK_PHASE(tables);
        for (Index j = from; j < count_; ++j) rows_[j][w] = slice_[j];
        if (w + 1 >= bits::words_for(columns_)) return;
        // Whole lanes from the one holding word w + 1; the pivot rows' copies
        // hold 0 up to word w, so that those words are left alone.
        constexpr Index lane = bits::lane_words<Lane>;
        const Index first = (w + 1) / lane * lane;
        const Index width = stride_ - first;
        pivot_words_.resize(checked_product(pivots_, width));
        for (Index i = 0; i < pivots_; ++i) {
            Word* copy = pivot(i, width);
            std::memcpy(copy, rows_[pivot_rows_[i]] + first, width * sizeof(Word));
            std::fill(copy, copy + (w + 1 - first), Word{0});
        }

        // A table of group g costs one XOR per combination and then one
        // source per receiving row; without it a row takes one source per
        // pivot row its tag names in the group.
        const Index groups = (pivots_ + table_bits - 1) / table_bits;
        Index slot[64 / table_bits] = {};  // 1 + the group's place among the tables; 0 for none
        Index tables = 0;
        for (Index g = 0; g < groups; ++g) {
            const Index size = std::min(table_bits, pivots_ - g * table_bits);
            Index receivers = 0, ones = 0;
            for (Index j = from; j < count_; ++j) {
                const Word part = group_of(tag_[j], g);
                receivers += part != 0;
                ones += static_cast<Index>(std::popcount(part));
            }
            if ((Index{1} << size) + receivers < ones) slot[g] = ++tables;
        }
        Word* table[64 / table_bits] = {};
        if (tables != 0) {
            constexpr Index entries = Index{1} << table_bits;
            tables_.resize(checked_product(checked_product(tables, entries), width));
            for (Index g = 0; g < groups; ++g) {
                if (slot[g] == 0) continue;
                table[g] = tables_.data() + (slot[g] - 1) * entries * width;
                build_table(table[g], g, width);
            }
        }

        for (Index j = from; j < count_; ++j) {
            if (tag_[j] == 0) continue;
            sources_.clear();
            for (Index g = 0; g < groups; ++g) {
                const Word part = group_of(tag_[j], g);
                if (part == 0) continue;
                if (table[g] != nullptr) {
                    sources_.push_back(table[g] + part * width);
                } else {
                    for (Word left = part; left != 0; left &= left - 1)
                        sources_.push_back(pivot(g * table_bits + std::countr_zero(left), width));
                }
            }
            bits::xor_sum_into<Lane>(rows_[j] + first, sources_.data(), sources_.size(), width);
        }
    }

    static Word group_of(Word tag, Index g) noexcept {
        return tag >> (g * table_bits) & ((Word{1} << table_bits) - 1);
    }

    Word* pivot(Index i, Index width) noexcept { return pivot_words_.data() + i * width; }

    // Entry x of the table of group g: the XOR of the group's pivot rows
    // named by the bits of x.
    void build_table(Word* table, Index g, Index width) {
        const Index size = std::min(table_bits, pivots_ - g * table_bits);
        std::fill(table, table + width, Word{0});
        for (Word x = 1; x < (Word{1} << size); ++x) {
            Word* entry = table + x * width;
            std::memcpy(entry, table + (x & (x - 1)) * width, width * sizeof(Word));
            bits::xor_into<Lane>(entry, pivot(g * table_bits + std::countr_zero(x), width), 0, width);
        }
    }

    std::vector<Word*>& rows_;
    const Index count_;
    const Index columns_;
    const Index stride_;
    OpLog& log_;
    std::vector<Word> slice_and_tag_;
    Word* slice_;  // word w of each row, as eliminated so far
    Word* tag_;    // the block's pivot rows each row has received
    Index pivot_rows_[bits::word_bits];  // where the block's pivots went, in order
    Index pivots_ = 0;
    Words pivot_words_;              // their words from `first` on, as at the block's start
    Words tables_;
    std::vector<const Word*> sources_;
};

#undef ZENDRIK_PHASE

}  // namespace zendrik::blocked
