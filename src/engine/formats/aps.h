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

// The GBA form: the sizes of both files, then each 64 KiB block that
// differs as its XOR with the original's, with both blocks' CRC16s.
const PatchFormat& ApsGbaFormat();
void WriteApsGba(InputFile& original, InputFile& changed, OutputFile& patch);
// Whether `file` starts with a GBA cartridge header.
bool IsGbaRom(InputFile& file);

namespace text {
std::string ApsCannotAddress(const std::string& patchPath);
}  // namespace text

}  // namespace zelk
