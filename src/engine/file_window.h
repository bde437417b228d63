// A file's bytes around a position that mostly moves forward, read into a
// bounded buffer, with some kept behind it: for readers that go on forward
// and now and then jump (a patch's copies, a candidate match, the bytes
// under a block).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "host/file_services.h"

namespace zelk {

class FileWindow {
public:
    FileWindow(InputFile& file, std::size_t size, std::size_t behind = 0);
    // Up to `wanted` bytes from `pos`, fewer only at the file's end (none
    // past it), or ShrankWhileRead. Going on forward fills the whole window;
    // a jump elsewhere reads only a little, since most jumps are soon left.
    std::span<const std::uint8_t> At(std::uint64_t pos, std::uint64_t wanted);
    // Up to `wanted` bytes just before `pos` that the window holds.
    std::span<const std::uint8_t> Before(std::uint64_t pos, std::size_t wanted) const;
    std::uint64_t Size() const { return file_.Size(); }
    const std::string& Path() const { return file_.Path(); }

private:
    InputFile& file_;
    std::vector<std::uint8_t> buffer_;
    std::size_t behind_;
    std::uint64_t start_ = 0;
    std::size_t valid_ = 0;
};

}  // namespace zelk
