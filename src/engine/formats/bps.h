// BPS: a result built by commands (the original's bytes in place or from
// anywhere, new bytes, copies from the result itself), between two files
// whose sizes and CRC-32s it states, with metadata we show as the comment.
// Made by finding where each stretch of the changed file came from, so data
// that moved costs little.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/formats/format.h"

namespace zelk {

const PatchFormat& BpsFormat();

namespace text {
std::string CursorBeforeStart(std::uint64_t at);
std::string WritesPastResult(std::uint64_t at);
std::string ReadsOutside(std::uint64_t at, std::string_view what);
std::string MakesTooFew(std::uint64_t made, std::uint64_t promised);
std::string MetadataPastTheEnd();
}  // namespace text

}  // namespace zelk
