// What the reader and the maker of VCDIFF share: the indicators' bits, the
// instruction codes (RFC 3284's default code table) and the address caches
// that both sides of a window keep alike.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace zelk::vcdiff {

enum : std::uint8_t { kDecompress = 1, kCodeTable = 2, kAppHeader = 4 };            // the header's indicator
enum : std::uint8_t { kSourceSegment = 1, kTargetSegment = 2, kChecksum = 4 };      // a window's
enum : std::uint8_t { kDataCompressed = 1, kInstCompressed = 2, kAddrCompressed = 4 };  // its delta's

// One instruction of the code table.
struct Instruction {
    std::uint8_t type = 0;  // 0 NOOP, 1 ADD, 2 RUN, 3 COPY
    std::uint8_t size = 0;  // 0: the size follows in the instructions
    std::uint8_t mode = 0;
};
enum : std::uint8_t { kNoop = 0, kAdd = 1, kRun = 2, kCopy = 3 };
using CodeTable = std::array<std::array<Instruction, 2>, 256>;

// The default code table, entry by entry as it is laid out.
const CodeTable& DefaultTable();

// The default table's sizes of the caches.
inline constexpr std::size_t kNearSize = 4, kSameSize = 3;

// The near cache (the last addresses copied from, in turn) and the same
// cache (the last address copied from in each of 256 x same slots), reset at
// each window and updated after every copy, by writer and reader alike.
class AddressCache {
public:
    AddressCache(std::size_t near, std::size_t same) : near_(near), same_(same * 256) {}
    void Reset();
    void Update(std::uint64_t address);
    const std::vector<std::uint64_t>& Near() const { return near_; }
    const std::vector<std::uint64_t>& Same() const { return same_; }

private:
    std::vector<std::uint64_t> near_, same_;
    std::size_t nextNear_ = 0;
};

// A number as VCDIFF writes it: seven bits a byte, the highest first, every
// byte but the last with its top bit set.
void AppendVarint(std::vector<std::uint8_t>& out, std::uint64_t value);
std::size_t VarintSize(std::uint64_t value);

}  // namespace zelk::vcdiff
