// The working rows of a reduction in packed form: 64 columns to a word. Only a
// rectangular matrix holding nothing but 0 and 1 is packed; there every row
// is as long as row 0, so no element read can fail on a row's length and the
// checks that remain are those on row indices and on the number of columns.
#pragma once

#include "matrix/bit_kernels.hpp"
#include "matrix/checks.hpp"

#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace zendrik {

// Allocates whole widest lanes, aligned to them.
template <typename T>
struct LaneAllocator {
    using value_type = T;
    static constexpr std::align_val_t alignment{sizeof(bits::Lane256)};
    LaneAllocator() noexcept = default;
    template <typename U>
    LaneAllocator(const LaneAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), alignment)); }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, alignment); }
    friend bool operator==(const LaneAllocator&, const LaneAllocator&) noexcept { return true; }
};

using Words = std::vector<bits::Word, LaneAllocator<bits::Word>>;

class BitRows {
public:
    // The lane the kernels run with in this build.
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

    bool is_one(Index row, Index col, Where where) const {
        check_index(count(), row, where);
        check_index(columns_, col, where);
        return bits::test_bit(rows_[row], col);
    }
    bool is_zero(Index row, Index col, Where where) const { return !is_one(row, col, where); }

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

    // A kernel vector and the sum of its products with a row.
    using Vector = Words;
    Vector unit_vector(Index /*columns*/, Index one) const {
        Vector v(stride_, 0);
        bits::set_bit(v.data(), one, true);
        return v;
    }
    // The parity of row AND v. Leaving out column `skip` changes nothing: the
    // caller only skips a column where v still holds 0.
    Byte dot(Index row, const Vector& v, Index /*columns*/, Index /*skip*/, Where) const {
        return bits::and_parity<Lane>(rows_[row], v.data(), stride_);
    }
    static void set(Vector& v, Index col, Byte value) noexcept {
        bits::set_bit(v.data(), col, value != 0);
    }
    static Row to_row(Vector&& v, Index columns) {
        Row row(columns);
        bits::unpack(v.data(), columns, row.data());
        return row;
    }

private:
    BitRows(Index count, Index columns)
        : columns_(columns), stride_(bits::stride_for(columns)), words_(count * stride_, 0) {
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
