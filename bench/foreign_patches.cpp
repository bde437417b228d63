// Writes the linear BPS (SourceRead and TargetRead), IPS32 and UPS patches
// of a pair, position by position, for the benchmark's apply rows: the
// same change in each format as in the ZelkPatch of the pair.
// Usage: zelk-bench-foreign ORIGINAL CHANGED PREFIX  (writes PREFIX.bps .ips .ups)
#include <cstdio>
#include <string>
#include <vector>

#include "../tests/format_models.h"
#include "bench_files.h"
#include "host/crc32.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using zelk::test::model::PutLe32;
using zelk::test::model::PutNumber;

std::uint32_t Crc(const Bytes& b) { return zelk::Crc32(0, b); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: zelk-bench-foreign ORIGINAL CHANGED PREFIX\n");
        return 2;
    }
    const Bytes a = zelk::bench::ReadAll(argv[1]), b = zelk::bench::ReadAll(argv[2]);
    const auto at = [&](std::size_t i) -> std::uint8_t { return i < a.size() ? a[i] : 0; };
    Bytes bps = {'B', 'P', 'S', '1'}, ips = {'I', 'P', 'S', '3', '2'}, ups = {'U', 'P', 'S', '1'};
    PutNumber(bps, a.size());
    PutNumber(bps, b.size());
    PutNumber(bps, 0);
    PutNumber(ups, a.size());
    PutNumber(ups, b.size());
    std::size_t i = 0;
    while (i < b.size()) {
        std::size_t same = i;
        while (same < b.size() && same < a.size() && a[same] == b[same]) ++same;
        if (same > i) PutNumber(bps, (same - i - 1) << 2 | 0);
        std::size_t differ = same;
        while (differ < b.size() && (differ >= a.size() || a[differ] != b[differ])) ++differ;
        if (differ > same) {
            PutNumber(bps, (differ - same - 1) << 2 | 1);
            bps.insert(bps.end(), b.begin() + static_cast<std::ptrdiff_t>(same), b.begin() + static_cast<std::ptrdiff_t>(differ));
            for (std::size_t r = same; r < differ; r += 0xFFFF) {
                const std::size_t n = std::min<std::size_t>(0xFFFF, differ - r);
                for (int k = 3; k >= 0; --k) ips.push_back(static_cast<std::uint8_t>(r >> (8 * k)));
                ips.push_back(static_cast<std::uint8_t>(n >> 8));
                ips.push_back(static_cast<std::uint8_t>(n));
                ips.insert(ips.end(), b.begin() + static_cast<std::ptrdiff_t>(r), b.begin() + static_cast<std::ptrdiff_t>(r + n));
            }
        }
        i = differ;
    }
    // UPS: past the original, bytes differ from zeros.
    for (std::size_t r = 0, last = 0; r < b.size();) {
        if (at(r) == b[r]) {
            ++r;
            continue;
        }
        PutNumber(ups, r - last);
        for (; r < b.size() && at(r) != b[r]; ++r) ups.push_back(at(r) ^ b[r]);
        ups.push_back(0);
        last = ++r;
    }
    for (const char c : std::string("EEOF")) ips.push_back(static_cast<std::uint8_t>(c));
    PutLe32(bps, Crc(a));
    PutLe32(bps, Crc(b));
    PutLe32(bps, Crc(bps));
    PutLe32(ups, Crc(a));
    PutLe32(ups, Crc(b));
    PutLe32(ups, Crc(ups));
    const std::string prefix = argv[3];
    using zelk::bench::WriteAll;
    return WriteAll(prefix + ".bps", bps) && WriteAll(prefix + ".ips", ips) && WriteAll(prefix + ".ups", ups) ? 0 : 1;
}
