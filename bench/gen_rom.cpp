// Writes a deterministic ROM-like pair for the benchmark: the original is
// 32 KiB banks of random bytes or 0x00 / 0xFF padding; the changed copy has
// clustered runs of 1 to 64 changed bytes making up the given share of the
// file, optionally new bytes inserted in the middle, and a longer tail.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_files.h"

namespace {

struct SplitMix {
    std::uint64_t state;
    std::uint64_t Next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7 && argc != 8) {
        std::fprintf(stderr, "usage: gen_rom SIZE_MIB PERMILLE_CHANGED TAIL_BYTES SEED ORIGINAL CHANGED [INSERTED_BYTES]\n");
        return 2;
    }
    const std::size_t size = std::strtoull(argv[1], nullptr, 10) << 20;
    const double share = std::strtod(argv[2], nullptr) / 1000.0;
    const std::size_t tail = std::strtoull(argv[3], nullptr, 10);
    SplitMix rng{std::strtoull(argv[4], nullptr, 10)};

    std::vector<std::uint8_t> original(size);
    constexpr std::size_t kBank = 32 * 1024;
    for (std::size_t bank = 0; bank < size; bank += kBank) {
        const std::uint64_t kind = rng.Next() % 10;
        const std::size_t end = std::min(size, bank + kBank);
        if (kind == 0 || kind == 1) {
            std::fill(original.begin() + static_cast<std::ptrdiff_t>(bank), original.begin() + static_cast<std::ptrdiff_t>(end),
                      kind == 0 ? 0x00 : 0xFF);
        } else {
            for (std::size_t i = bank; i < end; i += 8) {
                const std::uint64_t v = rng.Next();
                for (std::size_t k = 0; k < 8 && i + k < end; ++k) original[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
            }
        }
    }
    std::vector<std::uint8_t> changed = original;
    const auto target = static_cast<std::size_t>(static_cast<double>(size) * share);
    for (std::size_t done = 0; done < target && size > 0;) {
        const std::size_t at = rng.Next() % size;
        const std::size_t length = std::min<std::size_t>(1 + rng.Next() % 64, size - at);
        for (std::size_t i = at; i < at + length; ++i) changed[i] = static_cast<std::uint8_t>(original[i] + 1 + rng.Next() % 255);
        done += length;
    }
    // New bytes in the middle shift everything behind them, as text that
    // grew in a translation does.
    const std::size_t inserted = argc == 8 ? std::strtoull(argv[7], nullptr, 10) : 0;
    std::vector<std::uint8_t> insert(inserted);
    for (auto& b : insert) b = static_cast<std::uint8_t>(rng.Next());
    changed.insert(changed.begin() + static_cast<std::ptrdiff_t>(size / 2), insert.begin(), insert.end());
    for (std::size_t i = 0; i < tail; ++i) changed.push_back(static_cast<std::uint8_t>(rng.Next()));
    if (!zelk::bench::WriteAll(argv[5], original) || !zelk::bench::WriteAll(argv[6], changed)) {
        std::perror("gen_rom");
        return 1;
    }
    return 0;
}
