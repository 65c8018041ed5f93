// Rows as the record holds them, one byte per element and any lengths, with
// the three row operations that the methods and every reduction share.
#pragma once

#include "matrix/checks.hpp"

#include <algorithm>
#include <vector>
#include <utility>

namespace zendrik {

// rows[target] ^= rows[source] over the length of row 0, as read now.
// A failed addition changes nothing, yet reports the first check that an
// element-by-element loop would fail (source row, source length, target row,
// target length, for i = 0, 1, ...), so the checks are settled up front.
inline void add_row(Rows& rows, Index target, Index source, Where where = Where::current()) {
    const Index n = width(rows);
    if (n == 0) {
        return;  // nothing to add, so nothing is checked
    }
    const Row& src = row_at(rows, source, where);  // check 1
    if (src.empty()) {
        element(src, 0, where);  // check 2 at i = 0 comes before check 3
    }
    Row& dst = row_at(rows, target, where);  // check 3
    // Checks 2 and 4 fail first at the shorter row's length; on a tie check 2
    // (the source) comes first.
    const Index reach = std::min({n, src.size(), dst.size()});
    if (reach < n) {
        element(src.size() == reach ? src : dst, reach, where);
    }
    // Plain pointers so the compiler vectorises; target == source is allowed
    // (each element is read before it is written) and zeroes the prefix.
    const Byte* s = src.data();
    Byte* d = dst.data();
    for (Index i = 0; i < n; ++i) {
        d[i] ^= s[i];
    }
}

// Exchanges the storage of two rows; no element is copied.
inline void swap_row(Rows& rows, Index row1, Index row2, Where where = Where::current()) {
    Row& a = row_at(rows, row1, where);
    Row& b = row_at(rows, row2, where);
    std::swap(a, b);
}

// Every element equal to 0, over the row's own length (any non-zero byte counts).
inline bool zero_row(const Rows& rows, Index row, Where where = Where::current()) {
    const Row& r = row_at(rows, row, where);
    return std::all_of(r.begin(), r.end(), [](Byte b) { return b == 0; });
}

// The working rows of a reduction in byte form: any matrix, ragged or holding
// bytes other than 0 and 1, with every check made where the element is read.
class ByteRows {
public:
    explicit ByteRows(Rows& rows) noexcept : rows_(rows) {}

    bool is_one(Index row, Index col, Where where) const {
        return element(row_at(rows_, row, where), col, where) == 1;
    }
    bool is_zero(Index row, Index col, Where where) const {
        return element(row_at(rows_, row, where), col, where) == 0;
    }
    // Bytes other than 0 and 1 may stand anywhere, so the whole row is added.
    void add(Index target, Index source, Index /*zero_before*/, Where where) {
        add_row(rows_, target, source, where);
    }
    void exchange(Index a, Index b, Where where) { swap_row(rows_, a, b, where); }

    // The kernel's basis vectors side by side: row j holds element j of
    // every vector, one column per free column.
    class Solutions {
    public:
        Solutions(Index columns, const std::vector<Index>& free_columns)
            : width_(free_columns.size()), table_(checked_product(columns, width_), 0) {
            for (Index k = 0; k < width_; ++k) table_[free_columns[k] * width_ + k] = 1;
        }
        Byte* row(Index j) noexcept { return table_.data() + j * width_; }
        Index width() const noexcept { return width_; }
        // Vector k as a row of `columns` bytes.
        Rows vectors(Index columns, Index /*count*/) const {
            Rows out(width_, Row(columns));
            for (Index j = 0; j < columns; ++j)
                for (Index k = 0; k < width_; ++k) out[k][j] = table_[j * width_ + k];
            return out;
        }

    private:
        Index width_;
        Row table_;
    };

    // Element p of every vector becomes the XOR, over j = columns - 1 down to
    // 0 except p, of the 8-bit products row[j] * (element j of the vector).
    // Every element of the row is read, so a short row fails at the highest
    // position past its end.
    void back_substitute(Solutions& table, Index row, Index p, Index columns, Where where) const {
        const Row& r = rows_[row];
        Byte* target = table.row(p);
        for (Index j = columns; j-- > 0;) {
            if (j == p) continue;
            const Byte factor = element(r, j, where);
            if (factor == 0) continue;
            const Byte* source = table.row(j);
            for (Index k = 0; k < table.width(); ++k)
                target[k] ^= static_cast<Byte>(factor * source[k]);
        }
    }

private:
    Rows& rows_;
};

}  // namespace zendrik
