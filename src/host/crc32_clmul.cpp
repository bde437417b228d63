// CRC-32 by folding with carry-less multiplication: four 128-bit lanes are
// folded 64 bytes ahead at a time, then into one lane, then reduced to 32
// bits (Barrett). Each constant is x^k mod P for the fold's distance k, bit
// reflected as the CRC is. Where the processor lacks PCLMULQDQ, the tables.
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "host/crc32.h"

namespace zelk {
namespace {

#define ZELK_CLMUL __attribute__((target("pclmul,sse2")))

ZELK_CLMUL inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

ZELK_CLMUL inline __m128i Load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// `c` is the register's state (not inverted); `n` a multiple of 16, at least 64.
ZELK_CLMUL std::uint32_t FoldBlocks(std::uint32_t c, const std::uint8_t* p, std::size_t n) {
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);  // 512 bits on
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);  // 128 bits on
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);              // 64 bits on
    const __m128i barrett = _mm_set_epi64x(0x1F7011641, 0x1DB710641);  // mu, P
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i x0 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(c)));
    __m128i x1 = Load(p + 16), x2 = Load(p + 32), x3 = Load(p + 48);
    p += 64;
    n -= 64;
    for (; n >= 64; p += 64, n -= 64) {
        x0 = Fold(x0, k1k2, Load(p));
        x1 = Fold(x1, k1k2, Load(p + 16));
        x2 = Fold(x2, k1k2, Load(p + 32));
        x3 = Fold(x3, k1k2, Load(p + 48));
    }
    x0 = Fold(x0, k3k4, x1);
    x0 = Fold(x0, k3k4, x2);
    x0 = Fold(x0, k3k4, x3);
    for (; n >= 16; p += 16, n -= 16) x0 = Fold(x0, k3k4, Load(p));

    // 128 bits to 96, to 64, then the remainder of the division by P.
    __m128i x = _mm_xor_si128(_mm_clmulepi64_si128(x0, k3k4, 0x10), _mm_srli_si128(x0, 8));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, mask32), k5, 0x00), _mm_srli_si128(x, 4));
    __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), barrett, 0x10);
    q = _mm_clmulepi64_si128(_mm_and_si128(q, mask32), barrett, 0x00);
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(_mm_xor_si128(q, x), 4)));
}

}  // namespace

bool ClmulAvailable() {
    static const bool available = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return available;
}

std::uint32_t Crc32Clmul(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 64) return Crc32Portable(crc, bytes);
    const std::size_t folded = bytes.size() & ~std::size_t{15};
    const std::uint32_t state = FoldBlocks(~crc, bytes.data(), folded);
    return Crc32Portable(~state, bytes.subspan(folded));
}

}  // namespace zelk

#endif
