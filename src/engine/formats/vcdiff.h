// xdelta's patches: VCDIFF (RFC 3284) as xdelta3 writes it, with its own
// additions (an application header naming the files, an Adler-32 of every
// target window) and its sections compressed with LZMA, DJW or FGK; a code
// table of the patch's own is read as the RFC lays it out. A window at a time:
// the original is read by position, the result written as it is made.
#pragma once

#include <cstdint>
#include <string>

#include "engine/formats/format.h"

namespace zelk {

const PatchFormat& VcdiffFormat();
// The same patches made with their sections compressed with LZMA.
const PatchFormat& VcdiffLzmaFormat();

}  // namespace zelk
