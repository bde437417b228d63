// PlayStation Patch Files, versions 1.0, 2.0 and 3.0: runs of new bytes at
// offsets of a disc image (64-bit from 3.0 on), a 50-byte description and
// an optional FILE_ID.DIZ. From 2.0 on the patch holds 1024 bytes of its
// original to know it by, and a 3.0 patch may hold the bytes it replaces,
// so that it turns the patched image back.
#pragma once

#include "engine/formats/format.h"

namespace zelk {

const PatchFormat& PpfFormat();

}  // namespace zelk
