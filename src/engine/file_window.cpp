#include "engine/file_window.h"

#include <algorithm>

namespace zelk {

namespace {

constexpr std::size_t kSmallRead = 4 << 10;

}  // namespace

FileWindow::FileWindow(InputFile& file, std::size_t size, std::size_t behind)
    : file_(file), buffer_(static_cast<std::size_t>(std::min<std::uint64_t>(size, file.Size() + behind + 1))),
      behind_(std::min(behind, buffer_.size() / 2)) {}

std::span<const std::uint8_t> FileWindow::At(std::uint64_t pos, std::uint64_t most) {
    const auto wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>({most, buffer_.size() - behind_, Size() - std::min(pos, Size())}));
    if (pos < start_ || pos + wanted > start_ + valid_) {
        const bool onward = pos >= start_ && pos <= start_ + valid_ + kSmallRead;
        start_ = pos - std::min<std::uint64_t>(pos, behind_);
        const std::size_t ahead = static_cast<std::size_t>(pos - start_) + std::max(wanted, kSmallRead);
        valid_ = file_.ReadAt(start_, {buffer_.data(), onward ? buffer_.size() : std::min(buffer_.size(), ahead)});
        if (pos + wanted > start_ + valid_) throw ShrankWhileRead(file_);
    }
    return {buffer_.data() + (pos - start_), wanted};
}

std::span<const std::uint8_t> FileWindow::Before(std::uint64_t pos, std::size_t wanted) const {
    if (pos < start_ || pos > start_ + valid_) return {};
    const auto have = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, pos - start_));
    return {buffer_.data() + (pos - start_ - have), have};
}

}  // namespace zelk
