#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/fit_check.h"
#include "engine/operation.h"
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

// An original and a patch opened for applying or checking, the patch
// checked whole.
struct OpenedPatch {
    std::unique_ptr<InputFile> original;
    std::unique_ptr<InputFile> patch;
    PatchSummary summary;
};
// Opens both, or gives the Stop that applying would end on: a missing or
// too large original, a missing patch, a patch that is not sound.
std::optional<Stop> OpenPatchAndOriginal(HostServices& host, const std::string& originalPath,
                                         const std::string& patchPath, OpenedPatch& opened);
// Opens both as applying does and holds the patch against the original
// (CheckFit): the Stop applying would end on, or nothing with `report` filled in.
std::optional<Stop> CheckOriginal(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                                  FitReport& report);

}  // namespace zelk
