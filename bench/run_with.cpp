// zelkpatch with buffer sizes and flushing chosen on the command line, so
// the benchmark can draw the curve that the built-in choice rests on and
// show what the flush to disk costs.
// Usage: zelk-bench-run SCAN_KIB STREAM_KIB sync|nosync ZELKPATCH_ARGS...
// (0 0 for the sizes the program chooses), or zelk-bench-run sizes, or
// zelk-bench-run crc (each CRC-32 this machine can run, in GB/s).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "host/console_host.h"
#include "host/crc32.h"

namespace {

class BenchHost : public zelk::ConsoleHost {
public:
    explicit BenchHost(bool flush) : flush_(flush) {}
    int FlushToDisk(NativeFile file) override { return flush_ ? ConsoleHost::FlushToDisk(file) : 0; }

private:
    bool flush_;
};

// GB/s of each CRC-32 over 256 MiB in the cache's way, the best of three.
void CrcSpeeds() {
    std::vector<std::uint8_t> data(256u << 20);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
    std::vector<std::pair<std::string, std::uint32_t (*)(std::uint32_t, std::span<const std::uint8_t>)>> ways = {
        {std::string("chosen (") + zelk::Crc32Method() + ")", zelk::Crc32}, {"slicing by 8", zelk::Crc32Portable}};
#if defined(__x86_64__) || defined(__i386__)
    if (zelk::ClmulAvailable()) ways.push_back({"PCLMULQDQ folding", zelk::Crc32Clmul});
#endif
    for (const auto& [name, crc] : ways) {
        double best = 1e9;
        for (int run = 0; run < 3; ++run) {
            const auto start = std::chrono::steady_clock::now();
            volatile std::uint32_t sink = crc(0, data);
            (void)sink;
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        std::printf("%s\t%.1f\n", name.c_str(), static_cast<double>(data.size()) / best / 1e9);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "sizes") {
        const zelk::BufferSizes chosen = BenchHost(true).Buffers();
        std::printf("%zu %zu\n", chosen.scan / 1024, chosen.stream / 1024);
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "crc") {
        CrcSpeeds();
        return 0;
    }
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s SCAN_KIB STREAM_KIB sync|nosync ZELKPATCH_ARGS...\n", argv[0]);
        return 2;
    }
    zelk::PrepareProcess();
    BenchHost host(std::string(argv[3]) == "sync");
    const zelk::BufferSizes sizes{std::strtoul(argv[1], nullptr, 10) * 1024, std::strtoul(argv[2], nullptr, 10) * 1024};
    if (sizes.scan != 0 && sizes.stream != 0) host.buffers = sizes;
    return host.Finish(zelk::RunCommandLine({argv + 4, argv + argc}, host, stdin, stderr));
}
