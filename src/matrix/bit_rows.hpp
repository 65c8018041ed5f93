// The working rows of a reduction in packed form: 64 columns to a word. Only a
// rectangular matrix holding nothing but 0 and 1 is packed; there every row
// is as long as row 0, so no element read can fail on a row's length and the
// checks that remain are those on row indices and on the number of columns.
#pragma once

#include "matrix/bit_kernels.hpp"
#include "matrix/checks.hpp"

#include <bit>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace zendrik {

// Allocates whole widest lanes, aligned to them. The aligned operator new
// costs several times a plain one, and a small call makes a few of these, so
// a plain block is taken with room to shift the start; the byte before the
// start records the shift.
template <typename T>
struct LaneAllocator {
    using value_type = T;
    static constexpr std::size_t alignment = sizeof(bits::Lane256);
    LaneAllocator() noexcept = default;
    template <typename U>
    LaneAllocator(const LaneAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        auto* block = static_cast<unsigned char*>(
            ::operator new(checked_sum(checked_product(n, sizeof(T)), alignment)));
        const std::size_t shift = alignment - reinterpret_cast<std::uintptr_t>(block) % alignment;
        unsigned char* start = block + shift;  // shift is 1 to alignment
        start[-1] = static_cast<unsigned char>(shift);
        return reinterpret_cast<T*>(start);
    }
    void deallocate(T* p, std::size_t) noexcept {
        auto* start = reinterpret_cast<unsigned char*>(p);
        ::operator delete(start - start[-1]);
    }
    friend bool operator==(const LaneAllocator&, const LaneAllocator&) noexcept { return true; }
};

using Words = std::vector<bits::Word, LaneAllocator<bits::Word>>;

class BitRows {
public:
    // The lane the kernels run with: the widest, on every target. Where
    // vectors are narrower the compiler splits each lane, which costs nothing
    // as rows are padded for it and unrolls the loop: 64-bit ARM does two
    // 128-bit NEON operations a lane (NEON is in its baseline, so it needs no
    // clone), x86-64 two SSE2 ones in its baseline clone and one in AVX2's.
    using Lane = bits::Lane256;

    // Packs a copy of `rows`, or nothing when a row differs in length from
    // row 0 or an element is neither 0 nor 1.
    static std::optional<BitRows> pack(const Rows& rows) {
        const Index columns = width(rows);
        for (const Row& row : rows)
            if (row.size() != columns) return std::nullopt;
        BitRows packed(rows.size(), columns);
        for (Index i = 0; i < rows.size(); ++i)
            if (!bits::pack(rows[i].data(), columns, packed.rows_[i])) return std::nullopt;
        return packed;
    }

    BitRows(BitRows&&) noexcept = default;
    BitRows& operator=(BitRows&&) noexcept = default;
    BitRows(const BitRows&) = delete;  // rows_ points into words_
    BitRows& operator=(const BitRows&) = delete;

    Rows unpack() const {
        Rows out;
        out.reserve(rows_.size());
        for (const bits::Word* row : rows_) {
            Row& bytes = out.emplace_back(columns_);
            bits::unpack(row, columns_, bytes.data());
        }
        return out;
    }

    Index count() const noexcept { return rows_.size(); }
    Index columns() const noexcept { return columns_; }
    Index stride() const noexcept { return stride_; }
    // The rows' words in their current order, for the blocked elimination:
    // it exchanges rows by exchanging these pointers, as `exchange` does.
    std::vector<bits::Word*>& row_words() noexcept { return rows_; }

    bool is_one(Index row, Index col, Where where) const {
        check_index(count(), row, where);
        check_index(columns_, col, where);
        return bits::test_bit(rows_[row], col);
    }

    // `zero_before`: the caller knows that the source holds only 0 before this
    // column, so the words before it need no work.
    void add(Index target, Index source, Index zero_before, Where where) {
        if (columns_ == 0) return;  // nothing to add, so nothing is checked
        check_index(count(), source, where);
        check_index(count(), target, where);
        bits::xor_into<Lane>(rows_[target], rows_[source], zero_before / bits::word_bits, stride_);
    }
    void exchange(Index a, Index b, Where where) {
        check_index(count(), a, where);
        check_index(count(), b, where);
        std::swap(rows_[a], rows_[b]);
    }

    // The kernel's basis vectors side by side, packed: row j holds element j
    // of every vector, one bit per free column.
    class Solutions {
    public:
        Solutions(Index columns, const std::vector<Index>& free_columns)
            : stride_(bits::stride_for(free_columns.size())),
              table_(checked_product(columns, stride_), 0) {
            for (Index k = 0; k < free_columns.size(); ++k)
                bits::set_bit(row(free_columns[k]), k, true);
        }
        bits::Word* row(Index j) noexcept { return table_.data() + j * stride_; }
        const bits::Word* row(Index j) const noexcept { return table_.data() + j * stride_; }
        Index stride() const noexcept { return stride_; }
        Rows vectors(Index columns, Index count) const {
            Rows out(count, Row(columns));
            for (Index j = 0; j < columns; ++j)
                for_each_one(row(j), stride_, [&](Index k) { out[k][j] = 1; });
            return out;
        }

    private:
        Index stride_;
        Words table_;
    };

    // Element p of every vector becomes the parity of row AND the vector:
    // the XOR of the table rows j where the row holds a 1. Column p adds
    // nothing, as the table's row p is still 0.
    void back_substitute(Solutions& table, Index row, Index p, Index /*columns*/, Where) const {
        bits::Word* target = table.row(p);
        for_each_one(rows_[row], stride_, [&](Index j) {
            if (j != p) bits::xor_into<Lane>(target, table.row(j), 0, table.stride());
        });
    }

private:
    template <typename Visit>
    static void for_each_one(const bits::Word* row, Index words, Visit visit) {
        for (Index w = 0; w < words; ++w)
            for (bits::Word left = row[w]; left != 0; left &= left - 1)
                visit(w * bits::word_bits + static_cast<Index>(std::countr_zero(left)));
    }

    BitRows(Index count, Index columns)
        : columns_(columns), stride_(bits::stride_for(columns)),
          words_(checked_product(count, stride_), 0) {
        rows_.reserve(count);
        for (Index i = 0; i < count; ++i) rows_.push_back(words_.data() + i * stride_);
    }

    Index columns_;
    Index stride_;
    Words words_;
    // Exchanges swap these, never the words.
    std::vector<bits::Word*> rows_;
};

}  // namespace zendrik
