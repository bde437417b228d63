// Our own format (the ZelkPatch) as one of the list of formats: read and
// checked whole, held against an original by the fit check, applied block by
// block into the result it is handed, and made by comparing two files.
#pragma once

#include "engine/formats/format.h"

namespace zelk {

const PatchFormat& OwnFormat();

}  // namespace zelk
