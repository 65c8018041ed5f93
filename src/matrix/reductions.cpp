// The three echelon reductions and the kernel. Each algorithm is written once
// over a row store: packed bits (BitRows) when the matrix is rectangular and
// holds only 0 and 1, the record's own bytes (ByteRows) otherwise. Both stores
// give the same answers and the same failures for the same reads.
#include "matrix/bit_rows.hpp"
#include "matrix/blocked_elimination.hpp"
#include "matrix/byte_rows.hpp"
#include "matrix/eliminations.hpp"
#include "matrix/matrix.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

namespace zendrik {
namespace {

// The working rows of a reduction and its log: every step is one of the
// shared row operations, and is logged.
template <class Store>
struct Steps {
    Store& rows;
    OpLog log;

    bool is_one(Index row, Index col, Where where = Where::current()) const {
        return rows.is_one(row, col, where);
    }

    void add(Index target, Index source, Index zero_before, Where where = Where::current()) {
        rows.add(target, source, zero_before, where);
        log.push_back({target, source});
    }

    // `upper` is the position that receives the pivot; an exchange is logged as
    // the three additions that would perform it.
    void exchange(Index upper, Index lower, Where where = Where::current()) {
        rows.exchange(upper, lower, where);
        log.push_back({upper, lower});
        log.push_back({lower, upper});
        log.push_back({upper, lower});
    }
};

template <class Store>
using Algorithm = void (*)(Steps<Store>&, Index rows, Index cols);
using PackedAlgorithm = void (*)(Steps<BitRows>&, Index rows, Index cols, Elimination how);

// The blocked elimination writes its log entries in their narrow form.
bool blocking_possible(Index rows) {
    return std::uint64_t{rows} <= std::numeric_limits<std::uint32_t>::max();
}

// Runs a reduction on a copy of the receiver, packed when it can be. Column
// bounds come from row 0 of the receiver, fixed at the start.
EchelonResult reduce_copy(const Matrix& receiver, Elimination how, PackedAlgorithm on_bits,
                          Algorithm<ByteRows> on_bytes) {
    const Index rows = nrows(receiver);
    const Index cols = ncols(receiver);
    if (std::optional<BitRows> packed = BitRows::pack(receiver.rows)) {
        Steps<BitRows> steps{*packed, {}};
        on_bits(steps, rows, cols, blocking_possible(rows) ? how : Elimination::stepwise);
        return {Matrix{packed->unpack()}, std::move(steps.log)};
    }
    Matrix m = copy(receiver);
    ByteRows bytes(m.rows);
    Steps<ByteRows> steps{bytes, {}};
    on_bytes(steps, rows, cols);
    return {std::move(m), std::move(steps.log)};
}

// With fewer rows than `fewest_rows` the blocked elimination's setup costs
// more than it saves (measured).
Elimination chosen_elimination(const Matrix& m, Index fewest_rows) {
    return nrows(m) >= fewest_rows ? Elimination::blocked : Elimination::stepwise;
}

// Among the rows above `last`: which lead at which column, kept through the
// exchanges of a last-row reduction so that a pass need not rescan them. One
// list of positions per column, linked through `next_` and `previous_`.
class LeadingColumns {
public:
    LeadingColumns(const Rows& rows, Index last, Index columns)
        : lead_(last, none), next_(last, none), previous_(last, none), first_(columns, none) {
        for (Index i = 0; i < last; ++i) refresh(i, rows[i]);
    }

    // The largest position whose leading one is at `col`.
    std::optional<Index> last_leading_at(Index col) const {
        std::optional<Index> found;
        for (Index i = first_[col]; i != none; i = next_[i])
            if (!found || i > *found) found = i;
        return found;
    }

    // Position `i`, above the last, now holds `row`.
    void refresh(Index i, const Row& row) {
        unlink(i);
        lead_[i] = leading_one(row).value_or(none);
        link(i);
    }

private:
    static constexpr Index none = static_cast<Index>(-1);

    void unlink(Index i) {
        if (lead_[i] == none) return;
        if (previous_[i] != none)
            next_[previous_[i]] = next_[i];
        else
            first_[lead_[i]] = next_[i];
        if (next_[i] != none) previous_[next_[i]] = previous_[i];
        next_[i] = previous_[i] = none;
    }

    void link(Index i) {
        if (lead_[i] == none) return;
        next_[i] = first_[lead_[i]];
        previous_[i] = none;
        if (next_[i] != none) previous_[next_[i]] = i;
        first_[lead_[i]] = i;
    }

    std::vector<Index> lead_, next_, previous_, first_;
};

// The positions [from, to) of `row` are read in order until one equals 1;
// reading past the row's end fails as that read would.
bool has_one_between(const Row& row, Index from, Index to, Where where = Where::current()) {
    const Index end = std::min(to, row.size());
    if (find_one(row, from, end) < end) return true;
    const Index first_missing = std::max(from, row.size());
    if (first_missing < to) element(row, first_missing, where);
    return false;
}

template <class Store>
Rows kernel_basis(const Store& m, Index rows, Index cols) {
    // Step 1: the i-th pivot is found in row i; only rows[r][col] is tested.
    std::vector<Index> pivots;
    std::vector<Index> free_columns;
    pivots.reserve(std::min(rows, cols));
    free_columns.reserve(cols);
    for (Index col = 0; col < cols; ++col) {
        const Index r = pivots.size();
        if (r < rows && m.is_one(r, col, Where::current())) {
            pivots.push_back(col);
        } else {
            free_columns.push_back(col);
        }
    }

    // Step 2: back-substitution from the last pivot to the first, for every
    // free column at once (the reads do not depend on the free column, so the
    // first failing read is the one the first free column would make). Pivot
    // i reads row i, the row it was found in (rows[p] would be a different
    // row whenever the pivots leave the diagonal).
    if (free_columns.empty()) {
        return {};
    }
    typename Store::Solutions solutions(cols, free_columns);
    for (Index i = pivots.size(); i-- > 0;) {
        m.back_substitute(solutions, i, pivots[i], cols, Where::current());
    }
    return solutions.vectors(cols, free_columns.size());
}

template <class Store>
void echelon_form_steps(Steps<Store>& w, Index rows, Index cols) {
    Index r = 0;  // the row that receives the next pivot
    for (Index col = 0; col < cols; ++col) {
        Index k = r;
        while (k < rows && !w.is_one(k, col)) {
            ++k;
        }
        if (k == rows) {
            continue;
        }
        if (k != r) {
            w.exchange(r, k);
        }
        // With only 0 and 1, every row from r down is 0 before col: each
        // earlier column either found no 1 there or was cleared.
        for (Index j = 0; j < rows; ++j) {
            if (j != r && w.is_one(j, col)) {
                w.add(j, r, col);
            }
        }
        ++r;
    }
}

template <class Store>
void row_echelon_full_matrix_steps(Steps<Store>& w, Index rows, Index cols) {
    const Index diagonal = std::min(rows, cols);
    for (Index i = 0; i < diagonal; ++i) {
        Index k = i;
        while (k < rows && !w.is_one(k, i)) {
            ++k;
        }
        if (k == rows) {
            continue;  // row i and column i are both passed over
        }
        if (k != i) {
            w.exchange(i, k);
        }
        // With only 0 and 1, every row from i down is 0 before column i.
        for (Index j = i + 1; j < rows; ++j) {
            if (w.is_one(j, i)) {
                w.add(j, i, i);
            }
        }
    }
}

// Choosing a clone at load time needs x86 and a loader that resolves
// indirect functions; elsewhere the baseline build is the only one. Clang
// (16 to 19) is left out too: it refuses to flatten a function that it
// clones, and without that leaves undefined the inline functions that only
// clones call.
#if defined(ZENDRIK_GNU_EXTENSIONS) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define PACKED_REDUCTION ZENDRIK_FLATTEN __attribute__((target_clones("avx2", "default")))
#else
#define PACKED_REDUCTION ZENDRIK_FLATTEN
#endif

// The packed reductions spend their time in word kernels: they are built for
// the baseline instruction set and for AVX2, the better one chosen at load
// time, with everything they call compiled into each.
PACKED_REDUCTION
void echelon_form_packed(Steps<BitRows>& w, Index rows, Index cols, Elimination how) {
    if (how == Elimination::stepwise) return echelon_form_steps(w, rows, cols);
    blocked::Eliminator<BitRows::Lane>(w.rows, w.log).reduced();
}

PACKED_REDUCTION
void row_echelon_full_matrix_packed(Steps<BitRows>& w, Index rows, Index cols, Elimination how) {
    if (how == Elimination::stepwise) return row_echelon_full_matrix_steps(w, rows, cols);
    blocked::Eliminator<BitRows::Lane>(w.rows, w.log).diagonal();
}

}  // namespace

// --- Echelon forms

EchelonResult echelon_form(const Matrix& receiver, Elimination how) {
    return reduce_copy(receiver, how, echelon_form_packed, echelon_form_steps<ByteRows>);
}

EchelonResult row_echelon_full_matrix(const Matrix& receiver, Elimination how) {
    return reduce_copy(receiver, how, row_echelon_full_matrix_packed,
                       row_echelon_full_matrix_steps<ByteRows>);
}

EchelonResult echelon_form(const Matrix& receiver) {
    return echelon_form(receiver, chosen_elimination(receiver, 16));
}

EchelonResult row_echelon_full_matrix(const Matrix& receiver) {
    // Only the rows below each pivot receive it: blocking pays later.
    return row_echelon_full_matrix(receiver, chosen_elimination(receiver, 64));
}

// --- Last-row reduction. Each pass does at most one addition or exchange, so
// --- it runs on the record's own bytes: packing would cost more than it saves.

EchelonResult echelon_form_last_row(const Matrix& receiver) {
    const Index rows = nrows(receiver);
    const Index last = rows - 1;  // wraps to the largest Index without rows
    row_at(receiver.rows, last);  // no rows: fails with len 0, index last
    Matrix copied = copy(receiver);
    Rows& m = copied.rows;
    ByteRows bytes(m);
    Steps<ByteRows> w{bytes, {}};
    Row working = m[last];  // all leading-one decisions about the last row use this
    const Index limit = m[0].size();

    // Rows only move and the last row only changes by additions, so row
    // lengths stay as they are. When all equal the pass limit, the reads of a
    // reduction-row search cannot fail, and the rows leading at a column can
    // be looked up instead of scanned.
    std::optional<LeadingColumns> leads;
    if (std::all_of(m.begin(), m.end(), [&](const Row& row) { return row.size() == limit; }))
        leads.emplace(m, last, limit);

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
                if (!bytes.is_zero(i, i, Where::current()) || i >= m[0].size()) {
                    continue;
                }
                if (has_one_between(m[i], i + 1, m[0].size())) {
                    candidate = i;  // smaller indices come later and win
                }
            }
            if (!candidate) {
                break;
            }
            const Index k = *candidate;
            w.exchange(k, k + 1);
            if (leads) {
                leads->refresh(k, m[k]);
                if (k + 1 < last) leads->refresh(k + 1, m[k + 1]);
            }
            continue;  // the working copy is deliberately not taken again
        }

        const Index p = *lead;
        // Reduction row: the largest r above the last whose leading one is at p.
        // m[r][p] is read first, so the positions before p then exist.
        std::optional<Index> reducer;
        if (leads) {
            reducer = leads->last_leading_at(p);
        } else {
            for (Index r = 0; r < last; ++r) {
                if (w.is_one(r, p) && leading_one(m[r]) == p) {
                    reducer = r;
                }
            }
        }

        if (reducer) {
            w.add(last, *reducer, 0);
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
            if (leads) leads->refresh(p, m[p]);
            working = m[last];
        }
    }
    return {std::move(copied), std::move(w.log)};
}

// --- Kernel

Rows kernel(const Matrix& m) {
    const Index rows = nrows(m);
    const Index cols = ncols(m);
    if (const std::optional<BitRows> packed = BitRows::pack(m.rows)) {
        return kernel_basis(*packed, rows, cols);
    }
    // Only read: the store's changing operations are never called here.
    const ByteRows bytes(const_cast<Rows&>(m.rows));
    return kernel_basis(bytes, rows, cols);
}

}  // namespace zendrik
