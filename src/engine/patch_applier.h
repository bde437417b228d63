#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/fit_check.h"
#include "engine/formats/format.h"
#include "engine/operation.h"
#include "engine/patch_format.h"
#include "host/host_services.h"

namespace zelk {

// Rebuilds the changed file at `outputPath` from the original and a patch
// in any format the engine reads, told from its content. The patch is
// checked whole, and against the original's checksum where it carries one,
// before its comment is shown or anything is written; the output replaces
// its target only once it is complete (and its checksum is the patch's).
Outcome ApplyPatch(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                   const std::string& outputPath, const ApplyOptions& options = {});

// An original and a patch opened for applying or checking, the patch read
// whole by its format.
struct OpenedPatch {
    Inputs in;
    const PatchFormat* format = nullptr;
    std::unique_ptr<ReadPatch> read;
};
// Opens both, or gives the Stop that applying would end on: a missing
// original, a missing patch, a patch that is not sound, an original its
// format cannot take.
std::optional<Stop> OpenPatchAndOriginal(HostServices& host, const std::string& originalPath,
                                         const std::string& patchPath, OpenedPatch& opened);
// Opens both as applying does and holds the patch against the original:
// the Stop applying would end on, or nothing with `verdict` filled in.
std::optional<Stop> CheckOriginal(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                                  Verdict& verdict);

}  // namespace zelk
