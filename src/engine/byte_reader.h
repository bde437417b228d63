// Reading a file front to back in small fields through a bounded buffer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "host/file_services.h"

namespace zelk {

// A sequential reader over an input file with a bounded buffer.
class ByteReader {
public:
    ByteReader(InputFile& file, std::uint64_t position, std::size_t bufferSize);
    // Fills `out` completely or throws FileError (the file changed under us).
    // Inline for the common case: a patch of a million blocks reads twice
    // that many small fields.
    void Read(std::span<std::uint8_t> out) {
        if (position_ >= bufferPos_ && position_ + out.size() <= bufferPos_ + bufferLength_) {
            std::memcpy(out.data(), buffer_.data() + (position_ - bufferPos_), out.size());
            position_ += out.size();
        } else {
            ReadAcross(out);
        }
    }
    // Hands out up to `max` bytes in place; valid until the next call.
    std::span<const std::uint8_t> Next(std::size_t max);
    void Skip(std::uint64_t count) { position_ += count; }
    // Goes back (or on) to `position`: a reader that took too much with Next.
    void Seek(std::uint64_t position) { position_ = position; }
    std::uint64_t Position() const { return position_; }

private:
    void Fill();
    void ReadAcross(std::span<std::uint8_t> out);
    InputFile& file_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t bufferPos_ = 0;  // file offset of buffer_[0]
    std::size_t bufferLength_ = 0;
    std::uint64_t position_;
};

// The pieces a patch is read and written in.
inline constexpr std::size_t kChunk = 64 * 1024;

// Hands `length` bytes of the reader to `take`, a piece at a time.
template <class Take>
void TakePieces(ByteReader& reader, std::uint64_t length, Take&& take) {
    while (length > 0) {
        const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(length, kChunk)));
        take(piece);
        length -= piece.size();
    }
}

inline std::uint8_t ReadByte(ByteReader& reader) {
    std::uint8_t byte = 0;
    reader.Read({&byte, 1});
    return byte;
}

}  // namespace zelk
