#include "engine/file_hashes.h"

#include <md5.h>
#include <sha1.h>

#include <algorithm>
#include <vector>

#include "engine/byte_reader.h"
#include "engine/user_texts.h"
#include "host/crc32.h"

namespace zelk {

std::uint32_t CrcOfFirst(InputFile& file, std::uint64_t length, std::size_t bufferSize) {
    std::uint32_t crc = 0;
    ByteReader reader(file, 0, bufferSize);
    for (std::uint64_t left = length; left > 0;) {
        const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(left, bufferSize)));
        crc = Crc32(crc, piece);
        left -= piece.size();
    }
    return crc;
}

struct HashingInput::State {
    MD5_CTX md5;
    SHA1_CTX sha1;
    std::uint32_t crc = 0;
};

HashingInput::HashingInput(InputFile& file) : file_(file), state_(std::make_unique<State>()) {
    MD5Init(&state_->md5);
    SHA1Init(&state_->sha1);
}

HashingInput::~HashingInput() = default;

void HashingInput::Feed(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    state_->crc = Crc32(state_->crc, bytes);
    MD5Update(&state_->md5, bytes.data(), bytes.size());
    SHA1Update(&state_->sha1, bytes.data(), bytes.size());
    hashed_ += bytes.size();
}

void HashingInput::CatchUp(std::uint64_t to) {
    to = std::min(to, file_.Size());
    if (hashed_ >= to) return;
    piece_.resize(std::max(piece_.size(), static_cast<std::size_t>(std::min<std::uint64_t>(to - hashed_, 1 << 20))));
    while (hashed_ < to) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(piece_.size(), to - hashed_));
        file_.ReadExactly(hashed_, {piece_.data(), size});
        Feed({piece_.data(), size});
    }
}

std::size_t HashingInput::ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    CatchUp(offset);
    const std::size_t got = file_.ReadAt(offset, buffer);
    if (offset <= hashed_ && offset + got > hashed_) Feed(std::span<const std::uint8_t>(buffer.first(got)).subspan(static_cast<std::size_t>(hashed_ - offset)));
    return got;
}

FileHashes HashingInput::Finish() {
    CatchUp(file_.Size());
    FileHashes hashes;
    hashes.size = hashed_;
    hashes.crc = state_->crc;
    MD5Final(hashes.md5.data(), &state_->md5);
    SHA1Final(hashes.sha1.data(), &state_->sha1);
    return hashes;
}

std::string text::HashLines(const FileHashes& hashes) {
    return "Size:   " + CountOf(hashes.size) + "\nCRC-32: " + Crc(hashes.crc) + "\nMD5:    " + Hex(hashes.md5) + "\nSHA-1:  " + Hex(hashes.sha1);
}

}  // namespace zelk
