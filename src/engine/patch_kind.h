// Which format a patch file is in, told from its first bytes, never from its
// name: a ZelkPatch, or one of the formats ROM hacks are published in.
#pragma once

#include <string_view>

#include "host/file_services.h"

namespace zelk {

enum class PatchKind { Zelk, Ips, Ips32, Ups, Bps };

// Anything that is none of the others is taken for a ZelkPatch, whose own
// check then tells whether it is one.
PatchKind DetectKind(InputFile& patch);
// "ZelkPatch", "IPS", "IPS32", "UPS", "BPS".
std::string_view KindName(PatchKind kind);

}  // namespace zelk
