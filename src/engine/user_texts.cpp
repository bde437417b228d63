#include "engine/user_texts.h"

#include <charconv>
#include <cstdio>

#include "engine/verdict.h"

namespace zelk {

namespace {

std::string Block(std::uint64_t index, std::uint64_t headerPos) {
    return "block " + std::to_string(index + 1) + " at byte " + std::to_string(headerPos);
}

// "An" before a name said with a vowel first: the letters A, E, F, H, I, L,
// M, N, O, R, S and X.
std::string Article(std::string_view kind) {
    const char first = kind.empty() ? 'z' : static_cast<char>(kind[0] | 0x20);
    return std::string_view("aefhilmnorsx").find(first) != std::string_view::npos ? "An " : "A ";
}
// The same within a sentence.
std::string LowerArticle(std::string_view kind) { return Article(kind) == "An " ? "an " : "a "; }

}  // namespace

std::string text::Offset(std::uint64_t offset) {
    char written[48];
    std::snprintf(written, sizeof written, "%llu (0x%llX)", static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(offset));
    return written;
}

std::string text::CountOf(std::uint64_t count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

std::string text::TooLarge(const std::string& path) { return "Too large for a ZelkPatch (2 GiB or more): " + path; }

std::string text::ShorterThanOriginal(const std::string& changedPath, std::uint64_t changedSize,
                                      const std::string& originalPath, std::uint64_t originalSize) {
    return "The changed file is shorter than the original, and a ZelkPatch cannot shorten a file: " + changedPath +
           " (" + std::to_string(changedSize) + " bytes), " + originalPath + " (" + std::to_string(originalSize) +
           " bytes); a .bps or .ips patch can";
}

std::string text::DamagedPatch(const std::string& patchPath, const std::string& damage) {
    return "Damaged patch file " + patchPath + ": " + damage;
}

std::string text::HeaderCutShort() { return "the header is cut short"; }

std::string text::CommentOutsideTheFile(std::int32_t commentPos, std::uint64_t fileLength) {
    return "the comment position " + std::to_string(commentPos) + " lies outside the file (" +
           std::to_string(fileLength) + " bytes)";
}

std::string text::CommentInsideTheHeader(std::int32_t commentPos) {
    return "the comment position " + std::to_string(commentPos) + " lies inside the header";
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

std::string text::ForeignDone(std::string_view kind) { return "Done applying " + std::string(kind) + " patch! "; }

std::string text::ForeignMakeDone(std::string_view kind) { return "Done " + std::string(kind) + " patch generation!"; }

std::string text::CommentNotStored(std::string_view kind) {
    return Article(kind) + std::string(kind) + " patch cannot hold a comment: it was left out";
}

std::string text::NotMade(std::string_view kind) {
    return "ZelkPatcher reads " + std::string(kind) + " patches but does not make them";
}

std::string text::NoChecksum(std::string_view kind) {
    return Article(kind) + std::string(kind) + " patch carries no checksum, so nothing can show whether this is the "
                                               "right file";
}

std::string text::CutShort() { return "it is cut short"; }

std::string text::RecordCutShort(std::uint64_t index, std::uint64_t at) {
    return "record " + std::to_string(index + 1) + " at byte " + std::to_string(at) + " is cut short";
}

bool text::FromHex(std::string_view digits, std::span<std::uint8_t> bytes) {
    if (digits.size() != 2 * bytes.size()) return false;
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        const char* pair = digits.data() + 2 * k;
        const auto [end, failed] = std::from_chars(pair, pair + 2, bytes[k], 16);
        if (failed != std::errc() || end != pair + 2) return false;
    }
    return true;
}

std::vector<std::string> text::Split(std::string_view text, char at) {
    std::vector<std::string> parts;
    for (std::size_t from = 0;;) {
        const std::size_t end = text.find(at, from);
        parts.emplace_back(text.substr(from, end == std::string_view::npos ? std::string_view::npos : end - from));
        if (end == std::string_view::npos) return parts;
        from = end + 1;
    }
}

std::string text::Hex(std::span<const std::uint8_t> bytes) {
    std::string said;
    char two[3];
    for (const std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        said += two;
    }
    return said;
}

std::string text::CutShortAt(std::uint64_t at) { return "it is cut short inside the command at byte " + std::to_string(at); }

std::string text::NumberTooLarge(std::uint64_t at) {
    return "the number at byte " + std::to_string(at) + " is larger than any file this system can hold";
}

std::string text::PatchCrcWrong(std::uint32_t actual, std::uint32_t stated) {
    return "its CRC-32 is " + Crc(actual) + " where it says " + Crc(stated) + ": the file is damaged or incomplete";
}

std::string text::ReadsPastTheFile(const std::string& path) {
    return "The patch reads past the end of " + path + ": it was made for a longer file";
}

std::string text::Crc(std::uint32_t crc) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(crc));
    return hex;
}

std::string text::SizeAndCrc(std::uint64_t size, std::uint32_t crc) { return CountOf(size) + ", CRC-32 " + Crc(crc); }

std::string text::WrongFile(const std::string& path, std::string_view kind, std::uint64_t expectedSize,
                            std::uint32_t expectedCrc, std::uint64_t size, std::uint32_t crc) {
    return path + " is not the file this " + std::string(kind) + " patch was made for: the patch expects " +
           SizeAndCrc(expectedSize, expectedCrc) + "; this file has " + SizeAndCrc(size, crc);
}

std::string text::AlreadyPatched(const std::string& path, std::string_view kind, std::uint64_t size, std::uint32_t crc) {
    return path + " is already patched: it is the file this " + std::string(kind) + " patch makes (" +
           SizeAndCrc(size, crc) + ")";
}

std::string text::OwnInstead(std::string_view kind, const std::string& patchPath) {
    return std::string(kind) + " patches are read here, not made: " + patchPath + " is a ZelkPatch";
}

std::string text::OutputIsPatch(const std::string& outputPath, const std::string& patchPath) {
    return "Cannot write " + outputPath + ": it is where the patch " + patchPath +
           " is read from, which the result would replace; choose another output";
}

std::string text::NoPatchAtAll(const std::string& patchPath) {
    return patchPath + " is no patch in any format ZelkPatcher reads";
}

std::string text::LookSwapped(const std::string& originalPath) {
    return "; " + originalPath + " is one: the original and the patch look given the wrong way round";
}

std::string text::NamedOtherwise(const std::string& patchPath, std::string_view named, std::string_view written) {
    return patchPath + " is named as " + LowerArticle(named) + std::string(named) + " patch; it is written in the " +
           std::string(written) + " format, as asked";
}

std::string text::LostCharacters(const std::string& list) {
    return "The comment holds characters the code page it is stored in lacks (" + list + "): they will read as \"?\"";
}

std::string text::CannotShorten(const std::string& patchPath, std::string_view kind) {
    return "Cannot write " + patchPath + ": " + LowerArticle(kind) + std::string(kind) +
           " patch cannot make a file shorter; a .bps or .ips patch can";
}

std::string text::CommentCut(std::string_view kind, std::size_t bytes) {
    return "The comment was cut to the " + std::to_string(bytes) + " bytes " + LowerArticle(kind) + std::string(kind) +
           " patch's description holds";
}

std::string text::AppliedAllTheSame(const std::string& problem) { return problem + "; applied all the same, as asked"; }

std::string text::WrittenAllTheSame(const std::string& problem) {
    return AppliedAllTheSame(problem) + "; the result is written";
}

std::string text::HeaderKept(const std::string& path, std::string_view header, std::uint64_t length) {
    return path + " has a " + std::to_string(length) + "-byte " + std::string(header) +
           " header that the patch's original did not have: the patch was applied to the rest, and the header kept in "
           "front of the result";
}

std::string text::HeaderAssumed(const std::string& path) {
    return path + " lacks the 512-byte copier header the IPS patch was made for (its SNES checksum stands 512 bytes "
                  "on): the patch was applied as if the header were there, and the result has none either";
}

std::string text::Reordered(const std::string& path, std::string_view from, std::string_view to) {
    return path + " is a " + std::string(from) + " image of the " + std::string(to) +
           " image the patch was made for: it was read as " + std::string(to) + ", and the result written as " +
           std::string(from) + " again";
}

std::string text::TurnedBack(const std::string& path, std::string_view kind) {
    return path + " is the file this " + std::string(kind) + " patch makes: the patch has turned it back into the original";
}

std::string text::ResultCrcDiffers(std::string_view kind, std::uint32_t crc, std::uint32_t expected) {
    return "The result's CRC-32 is " + Crc(crc) + " where the " + std::string(kind) + " patch expects " + Crc(expected);
}

std::string text::ResultCrcWrong(const std::string& outputPath, std::string_view kind, std::uint32_t crc,
                                 std::uint32_t expected) {
    return ResultCrcDiffers(kind, crc, expected) + ": nothing was written to " + outputPath;
}

std::string text::PatchOfChain(std::size_t k, std::size_t count) {
    return "patch " + std::to_string(k + 1) + " of " + std::to_string(count);
}

std::string text::ResultOfPatch(std::size_t k) { return "the result of patch " + std::to_string(k); }

std::string text::ChainMisfit(std::size_t k, std::size_t count, const std::string& patchPath, Fit verdict,
                              const std::string& met) {
    return PatchOfChain(k, count) + ", " + patchPath + ", " +
           (verdict == Fit::AlreadyApplied ? "is already applied in " : "does not fit ") + met;
}

std::string text::ChainDone(std::size_t count) {
    return "Done applying " + std::to_string(count) + " patches!";
}

std::string text::NotChecked(std::size_t checked, std::size_t count) {
    return "Patches " + std::to_string(checked + 1) + " to " + std::to_string(count) +
           " were not checked: each is made for the result of the one before.";
}

std::string text::FitSentence(Fit verdict, const std::string& patchPath, const std::string& filePath) {
    switch (verdict) {
        case Fit::Fits: return patchPath + " fits " + filePath;
        case Fit::AlreadyApplied: return patchPath + " is already applied in " + filePath;
        case Fit::DoesNotFit: break;
    }
    return patchPath + " does not fit " + filePath;
}


}  // namespace zelk
