// Rows as the record holds them, one byte per element and any lengths, with
// the three row operations that the methods and every reduction share.
#pragma once

#include "matrix/checks.hpp"

#include <algorithm>
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

    Index count() const noexcept { return rows_.size(); }
    Row& row(Index i) noexcept { return rows_[i]; }
    const Row& row(Index i) const noexcept { return rows_[i]; }

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

    // A kernel vector and the sum of its products with a row.
    using Vector = Row;
    Vector unit_vector(Index columns, Index one) const {
        Vector v(columns, 0);
        v[one] = 1;
        return v;
    }
    // XOR over j = columns - 1 down to 0, j != skip, of the 8-bit products
    // v[j] * row[j]. Every product is read, also where v[j] is 0, so a short
    // row fails at the highest position past its end.
    Byte dot(Index row, const Vector& v, Index columns, Index skip, Where where) const {
        const Row& r = rows_[row];
        Byte s = 0;
        for (Index j = columns; j-- > 0;) {
            if (j != skip) s ^= static_cast<Byte>(v[j] * element(r, j, where));
        }
        return s;
    }
    static void set(Vector& v, Index col, Byte value) noexcept { v[col] = value; }
    static Row to_row(Vector&& v, Index /*columns*/) noexcept { return std::move(v); }

private:
    Rows& rows_;
};

}  // namespace zendrik
