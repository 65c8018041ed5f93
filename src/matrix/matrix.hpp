// The Matrix record and every operation on it: a dense matrix of bytes, held
// row by row, whose rows combine by exclusive-or (GF(2) for elements 0 and 1).
//
// Nothing here knows about Python. Every index is checked at the moment it is
// used, against the row or row list actually accessed; a failed check is a
// Panic carrying "index out of bounds: the len is L but the index is I".
// Only an element equal to exactly 1 ever acts as a one; bytes 2..255 are
// stored and XORed like any other value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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
using OpLog = std::vector<RowOp>;

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
