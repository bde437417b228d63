// Making xdelta patches: VCDIFF as every xdelta reader applies it, written
// from the copies the shared matcher finds anywhere in the original, in
// windows that carry xdelta3's Adler-32 of what they make, and, in the
// second form, with their sections compressed with LZMA as xdelta3 writes
// them by default.
#pragma once

#include "engine/formats/format.h"

namespace zelk {

// Writes the patch of `files.changed` against `files.original` into
// `files.patch`, naming both files in xdelta3's application header as
// `request` names them.
void WriteVcdiff(const MakeRequest& request, const MakeFiles& files, bool lzma, const BufferSizes& sizes);

}  // namespace zelk
