#include "engine/formats/target_writer.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_reader.h"
#include "host/crc32.h"

namespace zelk {

TargetWriter::TargetWriter(OutputFile& output, std::uint64_t base, std::size_t recent)
    : output_(output), base_(base), recent_(recent), scratch_(kChunk) {}

void TargetWriter::Put(std::span<const std::uint8_t> bytes) {
    crc_ = Crc32(crc_, bytes);
    output_.Append(bytes);
    if (!recent_.empty()) Remember(bytes);
    size_ += bytes.size();
}

void TargetWriter::Copy(std::uint64_t from, std::uint64_t length) {
    const std::uint64_t distance = size_ - from;
    while (length > 0) {
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, scratch_.size()));
        const auto known = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, distance));
        Recall(from, {scratch_.data(), known});
        for (std::size_t i = known; i < chunk; ++i) scratch_[i] = scratch_[i - known];
        Put({scratch_.data(), chunk});
        from += chunk;
        length -= chunk;
    }
}

// The byte at result position p lives at recent_[p % size].
void TargetWriter::Remember(std::span<const std::uint8_t> bytes) {
    std::uint64_t pos = size_;
    if (bytes.size() > recent_.size()) {
        pos += bytes.size() - recent_.size();
        bytes = bytes.last(recent_.size());
    }
    auto at = static_cast<std::size_t>(pos % recent_.size());
    while (!bytes.empty()) {
        const std::size_t piece = std::min(bytes.size(), recent_.size() - at);
        std::memcpy(recent_.data() + at, bytes.data(), piece);
        bytes = bytes.subspan(piece);
        at = 0;
    }
}

// Bytes written before: from memory where they are recent enough, else
// from the output itself.
void TargetWriter::Recall(std::uint64_t from, std::span<std::uint8_t> into) {
    if (size_ - from > recent_.size()) {
        output_.ReadBack(base_ + from, into);
        return;
    }
    auto at = static_cast<std::size_t>(from % recent_.size());
    while (!into.empty()) {
        const std::size_t piece = std::min(into.size(), recent_.size() - at);
        std::memcpy(into.data(), recent_.data() + at, piece);
        into = into.subspan(piece);
        at = 0;
    }
}

}  // namespace zelk
