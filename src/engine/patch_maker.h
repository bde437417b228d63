#pragma once

#include <string>

#include "engine/formats/format.h"
#include "engine/operation.h"
#include "host/host_services.h"

namespace zelk {

// Writes a patch at `patchPath` that turns the original into the changed
// file, with `commentText` (UTF-8) as its comment, in `format`, or without
// one in the format the patch's name asks for (anything no other format
// claims: a ZelkPatch). Every outcome is told through host.ShowMessage;
// the result only says whether it was "Done".
Outcome MakePatch(HostServices& host, const std::string& originalPath, const std::string& changedPath,
                  const std::string& patchPath, const std::string& commentText, const PatchFormat* format = nullptr);

}  // namespace zelk
