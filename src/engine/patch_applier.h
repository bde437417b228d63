#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/fit_check.h"
#include "engine/foreign_patch.h"
#include "engine/operation.h"
#include "engine/patch_format.h"
#include "host/host_services.h"

namespace zelk {

struct ApplyOptions {
    // Apply a UPS or BPS patch to a file whose checksum it does not know,
    // and keep a result whose checksum is not the patch's, with a warning.
    bool ignoreChecksum = false;
};

// Rebuilds the changed file at `outputPath` from the original and a patch,
// a ZelkPatch or an IPS, UPS or BPS patch. The patch is checked whole, and
// UPS and BPS patches against the original's checksum, before its comment
// is shown or anything is written; the output replaces its target only
// once it is complete (and its checksum is the patch's).
Outcome ApplyPatch(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                   const std::string& outputPath, const ApplyOptions& options = {});

// The message for a patch that CheckPatch did not find sound.
Stop UnsoundPatch(const PatchSummary& summary, const std::string& patchPath);

// An original and a patch opened for applying or checking, the patch
// checked whole.
struct OpenedPatch {
    std::unique_ptr<InputFile> original;
    std::unique_ptr<InputFile> patch;
    PatchKind kind = PatchKind::Zelk;
    PatchSummary summary;     // a ZelkPatch
    ForeignSummary foreign;   // any other
};
// Opens both, or gives the Stop that applying would end on: a missing
// original, a missing patch, a patch that is not sound, an original too
// large for a ZelkPatch.
std::optional<Stop> OpenPatchAndOriginal(HostServices& host, const std::string& originalPath,
                                         const std::string& patchPath, OpenedPatch& opened);
// Opens both as applying does and holds the patch against the original:
// the Stop applying would end on, or nothing with `verdict` filled in.
std::optional<Stop> CheckOriginal(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                                  Verdict& verdict);

}  // namespace zelk
