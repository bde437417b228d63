#include "engine/user_texts.h"

#include <cstdio>

#include "engine/fit_check.h"

namespace zelk {

namespace {

std::string Block(std::uint64_t index, std::uint64_t headerPos) {
    return "block " + std::to_string(index + 1) + " at byte " + std::to_string(headerPos);
}

std::string Offset(std::uint64_t offset) {
    char written[48];
    std::snprintf(written, sizeof written, "%llu (0x%llX)", static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(offset));
    return written;
}

std::string CountOf(std::uint64_t count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

// A patch this small says little: it may fit many files.
constexpr std::uint64_t kFewBytes = 16;

}  // namespace

std::string text::TooLarge(const std::string& path) { return "Too large for a ZelkPatch (2 GiB or more): " + path; }

std::string text::ShorterThanOriginal(const std::string& changedPath, std::uint64_t changedSize,
                                      const std::string& originalPath, std::uint64_t originalSize) {
    return "The changed file is shorter than the original, and a ZelkPatch cannot shorten a file: " + changedPath +
           " (" + std::to_string(changedSize) + " bytes), " + originalPath + " (" + std::to_string(originalSize) +
           " bytes)";
}

std::string text::DamagedPatch(const std::string& patchPath, const std::string& damage) {
    return "Damaged patch file " + patchPath + ": " + damage;
}

std::string text::HeaderCutShort() { return "the header is cut short"; }

std::string text::CommentOutsideTheFile(std::int32_t commentPos, std::uint64_t fileLength) {
    return "the comment position " + std::to_string(commentPos) + " lies outside the file (" +
           std::to_string(fileLength) + " bytes)";
}

std::string text::NegativeOffset(std::uint64_t index, std::uint64_t headerPos, std::int32_t offset) {
    return Block(index, headerPos) + " has a negative offset (" + std::to_string(offset) + ")";
}

std::string text::BadLength(std::uint64_t index, std::uint64_t headerPos, std::int32_t length) {
    return Block(index, headerPos) + " has length " + std::to_string(length);
}

std::string text::PastThe32BitLimit(std::uint64_t index, std::uint64_t headerPos) {
    return Block(index, headerPos) + " ends past the 32-bit limit";
}

std::string text::RunsOn(std::uint64_t index, std::uint64_t headerPos, bool intoTheComment) {
    return Block(index, headerPos) + " runs " + (intoTheComment ? "into the comment" : "past the end of the file");
}

std::string text::FitEvidence(const FitReport& report) {
    std::string said;
    const auto say = [&](const std::string& sentence) { said += (said.empty() ? "" : " ") + sentence; };
    const std::string mark = "Its size, " + std::to_string(report.fileSize) +
                             " bytes, is 512 more than a multiple of 1 KiB: the usual mark of a copier header";
    if (report.verdict == Fit::Fits) {
        say("Nothing in the patch contradicts this file.");
        if (report.patchedBytes < kFewBytes)
            say("The patch changes only " + CountOf(report.patchedBytes) + ", so it may fit other files as well.");
        if (report.headerMark) say(mark + (report.fitsWithoutHeader ? ", and the patch fits it with or without one." : "."));
        if (report.lengthsAgreeWithoutHeader)
            say("It fits the file without its first 512 bytes as well, and there the lengths agree: if this file "
                "has a copier header, remove it first.");
        return said;
    }
    if (report.verdict == Fit::AlreadyApplied) {
        say("All " + CountOf(report.patchedBytes) +
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
    if (report.madeFrom) say("The patch was made from a file of " + CountOf(*report.madeFrom) + "; this one has " + CountOf(report.fileSize) + ".");
    // Where the header explains it, the bytes that clash as the file stands say nothing more.
    if (report.header != FitReport::Header::Same) return said;
    if (report.alreadyNew > 0)
        say(std::to_string(report.alreadyNew) + " of the " + CountOf(report.patchedBytes) +
            " the patch writes already hold their new values, where the original's all differ.");
    if (!report.breaks.empty()) {
        std::string where;
        for (std::size_t i = 0; i < report.breaks.size(); ++i) where += (i == 0 ? "" : ", ") + Offset(report.breaks[i]);
        say(std::string(report.breaks.size() == 1 ? "First at offset " : "First at offsets ") + where + ".");
    }
    if (report.alreadyNew > 0 && report.onlyInsideBlocks && !report.madeFrom)
        say("If a tool that merges nearby changes into one block made the patch, this may still be the right file.");
    return said;
}

std::string text::FitSentence(const FitReport& report, const std::string& patchPath, const std::string& filePath) {
    switch (report.verdict) {
        case Fit::Fits: return patchPath + " fits " + filePath;
        case Fit::AlreadyApplied: return patchPath + " is already applied in " + filePath;
        case Fit::DoesNotFit: break;
    }
    return patchPath + " does not fit " + filePath;
}


}  // namespace zelk
