// IPS, and IPS32 for files past 16 MiB: records that write bytes (or a run
// of one byte) at an offset, an EOF mark, and perhaps the length the result
// is cut to. EBP (EarthBound's patcher) is IPS with JSON after the mark: its
// title, author and description. No checksum: a file is held against the bytes the records
// write. Made from two files compared side by side, as older emulators and
// tools expect.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/formats/format.h"

namespace zelk {

const PatchFormat& IpsFormat();
const PatchFormat& Ips32Format();
const PatchFormat& EbpFormat();

namespace text {
std::string NoEndMark(std::string_view mark);
std::string BytesAfterEndMark(std::uint64_t count, std::string_view mark);
std::string IpsCannotAddress(const std::string& patchPath, std::uint64_t offset);
}  // namespace text

}  // namespace zelk
