#include "host/file_services.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace zelk {

namespace {
std::array<std::uint8_t, 4> LittleEndian(std::int32_t value) {
    const auto u = static_cast<std::uint32_t>(value);
    return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u >> 16),
            static_cast<std::uint8_t>(u >> 24)};
}
}  // namespace

// What the buffers touch decides their size, measured on processors with
// 512 KiB to 2 MiB of level-2 cache per core (docs/PERFORMANCE.md):
// - Making a patch streams two inputs side by side and looks at each byte
//   once. The time goes to the kernel copying the page cache into the two
//   buffers, which is fastest while both stay well inside L2: an eighth of
//   it each. Two buffers that fill L2 made it 4 times slower.
// - Applying streams one input into one output and ends in a flush to disk
//   that dominates; larger buffers mean fewer system calls, and half of L2
//   each measured best (1 MiB at most: beyond it nothing is gained).
// Where the system does not say, 64 KiB and 256 KiB measured well across
// the whole range.
BufferSizes BufferSizesFor(std::size_t l2Bytes) {
    constexpr std::size_t KiB = 1024;
    if (l2Bytes == 0) return {64 * KiB, 256 * KiB};
    return {std::clamp(l2Bytes / 8, 32 * KiB, 256 * KiB), std::clamp(l2Bytes / 2, 128 * KiB, 1024 * KiB)};
}

std::string FailureText(const std::exception& failure) {
    if (dynamic_cast<const FileError*>(&failure) != nullptr) return failure.what();
    if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr ||
        dynamic_cast<const std::length_error*>(&failure) != nullptr)
        return "Not enough memory to finish this operation";
    return "An internal error stopped this operation";
}

FileError ShrankWhileRead(const InputFile& file) {
    return FileError("Cannot read " + file.Path() + ": the file shrank while it was read");
}

FileError ChangedWhileRead(const InputFile& file) {
    return FileError("Cannot read " + file.Path() + ": the file changed while it was read");
}

void InputFile::ReadExactly(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    if (ReadAt(offset, buffer) != buffer.size()) throw ShrankWhileRead(*this);
}

namespace {

class MemoryFile final : public ScratchFile {
public:
    explicit MemoryFile(std::string shown) : shown_(std::move(shown)) {}
    void Append(std::span<const std::uint8_t> bytes) override { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
    void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    void AppendFrom(InputFile& source, std::uint64_t offset, std::uint64_t length) override {
        const std::size_t at = bytes_.size();
        bytes_.resize(at + static_cast<std::size_t>(length));
        source.ReadExactly(offset, {bytes_.data() + at, static_cast<std::size_t>(length)});
    }
    void ExtendTo(std::uint64_t size) override {
        if (size > bytes_.size()) bytes_.resize(static_cast<std::size_t>(size));
    }
    std::uint64_t Size() const override { return bytes_.size(); }
    void ReadBack(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        if (!buffer.empty()) std::memcpy(buffer.data(), bytes_.data() + offset, buffer.size());
    }
    const std::string& Path() const override { return shown_; }

private:
    std::string shown_;
    std::vector<std::uint8_t> bytes_;
};

// The scratch lives as long as its reader: held before the reading base
// is built over it.
struct HeldScratch {
    std::shared_ptr<ScratchFile> held;
};
class ScratchReader final : private HeldScratch, public WrittenInput {
public:
    ScratchReader(std::shared_ptr<ScratchFile> scratch, std::string shown)
        : HeldScratch{std::move(scratch)}, WrittenInput(*held, std::move(shown)) {}
};

}  // namespace

std::size_t WrittenInput::ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    const std::uint64_t size = output_.Size();
    if (offset >= size) return 0;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
    output_.ReadBack(offset, buffer.first(n));
    return n;
}

std::unique_ptr<ScratchFile> MemoryScratch(std::string shown) { return std::make_unique<MemoryFile>(std::move(shown)); }

std::unique_ptr<InputFile> ReadScratch(std::shared_ptr<ScratchFile> scratch, std::string shown) {
    return std::make_unique<ScratchReader>(std::move(scratch), std::move(shown));
}

void OutputFile::AppendInt32(std::int32_t value) {
    const auto bytes = LittleEndian(value);
    Append(bytes);
}

void OutputFile::WriteInt32At(std::uint64_t offset, std::int32_t value) {
    const auto bytes = LittleEndian(value);
    WriteAt(offset, bytes);
}

}  // namespace zelk
