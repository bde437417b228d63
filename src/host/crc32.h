// CRC-32 (the one of zip, PNG, UPS and BPS: reflected 0xEDB88320), at the
// speed each platform allows: BPS and UPS patches carry the checksums of
// whole ROMs, so every apply and check reads gigabytes through it.
#pragma once

#include <cstdint>
#include <span>

namespace zelk {

// Continues `crc` (0 to start) over `bytes`, as zlib's crc32 does.
std::uint32_t Crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes);
// Continues `adler` (1 to start) over `bytes`: the Adler-32 of zlib and VCDIFF.
std::uint32_t Adler32(std::uint32_t adler, std::span<const std::uint8_t> bytes);
// Which implementation Crc32 uses on this machine, for the benchmark.
const char* Crc32Method();

// The implementations a platform may choose from, each for the tests.
std::uint32_t Crc32Portable(std::uint32_t crc, std::span<const std::uint8_t> bytes);
#if defined(__x86_64__) || defined(__i386__)
// Carry-less multiplication (PCLMULQDQ); only where ClmulAvailable().
std::uint32_t Crc32Clmul(std::uint32_t crc, std::span<const std::uint8_t> bytes);
bool ClmulAvailable();
#endif

}  // namespace zelk
