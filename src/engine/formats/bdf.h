// bsdiff 4 patches (BSDIFF40): three bzip2 streams, of control triples, of
// differences added to the original's bytes, and of new bytes. They state
// the result's size and no checksum.
#pragma once

#include "engine/formats/format.h"

namespace zelk {

const PatchFormat& BdfFormat();

}  // namespace zelk
