// Numbers as patch files hold them, whatever the machine's own order: most
// formats write them low byte first, IPS high byte first.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace zelk {

// `count` bytes (up to 8), low byte first.
inline std::uint64_t ReadLe(const std::uint8_t* bytes, unsigned count) {
    std::uint64_t value = 0;
    for (unsigned i = count; i-- > 0;) value = value << 8 | bytes[i];
    return value;
}
inline std::uint16_t ReadLe16(const std::uint8_t* bytes) { return static_cast<std::uint16_t>(ReadLe(bytes, 2)); }
inline std::uint32_t ReadLe32(const std::uint8_t* bytes) { return static_cast<std::uint32_t>(ReadLe(bytes, 4)); }

// The low `count` bytes of `value` (up to 8), low byte first.
inline void PutLe(std::uint8_t* at, std::uint64_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline void PutLe32(std::uint8_t* at, std::uint64_t value) { PutLe(at, value, 4); }

// The same, high byte first.
inline void PutBe(std::uint8_t* at, std::uint64_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * (count - 1 - i)));
}

// Eight bytes as one little-endian word, for comparing and hashing eight at
// a time: the first byte in memory is the lowest.
inline std::uint64_t Load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

}  // namespace zelk
