// A result written front to back with its CRC-32, and readable again for
// the copies a patch makes from it (BPS, UPS-like formats, VCDIFF): the
// newest bytes from memory, older ones read back from the output.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "host/file_services.h"

namespace zelk {

class TargetWriter {
public:
    // `recent`: how many of the newest bytes are kept in memory for copies
    // (0 where the patch never copies from its result); older ones are read
    // back from the output, from `base` on.
    TargetWriter(OutputFile& output, std::uint64_t base, std::size_t recent);
    void Put(std::span<const std::uint8_t> bytes);
    // Copies `length` bytes from `from`, before the end: where they overlap
    // what the copy writes, the bytes between repeat.
    void Copy(std::uint64_t from, std::uint64_t length);
    std::uint64_t Size() const { return size_; }
    std::uint32_t Crc() const { return crc_; }
    std::vector<std::uint8_t>& Scratch() { return scratch_; }

private:
    void Remember(std::span<const std::uint8_t> bytes);
    void Recall(std::uint64_t from, std::span<std::uint8_t> into);

    OutputFile& output_;
    std::uint64_t base_;
    std::vector<std::uint8_t> recent_;
    std::vector<std::uint8_t> scratch_;
    std::uint64_t size_ = 0;
    std::uint32_t crc_ = 0;
};

}  // namespace zelk
