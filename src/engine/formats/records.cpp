#include "engine/formats/records.h"

#include <algorithm>

#include "engine/byte_reader.h"

namespace zelk {

InOrderRecords::InOrderRecords(InputFile& original, OutputFile& output, const BufferSizes& sizes, std::uint64_t result)
    : original_(original), window_(original, sizes.stream), output_(output), base_(output.Size()), sizes_(sizes),
      result_(result), scratch_(kChunk) {}

void InOrderRecords::FillTo(std::uint64_t to) {
    to = std::min(to, result_);
    if (to <= at_) return;
    const std::uint64_t n = original_.Size();
    if (to - at_ >= sizes_.copyGap) {
        if (at_ < n) output_.AppendFrom(original_, at_, std::min(to, n) - at_);
        output_.ExtendTo(base_ + to);
        at_ = to;
        return;
    }
    while (at_ < to) {
        if (at_ < n) {
            const auto piece = window_.At(at_, std::min(to, n) - at_);
            output_.Append(piece);
            at_ += piece.size();
        } else {
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(to - at_, scratch_.size()));
            std::fill_n(scratch_.begin(), count, 0);
            output_.Append({scratch_.data(), count});
            at_ += count;
        }
    }
}

std::uint64_t InOrderRecords::Kept(std::uint64_t offset, std::uint64_t length) const {
    return offset < result_ ? std::min(length, result_ - offset) : 0;
}

void InOrderRecords::Data(std::uint64_t offset, std::uint64_t size, ByteReader& reader) {
    FillTo(offset);
    const std::uint64_t kept = Kept(offset, size);
    TakePieces(reader, kept, [&](std::span<const std::uint8_t> piece) { output_.Append(piece); });
    reader.Skip(size - kept);
    at_ = std::max(at_, offset + kept);
}

void InOrderRecords::Run(std::uint64_t offset, std::uint64_t count, std::uint8_t byte) {
    FillTo(offset);
    const std::uint64_t kept = Kept(offset, count);
    std::fill_n(scratch_.begin(), std::min<std::uint64_t>(kept, scratch_.size()), byte);
    for (std::uint64_t left = kept; left > 0;) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, scratch_.size()));
        output_.Append({scratch_.data(), piece});
        left -= piece;
    }
    at_ = std::max(at_, offset + kept);
}

AnyOrderRecords::AnyOrderRecords(OutputFile& output, std::uint64_t base, std::uint64_t result)
    : output_(output), base_(base), result_(result), scratch_(kChunk) {}

void AnyOrderRecords::Data(std::uint64_t offset, std::uint64_t size, ByteReader& reader) {
    std::uint64_t at = offset;
    TakePieces(reader, size, [&](std::span<const std::uint8_t> piece) {
        if (at < result_)
            output_.WriteAt(base_ + at, piece.first(static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), result_ - at))));
        at += piece.size();
    });
}

void AnyOrderRecords::Run(std::uint64_t offset, std::uint64_t count, std::uint8_t byte) {
    std::fill(scratch_.begin(), scratch_.end(), byte);
    for (std::uint64_t at = offset; at < std::min(offset + count, result_);) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(std::min(offset + count, result_) - at, kChunk));
        output_.WriteAt(base_ + at, {scratch_.data(), piece});
        at += piece;
    }
}

}  // namespace zelk
