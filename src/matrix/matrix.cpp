// The matrix core. Nothing here knows about Python; the only ways out other
// than a normal return are a Panic and std::bad_alloc.
#include "matrix/matrix.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <source_location>
#include <unordered_set>
#include <utility>

#include "runtime/panic.hpp"

namespace zendrik {
namespace {

using Where = std::source_location;

// The one index check of the core. Every caller passes its own source location
// on, so a failure report names the algorithm line that made the failing read.
void check_index(Index len, Index index, Where where) {
    if (index >= len) {
        panic_index_out_of_bounds(len, index, where);
    }
}

Row& row_at(Rows& rows, Index i, Where where = Where::current()) {
    check_index(rows.size(), i, where);
    return rows[i];
}

const Row& row_at(const Rows& rows, Index i, Where where = Where::current()) {
    check_index(rows.size(), i, where);
    return rows[i];
}

Byte element(const Row& row, Index i, Where where = Where::current()) {
    check_index(row.size(), i, where);
    return row[i];
}

Index width(const Rows& rows) noexcept { return rows.empty() ? 0 : rows[0].size(); }

// Position of the first element equal to exactly 1, if any.
std::optional<Index> leading_one(const Row& row) noexcept {
    const auto it = std::find(row.begin(), row.end(), Byte{1});
    if (it == row.end()) {
        return std::nullopt;
    }
    return static_cast<Index>(it - row.begin());
}

// --- The three shared row operations, used by the methods and by every
// --- reduction. A faster row kernel replaces the loop in add_row only.

// rows[target] ^= rows[source] over the length of row 0, as read now.
// A failed addition changes nothing, yet reports the first check that an
// element-by-element loop would fail (source row, source length, target row,
// target length, for i = 0, 1, ...), so the checks are settled up front.
void add_row(Rows& rows, Index target, Index source, Where where = Where::current()) {
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
void swap_row(Rows& rows, Index row1, Index row2, Where where = Where::current()) {
    Row& a = row_at(rows, row1, where);
    Row& b = row_at(rows, row2, where);
    std::swap(a, b);
}

// Every element equal to 0, over the row's own length (any non-zero byte counts).
bool zero_row(const Rows& rows, Index row, Where where = Where::current()) {
    const Row& r = row_at(rows, row, where);
    return std::all_of(r.begin(), r.end(), [](Byte b) { return b == 0; });
}

// The working matrix of an echelon reduction and its log: every step is one of
// the shared row operations, and is logged.
struct Reduction {
    Matrix m;
    OpLog log;

    explicit Reduction(const Matrix& receiver) : m(copy(receiver)) {}

    Byte at(Index row, Index col, Where where = Where::current()) const {
        return element(row_at(m.rows, row, where), col, where);
    }

    void add(Index target, Index source, Where where = Where::current()) {
        add_row(m.rows, target, source, where);
        log.push_back({target, source});
    }

    // `upper` is the position that receives the pivot; an exchange is logged as
    // the three additions that would perform it.
    void exchange(Index upper, Index lower, Where where = Where::current()) {
        swap_row(m.rows, upper, lower, where);
        log.push_back({upper, lower});
        log.push_back({lower, upper});
        log.push_back({upper, lower});
    }

    EchelonResult finish() && { return {std::move(m), std::move(log)}; }
};

}  // namespace

// --- Queries and copies

Index nrows(const Matrix& m) noexcept { return m.rows.size(); }

Index ncols(const Matrix& m) noexcept { return width(m.rows); }

Byte get(const Matrix& m, Index row, Index col) { return element(row_at(m.rows, row), col); }

Matrix copy(const Matrix& m) {
    Matrix out;
    out.rows.reserve(m.rows.size());
    for (const Row& row : m.rows) {
        out.rows.emplace_back(row.begin(), row.end());  // exactly row.size() bytes
    }
    return out;
}

std::string text_form(const Matrix& m) {
    std::string text = "[";
    for (Index i = 0; i < m.rows.size(); ++i) {
        text += i == 0 ? "[" : ", [";
        const Row& row = m.rows[i];
        for (Index j = 0; j < row.size(); ++j) {
            if (j != 0) {
                text += ", ";
            }
            text += std::to_string(unsigned{row[j]});
        }
        text += "]";
    }
    text += "]";
    return text;
}

// --- Row operations and growth

void add_rows(Matrix& m, Index target, Index source) { add_row(m.rows, target, source); }

void swap_rows(Matrix& m, Index row1, Index row2) { swap_row(m.rows, row1, row2); }

bool is_zero_row(const Matrix& m, Index row) { return zero_row(m.rows, row); }

void append_row(Matrix& m, Row v) {
    m.rows.push_back(std::move(v));  // a row moves without throwing: strong guarantee
}

void append_column(Matrix& m, const Row& v) {
    const Index n = m.rows.size();
    // Reading v[i] for every row would fail first at i = len(v); fail with that
    // message before any row grows, so a failed call changes nothing.
    if (v.size() < n) {
        element(v, v.size());
    }
    Index grown = 0;
    try {
        for (; grown < n; ++grown) {
            m.rows[grown].push_back(v[grown]);
        }
    } catch (const std::bad_alloc&) {
        // Leave the matrix as it was; the binding reports the MemoryError.
        while (grown > 0) {
            m.rows[--grown].pop_back();
        }
        throw;
    }
}

// --- Echelon forms. Column bounds come from row 0 of the receiver, fixed at
// --- the start; each addition re-reads row 0 of the working copy.

EchelonResult echelon_form(const Matrix& receiver) {
    Reduction w(receiver);
    const Index rows = nrows(receiver);
    const Index cols = ncols(receiver);
    Index r = 0;  // the row that receives the next pivot
    for (Index col = 0; col < cols; ++col) {
        Index k = r;
        while (k < rows && w.at(k, col) != 1) {
            ++k;
        }
        if (k == rows) {
            continue;
        }
        if (k != r) {
            w.exchange(r, k);
        }
        for (Index j = 0; j < rows; ++j) {
            if (j != r && w.at(j, col) == 1) {
                w.add(j, r);
            }
        }
        ++r;
    }
    return std::move(w).finish();
}

EchelonResult row_echelon_full_matrix(const Matrix& receiver) {
    Reduction w(receiver);
    const Index rows = nrows(receiver);
    const Index diagonal = std::min(rows, ncols(receiver));
    for (Index i = 0; i < diagonal; ++i) {
        Index k = i;
        while (k < rows && w.at(k, i) != 1) {
            ++k;
        }
        if (k == rows) {
            continue;  // row i and column i are both passed over
        }
        if (k != i) {
            w.exchange(i, k);
        }
        for (Index j = i + 1; j < rows; ++j) {
            if (w.at(j, i) == 1) {
                w.add(j, i);
            }
        }
    }
    return std::move(w).finish();
}

// --- Last-row reduction

EchelonResult echelon_form_last_row(const Matrix& receiver) {
    const Index rows = nrows(receiver);
    const Index last = rows - 1;  // wraps to the largest Index without rows
    row_at(receiver.rows, last);  // no rows: fails with len 0, index last
    Reduction w(receiver);
    auto& m = w.m.rows;
    Row working = m[last];  // all leading-one decisions about the last row use this
    const Index limit = m[0].size();

    for (Index pass = 0; pass < limit; ++pass) {
        const std::optional<Index> lead = leading_one(working);

        if (!lead) {
            // Shift pass: move the lowest-indexed row with a 0 on the diagonal
            // and a 1 right of it one position down.
            if (rows == 1) {
                break;
            }
            std::optional<Index> candidate;
            for (Index i = rows - 1; i-- > 0;) {
                // Each condition decides before the next is read; the scan for
                // a 1 stops at the first one.
                if (w.at(i, i) != 0 || i >= m[0].size()) {
                    continue;
                }
                for (Index j = i + 1; j < m[0].size(); ++j) {
                    if (w.at(i, j) == 1) {
                        candidate = i;  // smaller indices come later and win
                        break;
                    }
                }
            }
            if (!candidate) {
                break;
            }
            w.exchange(*candidate, *candidate + 1);
            continue;  // the working copy is deliberately not taken again
        }

        const Index p = *lead;
        // Reduction row: the largest r above the last whose leading one is at p.
        // m[r][p] is read first, so the positions before p then exist.
        std::optional<Index> reducer;
        for (Index r = 0; r < last; ++r) {
            if (w.at(r, p) == 1 && leading_one(m[r]) == p) {
                reducer = r;
            }
        }

        if (reducer) {
            w.add(last, *reducer);
            working = m[last];
        } else if (p == last) {
            // Final pass: the last row takes the place of the first zero row.
            for (Index i = 0; i < last; ++i) {
                if (zero_row(m, i)) {
                    w.exchange(i, last);
                    break;
                }
            }
            break;
        } else {
            // Placement pass: the last row moves to position p (fails when p is
            // not below nrows); go on with the row it displaced.
            w.exchange(p, last);
            working = m[last];
        }
    }
    return std::move(w).finish();
}

// --- Rank and kernel

Index rank(const Matrix& m) {
    std::unordered_set<Index> leading_columns;
    for (const Row& row : m.rows) {
        if (const auto j = leading_one(row)) {
            leading_columns.insert(*j);
        }
    }
    return leading_columns.size();
}

Rows kernel(const Matrix& m) {
    const Index rows = nrows(m);
    const Index cols = ncols(m);

    // Step 1: the i-th pivot is found in row i; only rows[r][col] is tested.
    std::vector<Index> pivots;
    std::vector<Index> free_columns;
    for (Index col = 0; col < cols; ++col) {
        const Index r = pivots.size();
        if (r < rows && element(m.rows[r], col) == 1) {
            pivots.push_back(col);
        } else {
            free_columns.push_back(col);
        }
    }

    // Step 2: back-substitution from the last pivot to the first. Pivot i
    // reads row i, the row it was found in (rows[p] would be a different row
    // whenever the pivots leave the diagonal).
    Rows basis;
    basis.reserve(free_columns.size());
    for (const Index f : free_columns) {
        Row v(cols, 0);
        v[f] = 1;
        for (Index i = pivots.size(); i-- > 0;) {
            const Index p = pivots[i];
            const Row& row = m.rows[i];
            Byte s = 0;
            // Every product is read, also where v[j] is 0, so a short row
            // fails at the highest position past its end.
            for (Index j = cols; j-- > 0;) {
                if (j != p) {
                    s ^= static_cast<Byte>(v[j] * element(row, j));
                }
            }
            v[p] = s;
        }
        basis.push_back(std::move(v));
    }
    return basis;
}

}  // namespace zendrik
