// APS (Advanced Patching System, N64 form): runs of new bytes at 32-bit
// offsets (a run of one byte in short), a 50-byte description and the size
// of the result. A patch for an N64 image also holds its original's cart
// ID, country and CRC from the ROM header, in the image's byte order
// (.z64 or the byte-swapped .v64).
#pragma once

#include <string>

#include "engine/formats/format.h"

namespace zelk {

const PatchFormat& ApsFormat();

namespace text {
std::string ApsCannotAddress(const std::string& patchPath);
}  // namespace text

}  // namespace zelk
