// The matrix core. Nothing here knows about Python; the only ways out other
// than a normal return are a Panic and std::bad_alloc.
#include "matrix/matrix.hpp"

#include "matrix/byte_rows.hpp"
#include "matrix/checks.hpp"

#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zendrik {

// --- The log's storage

// A 4096 x 4096 reduction logs 64 MB. Faulted in one 4 KB page at a time, it
// would cost about as much as the elimination itself, so blocks of whole huge
// pages are aligned to them and offered to the kernel for huge pages.
OpLog::Block OpLog::allocate_block(Index size) {
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    const std::size_t bytes = checked_product(size, sizeof(std::uint64_t));
    const std::align_val_t alignment{bytes >= huge_page ? huge_page : alignof(std::uint64_t)};
    Block block(static_cast<std::uint64_t*>(::operator new(bytes, alignment)), BlockFree{alignment});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= huge_page) madvise(block.get(), bytes, MADV_HUGEPAGE);  // only advice: failure is harmless
#endif
    return block;
}

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

namespace {

// ", " and the decimal digits of each byte value, so that every element after
// the first of a row is one copy of a short entry.
struct ElementTexts {
    char text[256][6];
    unsigned char length[256];
    constexpr ElementTexts() : text{}, length{} {
        for (unsigned v = 0; v < 256; ++v) {
            char* out = text[v];
            unsigned n = 0;
            out[n++] = ',';
            out[n++] = ' ';
            if (v >= 100) out[n++] = static_cast<char>('0' + v / 100);
            if (v >= 10) out[n++] = static_cast<char>('0' + v / 10 % 10);
            out[n++] = static_cast<char>('0' + v % 10);
            length[v] = static_cast<unsigned char>(n);
        }
    }
};
constexpr ElementTexts element_texts;

}  // namespace

std::string text_form(const Matrix& m) {
    Index size = 2;  // "[]"
    for (const Row& row : m.rows) {
        size += 4;  // ", [" and "]" (the first row has no ", ", the last element none)
        for (const Byte b : row) size += element_texts.length[b];
    }
    std::string text;
    text.reserve(size);
    text += '[';
    for (Index i = 0; i < m.rows.size(); ++i) {
        text += i == 0 ? "[" : ", [";
        const Row& row = m.rows[i];
        for (Index j = 0; j < row.size(); ++j) {
            const unsigned skip = j == 0 ? 2 : 0;  // no ", " before the first element
            text.append(element_texts.text[row[j]] + skip, element_texts.length[row[j]] - skip);
        }
        text += ']';
    }
    text += ']';
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

// --- Rank (the kernel is with the reductions)

Index rank(const Matrix& m) {
    std::vector<bool> seen;  // leading columns met so far
    Index count = 0;
    for (const Row& row : m.rows) {
        const std::optional<Index> j = leading_one(row);
        if (!j) continue;
        if (*j >= seen.size()) seen.resize(*j + 1);
        if (!seen[*j]) {
            seen[*j] = true;
            ++count;
        }
    }
    return count;
}

}  // namespace zendrik
