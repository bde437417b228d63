#include "host/buffered_output.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>

namespace zelk {

BufferedOutput::BufferedOutput(std::string path, std::size_t bufferSize)
    : path_(std::move(path)), bufferSize_(std::max<std::size_t>(bufferSize, 1)) {
    buffer_.reserve(bufferSize_);
}

void BufferedOutput::Put(const std::uint8_t* data, std::size_t size) {
    WriteRaw(data, size, bufferStart_);
    bufferStart_ += size;
    Written(bufferStart_);
}

void BufferedOutput::Flush() {
    Put(buffer_.data(), buffer_.size());
    buffer_.clear();
}

void BufferedOutput::Append(std::span<const std::uint8_t> bytes) {
    if (buffer_.size() + bytes.size() > bufferSize_) Flush();
    if (bytes.size() >= bufferSize_)
        Put(bytes.data(), bytes.size());
    else
        buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

// Past the bytes written, the buffer holds nothing to overwrite or read:
// a caller that asks for that is wrong, and is stopped before memory is.
void BufferedOutput::Within(std::uint64_t offset, std::size_t size) const {
    if (offset > Size() || size > Size() - offset) throw std::logic_error("an output was asked for bytes past its end");
}

void BufferedOutput::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    Within(offset, bytes.size());
    const std::uint64_t end = offset + bytes.size();
    // The part before the buffer is already in the file.
    if (offset < bufferStart_) {
        const auto direct = static_cast<std::size_t>(std::min(end, bufferStart_) - offset);
        WriteRaw(bytes.data(), direct, offset);
        bytes = bytes.subspan(direct);
        offset += direct;
    }
    if (!bytes.empty()) std::copy(bytes.begin(), bytes.end(), buffer_.begin() + (offset - bufferStart_));
}

void BufferedOutput::ReadBack(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    Within(offset, buffer.size());
    // The part before the buffer is in the file.
    if (offset < bufferStart_) {
        const auto direct = static_cast<std::size_t>(std::min<std::uint64_t>(bufferStart_ - offset, buffer.size()));
        ReadRaw(buffer.data(), direct, offset);
        buffer = buffer.subspan(direct);
        offset += direct;
    }
    if (!buffer.empty())
        std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(offset - bufferStart_), buffer.size(), buffer.begin());
}

void BufferedOutput::AppendFrom(InputFile& source, std::uint64_t offset, std::uint64_t length) {
    Flush();
    while (length > 0) {
        const std::uint64_t copied = CopyInSystem(source, offset, bufferStart_, length);
        if (copied == 0) break;
        offset += copied;
        length -= copied;
        bufferStart_ += copied;
        Written(bufferStart_);
    }
    std::vector<std::uint8_t> chunk;
    while (length > 0) {
        chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length, bufferSize_)));
        source.ReadExactly(offset, chunk);
        Put(chunk.data(), chunk.size());
        offset += chunk.size();
        length -= chunk.size();
    }
}

void BufferedOutput::ExtendTo(std::uint64_t size) {
    Flush();
    if (size <= bufferStart_) return;
    Resize(size);
    bufferStart_ = size;
}

std::string TemporaryName(const std::string& targetName, std::size_t maxLength) {
    static std::mt19937 random(std::random_device{}());
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
    constexpr std::size_t kAdded = 1 + 6 + 8;  // ".", ".zelk-", the suffix
    std::size_t keep = targetName.size();
    if (keep + kAdded > maxLength) {
        keep = maxLength > kAdded ? maxLength - kAdded : 0;
        while (keep > 0 && (static_cast<unsigned char>(targetName[keep]) & 0xC0) == 0x80) --keep;
    }
    std::string name = ".";
    name.append(targetName, 0, keep);
    name += ".zelk-";
    name += suffix;
    return name;
}

}  // namespace zelk
