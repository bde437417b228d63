// NINJA 2.0 patches (.rup): a sector of text fields (author, version,
// title, genre, language, date, web site, description), then one or more
// files, each with its original's and its result's size and MD5, XOR runs
// and the bytes one of them has past the other's end. The same patch turns
// the result back.
#pragma once

#include "engine/formats/format.h"

namespace zelk {

const PatchFormat& RupFormat();

}  // namespace zelk
