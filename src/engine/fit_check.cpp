#include "engine/fit_check.h"

#include <algorithm>
#include <array>

#include "engine/byte_reader.h"
#include "engine/file_window.h"
#include "engine/diff_scanner.h"
#include "engine/user_texts.h"

namespace zelk {

FitCheck::FitCheck(std::uint64_t fileSize, std::int64_t shift) : shift_(shift) {
    report_.fileSize = fileSize;
    // Shifted past the file's start, no original is left to compare with.
    const std::int64_t n = static_cast<std::int64_t>(fileSize) - shift;
    n_ = n > 0 ? static_cast<std::uint64_t>(n) : 0;
    if (n < 0) report_.outOfOrder = true;
}

void FitCheck::Break(std::uint64_t offset) {
    if (report_.breaks.size() < 3) report_.breaks.push_back(offset);
}

void FitCheck::Block(std::uint64_t offset, std::uint64_t length) {
    const std::uint64_t end = offset + length;
    if (!first_ && offset < previousEnd_) report_.outOfOrder = true;
    // Runs are closed by an equal byte; only the tail may touch its neighbour.
    if (!first_ && offset == previousEnd_ && offset != n_) Break(offset);
    // Only the tail reaches past the original, from exactly its end.
    if (end > n_ && offset != n_) {
        Break(offset);
        report_.writesPastEnd = true;
    }
    lastStart_ = offset;
    lengthConfirmed_ = offset == n_ && end > n_;
    first_ = false;
    previousEnd_ = end;
    blockStart_ = offset;
    blockEnd_ = end;
    report_.patchedBytes += length;
}

void FitCheck::Bytes(std::uint64_t offset, std::span<const std::uint8_t> data, std::span<const std::uint8_t> file) {
    const std::size_t size = std::min(data.size(), file.size());
    if (offset < n_) compared_ += std::min<std::uint64_t>(size, n_ - offset);
    std::size_t i = 0;
    while ((i = FirstEqual(data.data(), file.data(), i, size)) < size) {
        const std::size_t equalEnd = FirstDifference(data.data(), file.data(), i, size);
        report_.alreadyNew += equalEnd - i;
        const std::uint64_t from = offset + i, to = offset + equalEnd;  // [from, to) equal
        if (from < n_) {
            Break(from);
            if (from == blockStart_ || std::min(to, n_) == blockEnd_) report_.onlyInsideBlocks = false;
        }
        i = equalEnd;
    }
}

FitReport FitCheck::Finish() const {
    FitReport report = report_;
    if (!Broken())
        report.verdict = Fit::Fits;
    else if (report.patchedBytes > 0 && report.alreadyNew == report.patchedBytes)
        report.verdict = Fit::AlreadyApplied;
    else
        report.verdict = Fit::DoesNotFit;
    // Only a last block that starts past this file's end may be the tail of
    // a longer original, and tell its length; no other block can.
    if (report.verdict != Fit::Fits && !first_ && lastStart_ > n_) report.madeFrom = lastStart_;
    report.headerMark = report.fileSize % 1024 == kCopierHeader;
    return report;
}

namespace {

constexpr std::size_t kPiece = 64 * 1024;

}  // namespace

FitReport CheckFit(InputFile& file, InputFile& patch, const PatchSummary& summary, std::size_t bufferSize,
                   std::uint64_t limit) {
    const std::uint64_t size = file.Size();
    const auto header = static_cast<std::int64_t>(kCopierHeader);
    // Without a header the original had; as is; with one the original lacked.
    // In this order the file positions they want rise, so the window only
    // moves forward.
    std::array<FitCheck, 3> checks{FitCheck(size, -header), FitCheck(size, 0), FitCheck(size, header)};
    // Requests go forward, less the header's 512 bytes either side.
    FileWindow window(file, std::max<std::size_t>(bufferSize, 4 * kPiece), 2 * kCopierHeader);
    ByteReader blocks(patch, kHeaderSize, bufferSize);
    file.ExpectSequential();
    bool complete = true;
    for (std::uint64_t i = 0; i < summary.blockCount; ++i) {
        const PatchBlock block = NextBlock(blocks, patch, summary.maxEnd);
        const auto offset = static_cast<std::uint64_t>(block.blockOffset);
        if (offset >= limit) {
            complete = false;
            break;
        }
        const auto length = static_cast<std::uint64_t>(block.blockLength);
        for (FitCheck& check : checks) check.Block(offset, length);
        // Blocks out of order fit no file whatever their bytes, and would
        // send the window back and forth: the rest is only counted.
        if (checks[1].OutOfOrder()) {
            blocks.Skip(length);
            continue;
        }
        for (std::uint64_t at = offset; at < offset + length;) {
            const auto data = blocks.Next(static_cast<std::size_t>(std::min<std::uint64_t>(offset + length - at, kPiece)));
            for (auto it = checks.begin(); it != checks.end(); ++it) {
                // A header alignment once broken has told all it can; the
                // plain one goes on counting the bytes already new.
                if (it != checks.begin() + 1 && it->Broken()) continue;
                const std::int64_t from = static_cast<std::int64_t>(at) + it->Shift();
                const std::uint64_t skip = from < 0 ? static_cast<std::uint64_t>(-from) : 0;
                if (skip >= data.size() || static_cast<std::uint64_t>(from) + skip >= size) continue;
                const auto fileBytes = window.At(static_cast<std::uint64_t>(from) + skip, data.size() - skip);
                it->Bytes(at + skip, data.subspan(static_cast<std::size_t>(skip)), fileBytes);
            }
            at += data.size();
        }
    }
    FitReport report = checks[1].Finish();
    const bool withoutFits = checks[2].FitsOnEvidence();
    // Both may fit a patch that says little. The verdict stays "fits", since
    // nothing contradicts the file; the evidence says what else fits.
    report.lengthsAgreeWithoutHeader = withoutFits && checks[2].LengthConfirmed() && !checks[1].LengthConfirmed();
    if (report.verdict == Fit::DoesNotFit && !report.outOfOrder) {
        if (withoutFits)
            report.header = FitReport::Header::FileHasOne;
        else if (checks[0].FitsOnEvidence())
            report.header = FitReport::Header::FileLacksOne;
    }
    report.fitsWithoutHeader = withoutFits;
    report.onEvidence = checks[1].FitsOnEvidence();
    report.complete = complete;
    return report;
}

// A patch this small says little: it may fit many files.
constexpr std::uint64_t kFewBytes = 16;

std::string text::FitEvidence(const FitReport& report) {
    std::string said;
    const auto say = [&](const std::string& sentence) { said += (said.empty() ? "" : " ") + sentence; };
    const std::string mark = "Its size, " + std::to_string(report.fileSize) +
                             " bytes, is 512 more than a multiple of 1 KiB: the usual mark of a copier header";
    if (report.verdict == Fit::Fits) {
        say("Nothing in the patch contradicts this file.");
        if (report.patchedBytes < kFewBytes)
            say("The patch changes only " + text::CountOf(report.patchedBytes) + ", so it may fit other files as well.");
        if (report.headerMark) say(mark + (report.fitsWithoutHeader ? ", and the patch fits it with or without one." : "."));
        else if (report.fitsWithoutHeader && !report.lengthsAgreeWithoutHeader)
            say("It fits the file without its first 512 bytes as well: if this file has a copier header, the "
                "patch may be meant for the file without it.");
        if (report.lengthsAgreeWithoutHeader)
            say("It fits the file without its first 512 bytes as well, and there the lengths agree: if this file "
                "has a copier header, remove it first.");
        return said;
    }
    if (report.verdict == Fit::AlreadyApplied) {
        say("All " + text::CountOf(report.patchedBytes) +
            " the patch writes already hold their new values: this looks like the patched file, not the original.");
        return said;
    }
    if (report.outOfOrder) {
        say("Its blocks overlap or come out of order, which no patch made by comparing two files does.");
        return said;
    }
    if (report.header == FitReport::Header::FileHasOne)
        say("This file has a 512-byte copier header that the patch's original did not have: the patch fits the "
            "file without its first 512 bytes.");
    if (report.header == FitReport::Header::FileLacksOne)
        say("This file lacks the 512-byte copier header that the patch's original had: the patch fits it with 512 "
            "bytes added in front.");
    if (report.header == FitReport::Header::Same && report.headerMark) say(mark + ".");
    if (report.madeFrom)
        say("The patch writes past this file's end: if its last block, from byte " + std::to_string(*report.madeFrom) +
            " on, is what the changed file added, the patch was made from a file of " + text::CountOf(*report.madeFrom) +
            "; this one has " + text::CountOf(report.fileSize) + ".");
    else if (report.writesPastEnd && report.header == FitReport::Header::Same)
        say("The patch writes past this file's end, which it does not do to the file it was made from.");
    // Where the header explains it, the bytes that clash as the file stands say nothing more.
    if (report.header != FitReport::Header::Same) return said;
    if (report.alreadyNew > 0)
        say(std::to_string(report.alreadyNew) + " of the " + text::CountOf(report.patchedBytes) +
            " the patch writes already hold their new values, where the original's all differ.");
    if (!report.breaks.empty()) {
        std::string where;
        for (std::size_t i = 0; i < report.breaks.size(); ++i) where += (i == 0 ? "" : ", ") + text::Offset(report.breaks[i]);
        say(std::string(report.breaks.size() == 1 ? "First at offset " : "First at offsets ") + where + ".");
    }
    if (report.alreadyNew > 0 && report.onlyInsideBlocks && !report.madeFrom)
        say("If a tool that merges nearby changes into one block made the patch, this may still be the right file.");
    return said;
}

}  // namespace zelk
