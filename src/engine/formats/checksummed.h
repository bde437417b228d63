// The formats whose patch ends with three CRC-32s (source, target, the
// patch itself) and whose numbers take seven bits a byte, low first, the
// last byte marked by its top bit, each longer form starting where the
// shorter ones end (UPS, BPS).
#pragma once

#include <cstdint>
#include <span>

#include "engine/byte_reader.h"
#include "engine/formats/identity.h"
#include "host/file_services.h"

namespace zelk {

namespace checksummed {

inline constexpr std::uint64_t kFooterSize = 12;
// What such a patch states before its body and in its footer.
struct Head {
    Stated stated;
    std::uint32_t patchCrc = 0;
    std::uint64_t bodyEnd = 0;  // where the footer starts
};
// Reads the footer, holding the patch to its own CRC-32 first (a damaged or
// cut file says so plainly), then the two sizes from `reader`, which starts
// right after the magic and is left after them.
Head ReadHead(InputFile& patch, ByteReader& reader, std::size_t bufferSize);
// A number, which must end before `end`.
std::uint64_t ReadNumber(ByteReader& reader, std::uint64_t end);
// The same, written into `out`, which has room for kMaxNumberBytes; returns
// how many bytes it took.
inline constexpr std::size_t kMaxNumberBytes = 10;
std::size_t EncodeNumber(std::uint64_t value, std::uint8_t* out);

// Such a patch's bytes as they are written, with their CRC-32.
class Writer {
public:
    explicit Writer(OutputFile& out) : out_(out) {}
    void Put(std::span<const std::uint8_t> bytes);
    void Number(std::uint64_t value);
    void Le32(std::uint32_t value);
    // The two files' CRC-32s, then the patch's own.
    void Footer(std::uint32_t sourceCrc, std::uint32_t targetCrc);

private:
    OutputFile& out_;
    std::uint32_t crc_ = 0;
};

}  // namespace checksummed

}  // namespace zelk
