// The Matrix record and every operation on it: a dense matrix of bytes, held
// row by row, whose rows combine by exclusive-or (GF(2) for elements 0 and 1).
//
// Nothing here knows about Python. Every index is checked at the moment it is
// used, against the row or row list actually accessed; a failed check is a
// Panic carrying "index out of bounds: the len is L but the index is I".
// Only an element equal to exactly 1 ever acts as a one; bytes 2..255 are
// stored and XORed like any other value.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace zendrik {

using Byte = std::uint8_t;
using Index = std::size_t;
using Row = std::vector<Byte>;
using Rows = std::vector<Row>;

// No shape invariant: rows may differ in length, and the number of columns is
// the length of row 0 (0 without rows), worked out at each use.
struct Matrix {
    Rows rows;
};

// Row `target` was replaced by itself XOR row `source`.
struct RowOp {
    Index target;
    Index source;
    friend bool operator==(const RowOp&, const RowOp&) = default;
};

// The ordered row additions of one reduction. A 2048 x 2048 reduction logs
// about two million entries, so the log grows in blocks of doubling size that
// are never moved, instead of one buffer copied at each growth, and an entry
// whose indices fit 32 bits (every one, short of four billion rows) takes 8
// bytes. Past that the log turns into a plain list of full entries.
class OpLog {
public:
    OpLog() = default;
    OpLog(OpLog&& other) noexcept { swap(other); }
    OpLog& operator=(OpLog&& other) noexcept {
        OpLog(std::move(other)).swap(*this);
        return *this;
    }
    OpLog(std::initializer_list<RowOp> entries) {
        for (const RowOp& entry : entries) push_back(entry);
    }

    void push_back(RowOp entry) {
        const std::uint64_t target = entry.target;
        const std::uint64_t source = entry.source;
        if (((target | source) >> 32) != 0 || !wide_.empty()) [[unlikely]]
            return push_wide(entry);
        if (next_ == end_) [[unlikely]]
            grow();
        *next_++ = narrow(static_cast<std::uint32_t>(target), static_cast<std::uint32_t>(source));
    }
    // For loops that decide each entry without a branch: `room()` entries may
    // be written from `free_slots()` on, as `narrow(target, source)`, and
    // `keep(n)` then appends the first n of them. No room once the log has
    // turned to full entries.
    Index room() const noexcept { return wide_.empty() ? static_cast<Index>(end_ - next_) : 0; }
    std::uint64_t* free_slots() noexcept { return next_; }
    void keep(Index n) noexcept { next_ += n; }
    static constexpr std::uint64_t narrow(std::uint32_t target, std::uint32_t source) noexcept {
        return target | std::uint64_t{source} << 32;
    }

    Index size() const noexcept { return wide_.empty() ? narrow_size() : wide_.size(); }
    bool empty() const noexcept { return size() == 0; }
    RowOp operator[](Index i) const noexcept {
        if (!wide_.empty()) [[unlikely]]
            return wide_[i];
        // Block k starts at first_block * (2^k - 1).
        const Index k = static_cast<Index>(std::bit_width(i / first_block + 1)) - 1;
        const std::uint64_t entry = blocks_[k][i - first_block * ((Index{1} << k) - 1)];
        return {static_cast<Index>(entry & 0xFFFFFFFFu), static_cast<Index>(entry >> 32)};
    }
    // Calls `visit(i, entry)` for every entry in order, block by block: for
    // a pass over the whole log, without working out each entry's block.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        if (!wide_.empty()) [[unlikely]] {
            for (Index i = 0; i < wide_.size(); ++i) visit(i, wide_[i]);
            return;
        }
        Index i = 0;
        for (Index k = 0; k < blocks_.size(); ++k) {
            const std::uint64_t* entry = blocks_[k].get();
            const std::uint64_t* const end = k + 1 < blocks_.size() ? entry + block_size(k) : next_;
            for (; entry != end; ++entry, ++i)
                visit(i, RowOp{static_cast<Index>(*entry & 0xFFFFFFFFu), static_cast<Index>(*entry >> 32)});
        }
    }
    friend bool operator==(const OpLog& a, const OpLog& b) noexcept {
        if (a.size() != b.size()) return false;
        for (Index i = 0; i < a.size(); ++i)
            if (!(a[i] == b[i])) return false;
        return true;
    }

private:
    static constexpr Index first_block = 64;
    static constexpr Index block_size(Index k) noexcept { return first_block << k; }

    Index narrow_size() const noexcept {
        return blocks_.empty() ? 0 : block_size(blocks_.size() - 1) - first_block +
                                         static_cast<Index>(next_ - blocks_.back().get());
    }
    // Huge-page blocks come from the aligned allocator; the others, far more
    // common, from the plain one, which costs a fraction of an aligned call.
    struct BlockFree {
        std::optional<std::align_val_t> alignment;
        void operator()(std::uint64_t* block) const noexcept {
            if (alignment)
                ::operator delete(block, *alignment);
            else
                ::operator delete(block);
        }
    };
    using Block = std::unique_ptr<std::uint64_t[], BlockFree>;
    static Block allocate_block(Index size);

    void grow() {
        const Index size = block_size(blocks_.size());
        blocks_.push_back(allocate_block(size));
        next_ = blocks_.back().get();
        end_ = next_ + size;
    }
    void push_wide(RowOp entry) {
        if (wide_.empty()) {
            std::vector<RowOp> all;
            all.reserve(size() + 1);
            for (Index i = 0; i < size(); ++i) all.push_back((*this)[i]);
            all.push_back(entry);
            OpLog().swap(*this);
            wide_ = std::move(all);
            return;
        }
        wide_.push_back(entry);
    }
    void swap(OpLog& other) noexcept {
        blocks_.swap(other.blocks_);
        std::swap(next_, other.next_);
        std::swap(end_, other.end_);
        wide_.swap(other.wide_);
    }

    std::vector<Block> blocks_;
    std::uint64_t* next_ = nullptr;  // the next free entry of the last block
    std::uint64_t* end_ = nullptr;
    std::vector<RowOp> wide_;
};

// What every echelon reduction returns: the reduced copy and how it was reached.
struct EchelonResult {
    Matrix matrix;
    OpLog log;
};

// Queries and copies.
Index nrows(const Matrix& m) noexcept;
Index ncols(const Matrix& m) noexcept;
Byte get(const Matrix& m, Index row, Index col);
Matrix copy(const Matrix& m);          // every row allocated to exactly its length
std::string text_form(const Matrix& m);  // "[[1, 0], [0, 1]]"

// Row operations and growth. A call that fails leaves the matrix as it was.
void add_rows(Matrix& m, Index target, Index source);
void swap_rows(Matrix& m, Index row1, Index row2);
bool is_zero_row(const Matrix& m, Index row);
void append_row(Matrix& m, Row v);
void append_column(Matrix& m, const Row& v);

// Echelon reductions: the receiver is never changed.
EchelonResult echelon_form(const Matrix& m);
EchelonResult row_echelon_full_matrix(const Matrix& m);
EchelonResult echelon_form_last_row(const Matrix& m);

// Read off a matrix already in echelon form.
Index rank(const Matrix& m);
Rows kernel(const Matrix& m);

}  // namespace zendrik
