// Which CRC-32 this platform runs: libdeflate where the system has it (it
// picks the widest carry-less multiply the processor offers), else our own
// folding where the processor can multiply without carries, else tables.
#include "host/crc32.h"

#include <libdeflate.h>

namespace zelk {

std::uint32_t Crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
#ifdef ZELK_CRC_LIBDEFLATE
    return libdeflate_crc32(crc, bytes.data(), bytes.size());
#elif defined(__x86_64__) || defined(__i386__)
    return ClmulAvailable() ? Crc32Clmul(crc, bytes) : Crc32Portable(crc, bytes);
#else
    return Crc32Portable(crc, bytes);
#endif
}

std::uint32_t Adler32(std::uint32_t adler, std::span<const std::uint8_t> bytes) {
    return libdeflate_adler32(adler, bytes.data(), bytes.size());
}

const char* Crc32Method() {
#ifdef ZELK_CRC_LIBDEFLATE
    return "libdeflate";
#elif defined(__x86_64__) || defined(__i386__)
    return ClmulAvailable() ? "PCLMULQDQ folding" : "slicing by 8";
#else
    return "slicing by 8";
#endif
}

}  // namespace zelk
