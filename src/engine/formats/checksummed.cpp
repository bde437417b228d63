#include "engine/formats/checksummed.h"

#include "engine/byte_order.h"
#include "engine/byte_reader.h"
#include "engine/file_hashes.h"
#include "engine/formats/format.h"
#include "engine/user_texts.h"
#include "host/crc32.h"

namespace zelk {

checksummed::Head checksummed::ReadHead(InputFile& patch, ByteReader& reader, std::size_t bufferSize) {
    const std::uint64_t fileLength = patch.Size();
    if (fileLength < reader.Position() + 2 + kFooterSize) throw Damage{text::CutShort()};
    std::uint8_t footer[kFooterSize];
    patch.ReadExactly(fileLength - kFooterSize, footer);
    Head head;
    head.stated.sourceCrc = ReadLe32(footer);
    head.stated.targetCrc = ReadLe32(footer + 4);
    head.patchCrc = ReadLe32(footer + 8);
    const std::uint32_t crc = CrcOfFirst(patch, fileLength - 4, bufferSize);
    if (crc != head.patchCrc) throw Damage{text::PatchCrcWrong(crc, head.patchCrc)};
    head.bodyEnd = fileLength - kFooterSize;
    head.stated.sourceSize = ReadNumber(reader, head.bodyEnd);
    head.stated.targetSize = ReadNumber(reader, head.bodyEnd);
    return head;
}

std::uint64_t checksummed::ReadNumber(ByteReader& reader, std::uint64_t end) {
    const std::uint64_t at = reader.Position();
    std::uint64_t value = 0;
    std::uint64_t shift = 1;
    for (;;) {
        if (reader.Position() >= end) throw Damage{text::CutShortAt(at)};
        const std::uint8_t byte = ReadByte(reader);
        value += (byte & 0x7Fu) * shift;  // shift <= 2^53: no overflow
        if (byte & 0x80) break;
        shift <<= 7;
        value += shift;
        if (shift > kMaxExactSize || value > kMaxExactSize) throw Damage{text::NumberTooLarge(at)};
    }
    if (value > kMaxExactSize) throw Damage{text::NumberTooLarge(at)};
    return value;
}

void checksummed::Writer::Put(std::span<const std::uint8_t> bytes) {
    crc_ = Crc32(crc_, bytes);
    out_.Append(bytes);
}

void checksummed::Writer::Number(std::uint64_t v) {
    std::uint8_t bytes[kMaxNumberBytes];
    Put({bytes, EncodeNumber(v, bytes)});
}

void checksummed::Writer::Le32(std::uint32_t v) {
    std::uint8_t bytes[4];
    PutLe32(bytes, v);
    Put(bytes);
}

void checksummed::Writer::Footer(std::uint32_t sourceCrc, std::uint32_t targetCrc) {
    Le32(sourceCrc);
    Le32(targetCrc);
    Le32(crc_);
}

std::size_t checksummed::EncodeNumber(std::uint64_t v, std::uint8_t* out) {
    std::size_t n = 0;
    for (;;) {
        const auto x = static_cast<std::uint8_t>(v & 0x7F);
        v >>= 7;
        if (v == 0) {
            out[n++] = 0x80 | x;
            return n;
        }
        out[n++] = x;
        --v;
    }
}

}  // namespace zelk
