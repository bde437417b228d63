#pragma once

#include <string>

#include "engine/patch_format.h"
#include "host/host_services.h"

namespace zelk {

// Rebuilds the changed file at `outputPath` from the original and a patch.
// The patch is checked whole before its comment is shown or anything is
// written; the output replaces its target only once it is complete.
Outcome ApplyPatch(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                   const std::string& outputPath);

// The message for a patch that CheckPatch did not find sound.
Stop UnsoundPatch(const PatchSummary& summary, const std::string& patchPath);

}  // namespace zelk
