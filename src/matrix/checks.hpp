// The one index check of the core and the checked reads built on it. Every
// caller passes its own source location on, so a failure report names the
// algorithm line that made the failing read.
#pragma once

#include "matrix/matrix.hpp"
#include "runtime/panic.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <source_location>

namespace zendrik {

using Where = std::source_location;

inline void check_index(Index len, Index index, Where where) {
    if (index >= len) [[unlikely]]
        panic_index_out_of_bounds(len, index, where);
}

inline Row& row_at(Rows& rows, Index i, Where where = Where::current()) {
    check_index(rows.size(), i, where);
    return rows[i];
}

inline const Row& row_at(const Rows& rows, Index i, Where where = Where::current()) {
    check_index(rows.size(), i, where);
    return rows[i];
}

inline Byte element(const Row& row, Index i, Where where = Where::current()) {
    check_index(row.size(), i, where);
    return row[i];
}

// Sizes of tables and buffers. A size the machine word cannot hold could never
// be allocated, so it is reported the way a failed allocation is.
inline Index checked_product(Index count, Index each) {
    if (each != 0 && count > std::numeric_limits<Index>::max() / each) throw std::bad_alloc();
    return count * each;
}

inline Index checked_sum(Index a, Index b) {
    if (a > std::numeric_limits<Index>::max() - b) throw std::bad_alloc();
    return a + b;
}

// A size counted in 64 bits, which no count of this module's elements can
// exceed, as a size of this machine.
inline Index checked_size(std::uint64_t size) {
    if (size > std::numeric_limits<Index>::max()) throw std::bad_alloc();
    return static_cast<Index>(size);
}

inline Index width(const Rows& rows) noexcept { return rows.empty() ? 0 : rows[0].size(); }

// Position of the first element equal to exactly 1 in [from, to), or `to`.
inline Index find_one(const Row& row, Index from, Index to) noexcept {
    if (from >= to) return to;
    const void* found = std::memchr(row.data() + from, 1, to - from);
    return found == nullptr ? to : static_cast<Index>(static_cast<const Byte*>(found) - row.data());
}

// Leading one: the first element equal to exactly 1, if any.
inline std::optional<Index> leading_one(const Row& row) noexcept {
    const Index col = find_one(row, 0, row.size());
    return col < row.size() ? std::optional<Index>(col) : std::nullopt;
}

}  // namespace zendrik
