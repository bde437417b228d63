// Where a changed file's bytes stood before: anywhere in the original
// (found through a sampled index of all of it, so that data moved anywhere
// in a 4 GiB image is found), or earlier in the changed file itself. One
// scan of the changed file, front to back, tells a sink how to build it
// from new bytes and copies: what every maker of a copy-and-add format
// (BPS, VCDIFF) writes its instructions from. Neither file is held whole.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/file_window.h"
#include "host/file_services.h"

namespace zelk {

// What the scan finds, in the order of the target, each stretch once.
class CopySink {
public:
    virtual ~CopySink() = default;
    // The target's bytes [from, to) are new: written as they are.
    virtual void NewBytes(std::uint64_t from, std::uint64_t to) = 0;
    // The target's `length` bytes from `at` are the source's from `from`.
    virtual void FromSource(std::uint64_t from, std::uint64_t at, std::uint64_t length) = 0;
    // ... are the target's own from `from`, before `at`; where they overlap
    // what they make, the bytes between repeat (a run of one byte).
    virtual void FromTarget(std::uint64_t from, std::uint64_t at, std::uint64_t length) = 0;
    // How far back a copy from the target may reach from here on: a format
    // whose copies cannot leave a window says where the window starts. A run
    // (from = at - 1) is told whatever the floor: one byte repeated needs
    // no bytes before it to be written.
    virtual std::uint64_t TargetFloor() const { return 0; }
};

// A lossy table of positions by hash: the newest position wins its slot. An
// entry is the position's index plus one (0: empty) and 32 bits of its hash,
// which spare most reads of a wrong candidate.
class PositionIndex {
public:
    PositionIndex(std::uint64_t slots, std::uint64_t step) : slots_(static_cast<std::size_t>(slots)), step_(step) {}
    void Add(std::uint64_t position, std::uint64_t hash) {
        slots_[Slot(hash)] = (hash << 32) | ((position / step_ + 1) & 0xFFFFFFFFu);
    }
    // A position whose bytes may hash to `hash`, or -1.
    std::int64_t Find(std::uint64_t hash) const {
        const std::uint64_t entry = slots_[Slot(hash)];
        if ((entry & 0xFFFFFFFFu) == 0 || (entry >> 32) != (hash & 0xFFFFFFFFu)) return -1;
        return static_cast<std::int64_t>(((entry & 0xFFFFFFFFu) - 1) * step_);
    }
    std::uint64_t Step() const { return step_; }

private:
    std::size_t Slot(std::uint64_t hash) const { return static_cast<std::size_t>((hash >> 32) & (slots_.size() - 1)); }
    std::vector<std::uint64_t> slots_;
    std::uint64_t step_;
};

class CopyMatcher {
public:
    // The source's index takes at most `indexBytes`, or an eighth of the
    // source where that is more than 32 MiB.
    CopyMatcher(InputFile& source, InputFile& target, std::uint64_t indexBytes = UINT64_MAX);
    // Reads the source once, front to back, to index it; returns its CRC-32,
    // taken on the way.
    std::uint32_t IndexSource(std::size_t bufferSize);
    // The scan: at each position of the target, the longest of what the
    // last copy's distance, a run, or the two indexes offer, else a new byte
    // that waits to be told with its neighbours. The source must be indexed.
    void Scan(CopySink& sink);

private:
    // A match this long or longer anywhere in the source is found where the
    // source's sampled positions fall inside it.
    static constexpr std::size_t kHashBytes = 16;
    struct Candidate {
        std::uint64_t length = 0, back = 0, from = 0;
        bool inSource = true;
    };
    void FlushTo(std::uint64_t to);
    bool Along();
    bool Run(const std::uint8_t* here);
    void Consider(std::int64_t found, FileWindow& probe, std::uint64_t size, bool inSource, Candidate& best);
    bool Match(const std::uint8_t* here);

    InputFile& source_;
    InputFile& target_;
    const std::uint64_t S_, T_;
    PositionIndex sourceIndex_;
    PositionIndex targetIndex_;
    FileWindow targetAhead_;  // where the scan is
    FileWindow sourceAlong_;  // the same stretch at the last copy's distance
    FileWindow sourceProbe_;  // candidates anywhere in the source
    FileWindow targetProbe_;  // candidates earlier in the target
    CopySink* sink_ = nullptr;
    std::uint64_t t_ = 0;        // the scan's position in the target
    std::uint64_t pending_ = 0;  // new bytes from here to t_ wait to be told
    std::int64_t distance_ = 0;  // source position minus target position of the last copy from the source
};

}  // namespace zelk
