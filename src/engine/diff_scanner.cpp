#include "engine/diff_scanner.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "engine/byte_order.h"
#include "host/file_services.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelk {

namespace {

int LowestByte(std::uint64_t mask) { return std::countr_zero(mask) / 8; }

}  // namespace

std::size_t FirstDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t i, std::size_t size) {
#if defined(__SSE2__)
    // Equal stretches are the common case: 64 bytes a step.
    while (i + 64 <= size) {
        __m128i e0 = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
        __m128i e1 = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i + 16)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 16)));
        __m128i e2 = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i + 32)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 32)));
        __m128i e3 = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i + 48)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 48)));
        const __m128i all = _mm_and_si128(_mm_and_si128(e0, e1), _mm_and_si128(e2, e3));
        if (_mm_movemask_epi8(all) != 0xFFFF) {
            const std::uint64_t mask = static_cast<std::uint32_t>(_mm_movemask_epi8(e0)) |
                                       (static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(e1))) << 16) |
                                       (static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(e2))) << 32) |
                                       (static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(e3))) << 48);
            return i + std::countr_zero(~mask);
        }
        i += 64;
    }
#endif
    while (i + 8 <= size) {
        const std::uint64_t x = Load64(a + i) ^ Load64(b + i);
        if (x != 0) return i + LowestByte(x);
        i += 8;
    }
    while (i < size && a[i] == b[i]) ++i;
    return i;
}

std::size_t FirstEqual(const std::uint8_t* a, const std::uint8_t* b, std::size_t i, std::size_t size) {
#if defined(__SSE2__)
    while (i + 16 <= size) {
        const __m128i eq = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)),
                                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
        const int mask = _mm_movemask_epi8(eq);
        if (mask != 0) return i + std::countr_zero(static_cast<unsigned>(mask));
        i += 16;
    }
#endif
    constexpr std::uint64_t kLow = 0x0101010101010101ull;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    while (i + 8 <= size) {
        // A zero byte in the XOR is an equal pair; the lowest one is exact.
        const std::uint64_t x = Load64(a + i) ^ Load64(b + i);
        const std::uint64_t zero = (x - kLow) & ~x & kHigh;
        if (zero != 0) return i + LowestByte(zero);
        i += 8;
    }
    while (i < size && a[i] != b[i]) ++i;
    return i;
}

void DiffScanner::Feed(std::span<const std::uint8_t> original, std::span<const std::uint8_t> changed) {
    const std::size_t size = original.size();
    const std::uint8_t* a = original.data();
    const std::uint8_t* b = changed.data();
    std::size_t i = 0;
    while (i < size) {
        if (!inRun_) {
            i = FirstDifference(a, b, i, size);
            if (i == size) break;
            sink_.RunBegin(position_ + i);
            inRun_ = true;
        }
        const std::size_t end = FirstEqual(a, b, i, size);
        if (end > i) sink_.RunBytes(changed.subspan(i, end - i));
        i = end;
        if (i < size) {
            sink_.RunEnd();
            inRun_ = false;
        }
    }
    position_ += size;
}

void ScanFiles(InputFile& original, InputFile& changed, std::uint64_t length, std::size_t chunk, DiffSink& sink) {
    DiffScanner scanner(sink);
    original.ExpectSequential();
    changed.ExpectSequential();
    chunk = static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(chunk, length)));
    std::vector<std::uint8_t> a(chunk), b(chunk);
    for (std::uint64_t at = 0; at < length; at += chunk) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, length - at));
        original.ReadExactly(at, {a.data(), size});
        changed.ReadExactly(at, {b.data(), size});
        scanner.Feed({a.data(), size}, {b.data(), size});
    }
    scanner.Finish();
}

void ScanFilesAndTail(InputFile& original, InputFile& changed, std::size_t chunk, DiffSink& sink) {
    const std::uint64_t n = original.Size(), m = changed.Size();
    ScanFiles(original, changed, std::min(n, m), chunk, sink);
    if (m <= n) return;
    sink.RunBegin(n);
    std::vector<std::uint8_t> tail(std::max<std::size_t>(chunk, 1));
    for (std::uint64_t at = n; at < m; at += tail.size()) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(tail.size(), m - at));
        changed.ReadExactly(at, {tail.data(), size});
        sink.RunBytes({tail.data(), size});
    }
    sink.RunEnd();
}

void ShortRecords::RunBytes(std::span<const std::uint8_t> changed) {
    while (!changed.empty()) {
        const std::size_t take = std::min(changed.size(), most_ - pending_.size());
        pending_.insert(pending_.end(), changed.begin(), changed.begin() + static_cast<std::ptrdiff_t>(take));
        changed = changed.subspan(take);
        if (pending_.size() == most_) Flush();
    }
}

void ShortRecords::Flush() {
    if (pending_.empty()) return;
    Write(at_, pending_);
    at_ += pending_.size();
    pending_.clear();
}

void DiffScanner::Finish() {
    if (inRun_) sink_.RunEnd();
    inRun_ = false;
}

}  // namespace zelk
