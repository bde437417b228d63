// Every text the engine gives the user, in one place: the messages an
// operation ends on, what is wrong with a damaged patch, and what a look at
// a patch and a file found. Paths are named as the user typed them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

enum class Fit;

namespace text {

inline constexpr std::string_view MissingFile = "нету файла ";
inline constexpr std::string_view NotAPatch = "Это не файл зелк-патча...";
inline constexpr std::string_view MakeDone = "Done ZelkPatch generation!";
inline constexpr std::string_view ApplyDone = "Done applying ZelkPatch! ";

std::string TooLarge(const std::string& path);
std::string ShorterThanOriginal(const std::string& changedPath, std::uint64_t changedSize,
                                const std::string& originalPath, std::uint64_t originalSize);

// A damaged patch, and what is wrong with it.
std::string DamagedPatch(const std::string& patchPath, const std::string& damage);
std::string HeaderCutShort();
std::string CommentOutsideTheFile(std::int32_t commentPos, std::uint64_t fileLength);
std::string CommentInsideTheHeader(std::int32_t commentPos);
// `index` counts blocks from 0; `headerPos` is where the block's header starts.
std::string NegativeOffset(std::uint64_t index, std::uint64_t headerPos, std::int32_t offset);
std::string BadLength(std::uint64_t index, std::uint64_t headerPos, std::int32_t length);
std::string PastThe32BitLimit(std::uint64_t index, std::uint64_t headerPos);
// A block runs into the comment, or past the end of a patch without one.
std::string RunsOn(std::uint64_t index, std::uint64_t headerPos, bool intoTheComment);

// "1 byte", "N bytes".
std::string CountOf(std::uint64_t count);
// "N (0xHEX)".
std::string Offset(std::uint64_t offset);

// What every other format says alike; `kind` is the format's name.
std::string ForeignDone(std::string_view kind);
std::string CutShort();
std::string CutShortAt(std::uint64_t at);
// Of the patches made of records (IPS, PPF, APS).
std::string RecordCutShort(std::uint64_t index, std::uint64_t at);
std::string CannotTurnBack();  // PPF: a patch that may have made the file longer
// Bytes as hex digits, two a byte, in lower case as every checksum is shown.
std::string Hex(std::span<const std::uint8_t> bytes);
// The bytes `digits` stand for, two hex digits each (either case); false
// where they are not exactly that many digits.
bool FromHex(std::string_view digits, std::span<std::uint8_t> bytes);
// `text` cut at each `at`; two in a row, or one at either end, leave an
// empty part between.
std::vector<std::string> Split(std::string_view text, char at);
std::string NumberTooLarge(std::uint64_t at);
std::string PatchCrcWrong(std::uint32_t actual, std::uint32_t stated);
std::string ReadsPastTheFile(const std::string& path);
std::string Crc(std::uint32_t crc);  // eight lower-case hex digits, as the databases write them
// "SIZE bytes, CRC-32 XXXXXXXX"
std::string SizeAndCrc(std::uint64_t size, std::uint32_t crc);
std::string WrongFile(const std::string& path, std::string_view kind, std::uint64_t expectedSize,
                      std::uint32_t expectedCrc, std::uint64_t size, std::uint32_t crc);
std::string AlreadyPatched(const std::string& path, std::string_view kind, std::uint64_t size, std::uint32_t crc);
std::string AppliedAllTheSame(const std::string& problem);
// The same of a result found wrong once written.
std::string WrittenAllTheSame(const std::string& problem);
// `header` names its kind: "iNES", "copier".
std::string HeaderKept(const std::string& path, std::string_view header, std::uint64_t length);
// An IPS patch made for a copier-headered ROM, applied to one without.
std::string HeaderAssumed(const std::string& path);
// `from` and `to` name the byte orders: ".v64", ".z64".
std::string Reordered(const std::string& path, std::string_view from, std::string_view to);
std::string TurnedBack(const std::string& path, std::string_view kind);
std::string ResultCrcDiffers(std::string_view kind, std::uint32_t crc, std::uint32_t expected);
// The same, refused.
std::string ResultCrcWrong(const std::string& outputPath, std::string_view kind, std::uint32_t crc, std::uint32_t expected);
// "An IPS patch carries no checksum, so nothing can show whether this is the right file"
std::string NoChecksum(std::string_view kind);
// Making them.
std::string ForeignMakeDone(std::string_view kind);
std::string CommentNotStored(std::string_view kind);
std::string NotMade(std::string_view kind);
// An output that would replace a patch it is made from.
std::string OutputIsPatch(const std::string& outputPath, const std::string& patchPath);
// What follows "not a patch" on the command line.
std::string NoPatchAtAll(const std::string& patchPath);
std::string LookSwapped(const std::string& originalPath);
// A name that asks for a format read, not made here.
std::string OwnInstead(std::string_view kind, const std::string& patchPath);
// A name that asks for one format, written in another as asked.
std::string NamedOtherwise(const std::string& patchPath, std::string_view named, std::string_view written);
std::string CannotShorten(const std::string& patchPath, std::string_view kind);
// Characters of a comment that the code page lacks: "日, 本".
std::string LostCharacters(const std::string& list);
// The comment cut to what a format's description holds.
std::string CommentCut(std::string_view kind, std::size_t bytes);

// Several patches in order. `k` counts from 0: "patch 2 of 3".
std::string PatchOfChain(std::size_t k, std::size_t count);
// What patch k + 1 meets: "the result of patch k".
std::string ResultOfPatch(std::size_t k);
// "patch 2 of 3, fixes.ips, does not fit the result of patch 1".
std::string ChainMisfit(std::size_t k, std::size_t count, const std::string& patchPath, Fit verdict,
                        const std::string& met);
std::string ChainDone(std::size_t count);
std::string NotChecked(std::size_t checked, std::size_t count);

// "PATCH fits FILE", "PATCH is already applied in FILE", "PATCH does not fit FILE".
std::string FitSentence(Fit verdict, const std::string& patchPath, const std::string& filePath);

}  // namespace text
}  // namespace zelk
