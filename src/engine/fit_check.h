// Which original? A patch made by comparing two files keeps three rules
// against the file it was made from (the original, n bytes):
// - inside n, every byte of every block differs from the original's byte
//   there (a run holds differing bytes only);
// - blocks ascend, at least one byte apart; only the tail may touch the
//   block before it;
// - only the tail reaches past n, and it starts exactly at n.
// Meeting the changed file instead, a patch finds its bytes already in
// place; meeting any other file, it usually breaks a rule within a few
// blocks. Nothing here contradicts a file the patch was made from.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/patch_format.h"
#include "engine/verdict.h"

namespace zelk {

struct FitReport {
    Fit verdict = Fit::Fits;
    std::uint64_t fileSize = 0;
    std::uint64_t patchedBytes = 0;  // all the bytes the blocks write
    std::uint64_t alreadyNew = 0;    // of those, bytes this file already holds
    std::vector<std::uint64_t> breaks;  // the first offsets that break a rule
    bool outOfOrder = false;            // blocks overlap or descend: no file fits
    bool onlyInsideBlocks = true;       // every equal byte lies inside a block, none at its ends
    std::optional<std::uint64_t> madeFrom;  // the original's length, if the last block (past this file's end) is a tail
    bool writesPastEnd = false;             // a block that is no tail reaches past the original's end
    enum class Header { Same, FileHasOne, FileLacksOne } header = Header::Same;
    bool headerMark = false;         // the size is 512 more than a multiple of 1 KiB
    bool fitsWithoutHeader = false;  // the patch fits the file without its first 512 bytes as well
    bool lengthsAgreeWithoutHeader = false;  // ... and there its tail starts right at the end
    // It fits, and not only for want of evidence: the lengths agree, or
    // enough bytes were held against the file for a coincidence to be unlikely.
    bool onEvidence = false;
    // Every block was held against the file (not only the first ones).
    bool complete = true;
};

// The rules for one alignment of patch and file: the file's byte at
// `offset + shift` stands for the original's byte at `offset`.
class FitCheck {
public:
    FitCheck(std::uint64_t fileSize, std::int64_t shift);
    // A block's header, in patch order.
    void Block(std::uint64_t offset, std::uint64_t length);
    // The next `data` bytes of the current block, from `offset`, and the
    // file's bytes at the same places as far as the file has them.
    void Bytes(std::uint64_t offset, std::span<const std::uint8_t> data, std::span<const std::uint8_t> file);
    bool Broken() const { return !report_.breaks.empty() || report_.outOfOrder; }
    bool OutOfOrder() const { return report_.outOfOrder; }
    // Unbroken, and on evidence: the lengths agree, or enough bytes were
    // held against the file for a coincidence to be unlikely.
    bool FitsOnEvidence() const { return !Broken() && (lengthConfirmed_ || compared_ >= 64); }
    // The last block is a tail from exactly the original's end: the lengths
    // agree, which a wrong alignment hardly ever manages.
    bool LengthConfirmed() const { return lengthConfirmed_; }
    std::int64_t Shift() const { return shift_; }
    FitReport Finish() const;

private:
    void Break(std::uint64_t offset);
    std::uint64_t n_;  // the original's length if this alignment is right
    std::int64_t shift_;
    std::uint64_t blockStart_ = 0;
    std::uint64_t blockEnd_ = 0;
    std::uint64_t previousEnd_ = 0;
    std::uint64_t compared_ = 0;  // bytes inside the original held against the file
    std::uint64_t lastStart_ = 0;
    bool lengthConfirmed_ = false;
    bool first_ = true;
    FitReport report_;
};

// Reads the patch and the file once, side by side, and judges every
// alignment; the patch must have been found sound. With a `limit`, only the
// blocks up to the first that starts at `limit` or later: a first look.
FitReport CheckFit(InputFile& file, InputFile& patch, const PatchSummary& summary, std::size_t bufferSize,
                   std::uint64_t limit = UINT64_MAX);

namespace text {
// What a check found, in a sentence or two a player can act on.
std::string FitEvidence(const FitReport& report);
}  // namespace text

}  // namespace zelk
