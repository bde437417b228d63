// Every text the engine gives the user, in one place: the messages an
// operation ends on, what is wrong with a damaged patch, and what a look at
// a patch and a file found. Paths are named as the user typed them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelk {

struct FitReport;

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
// `index` counts blocks from 0; `headerPos` is where the block's header starts.
std::string NegativeOffset(std::uint64_t index, std::uint64_t headerPos, std::int32_t offset);
std::string BadLength(std::uint64_t index, std::uint64_t headerPos, std::int32_t length);
std::string PastThe32BitLimit(std::uint64_t index, std::uint64_t headerPos);
// A block runs into the comment, or past the end of a patch without one.
std::string RunsOn(std::uint64_t index, std::uint64_t headerPos, bool intoTheComment);

// "PATCH fits FILE", "PATCH is already applied in FILE", "PATCH does not fit FILE".
std::string FitSentence(const FitReport& report, const std::string& patchPath, const std::string& filePath);
// A sentence or two about the same, a player can act on.
std::string FitEvidence(const FitReport& report);

}  // namespace text
}  // namespace zelk
