// Word kernels for rows of packed bits: column j of a row is bit j % 64 of
// word j / 64, and every bit past the row's length is 0.
//
// Each kernel is written once over a `Lane`: a plain 64-bit word, or a vector
// of words through the compiler's vector extension, which the compiler lowers
// to whatever vector instructions the target has. A compiler without vector
// extensions gets plain arrays of words instead, which its optimiser may
// vectorise on its own. Rows are stored a whole number of `max_lane_words`
// long and aligned to it, so any lane width reads whole lanes. The tests run
// every kernel at every width.
#pragma once

#include "runtime/compiler.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zendrik::bits {

using Word = std::uint64_t;
using Byte = std::uint8_t;
inline constexpr std::size_t word_bits = 64;

using Lane64 = Word;
#ifdef ZENDRIK_GNU_EXTENSIONS
typedef Word Lane128 __attribute__((vector_size(16)));
typedef Word Lane256 __attribute__((vector_size(32)));
#else
template <std::size_t count>
struct WordArray {
    Word words[count];
    WordArray& operator^=(const WordArray& other) noexcept {
        for (std::size_t i = 0; i < count; ++i) words[i] ^= other.words[i];
        return *this;
    }
};
using Lane128 = WordArray<2>;
using Lane256 = WordArray<4>;
#endif

// Rows are padded and aligned for the widest lane.
inline constexpr std::size_t max_lane_words = sizeof(Lane256) / sizeof(Word);

template <typename Lane>
inline constexpr std::size_t lane_words = sizeof(Lane) / sizeof(Word);

// Rounded up without a sum that could wrap, for any column count.
inline constexpr std::size_t words_for(std::size_t columns) noexcept {
    return columns / word_bits + (columns % word_bits != 0);
}

// Words of a row of `columns` bits as stored: padded to whole widest lanes.
inline constexpr std::size_t stride_for(std::size_t columns) noexcept {
    const std::size_t words = words_for(columns);
    return (words / max_lane_words + (words % max_lane_words != 0)) * max_lane_words;
}

inline bool test_bit(const Word* row, std::size_t column) noexcept {
    return (row[column / word_bits] >> (column % word_bits)) & 1;
}

inline void set_bit(Word* row, std::size_t column, bool value) noexcept {
    const Word mask = Word{1} << (column % word_bits);
    row[column / word_bits] = value ? row[column / word_bits] | mask : row[column / word_bits] & ~mask;
}

// target[w] ^= source[w] for the words [first_word, words), where first_word
// is rounded down to a lane; `words` is a stride. target may equal source.
template <typename Lane>
inline void xor_into(Word* target, const Word* source, std::size_t first_word,
                     std::size_t words) noexcept {
    constexpr std::size_t step = lane_words<Lane>;
    // Lanes are copied in and out (no vector is passed or returned by value,
    // which would tie the calling convention to the vector width).
    for (std::size_t w = first_word / step * step; w < words; w += step) {
        Lane t, s;
        std::memcpy(&t, target + w, sizeof t);
        std::memcpy(&s, source + w, sizeof s);
        t ^= s;
        std::memcpy(target + w, &t, sizeof t);
    }
}

// target[w] ^= sources[0][w] ^ ... ^ sources[count - 1][w] for the words
// [0, words), in one pass over the target; `words` is a whole number of lanes.
template <typename Lane>
inline void xor_sum_into(Word* target, const Word* const* sources, std::size_t count,
                         std::size_t words) noexcept {
    constexpr std::size_t step = lane_words<Lane>;
    for (std::size_t w = 0; w < words; w += step) {
        Lane t, s;
        std::memcpy(&t, target + w, sizeof t);
        for (std::size_t k = 0; k < count; ++k) {
            std::memcpy(&s, sources[k] + w, sizeof s);
            t ^= s;
        }
        std::memcpy(target + w, &t, sizeof t);
    }
}

// Packs `columns` bytes into bits; false (with `out` half written) as soon as
// a byte other than 0 or 1 turns up. `out` holds words_for(columns) words.
inline bool pack(const Byte* bytes, std::size_t columns, Word* out) noexcept {
    constexpr Word high_bits = 0xFEFEFEFEFEFEFEFEull;
    constexpr bool little_endian = std::endian::native == std::endian::little;
    std::size_t j = 0;
    for (std::size_t w = 0; j < columns; ++w) {
        Word word = 0;
        const std::size_t end = columns - j < word_bits ? columns : j + word_bits;
        std::size_t bit = 0;
        for (; little_endian && j + 8 <= end; j += 8, bit += 8) {
            Word eight;
            std::memcpy(&eight, bytes + j, 8);
            if ((eight & high_bits) != 0) return false;
            // Gathers the low bit of each of the eight bytes (little-endian
            // byte i becomes bit i) into the top byte of the product.
            word |= ((eight * 0x0102040810204080ull) >> 56) << bit;
        }
        for (; j < end; ++j, ++bit) {
            if (bytes[j] > 1) return false;
            word |= Word{bytes[j]} << bit;
        }
        out[w] = word;
    }
    return true;
}

// Byte i of spread_bits[b] is bit i of b, as a byte 0 or 1 (little-endian).
inline constexpr auto spread_bits = [] {
    std::array<Word, 256> table{};
    for (std::size_t b = 0; b < 256; ++b)
        for (std::size_t i = 0; i < 8; ++i) table[b] |= Word{(b >> i) & 1} << (8 * i);
    return table;
}();

// Writes the first `columns` bits of `row` as bytes 0 and 1.
inline void unpack(const Word* row, std::size_t columns, Byte* out) noexcept {
    std::size_t j = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; j + 8 <= columns; j += 8)
            std::memcpy(out + j, &spread_bits[(row[j / word_bits] >> (j % word_bits)) & 0xFF], 8);
    }
    for (; j < columns; ++j) out[j] = static_cast<Byte>(test_bit(row, j));
}

}  // namespace zendrik::bits
