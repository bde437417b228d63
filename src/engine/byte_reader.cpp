#include "engine/byte_reader.h"

#include <algorithm>

namespace zelk {

// A small file gets a buffer of its own size, not a full one.
ByteReader::ByteReader(InputFile& file, std::uint64_t position, std::size_t bufferSize)
    : file_(file),
      buffer_(static_cast<std::size_t>(
          std::clamp<std::uint64_t>(file.Size() > position ? file.Size() - position : 0, 1, bufferSize))),
      position_(position) {}

void ByteReader::Fill() {
    bufferPos_ = position_;
    bufferLength_ = file_.ReadAt(position_, buffer_);
}

std::span<const std::uint8_t> ByteReader::Next(std::size_t max) {
    if (position_ < bufferPos_ || position_ >= bufferPos_ + bufferLength_) Fill();
    const std::size_t at = static_cast<std::size_t>(position_ - bufferPos_);
    const std::size_t count = std::min(max, bufferLength_ - at);
    if (count == 0 && max > 0) throw ShrankWhileRead(file_);
    position_ += count;
    return {buffer_.data() + at, count};
}

void ByteReader::ReadAcross(std::span<std::uint8_t> out) {
    while (!out.empty()) {
        const auto piece = Next(out.size());
        std::memcpy(out.data(), piece.data(), piece.size());
        out = out.subspan(piece.size());
    }
}

}  // namespace zelk
