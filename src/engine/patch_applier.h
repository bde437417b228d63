#pragma once

#include <optional>
#include <string>

#include "engine/formats/format.h"
#include "engine/operation.h"
#include "engine/patch_check.h"
#include "host/host_services.h"

namespace zelk {

// Rebuilds the changed file at `outputPath` from the original and a patch
// in any format the engine reads, told from its content. The patch is
// checked whole, and against the original's checksum where it carries one,
// before its comment is shown or anything is replaced (a format that takes
// that checksum while it writes writes a temporary first); the output replaces
// its target only once it is complete (and its checksum is the patch's).
// `refusedForChecksum` is set where it stopped because the original's
// checksum is not the patch's, which ignoreChecksum would apply all the same.
Outcome ApplyPatch(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                   const std::string& outputPath, const ApplyOptions& options = {},
                   bool* refusedForChecksum = nullptr);

// Applies a patch read whole to the inputs opened for it, into `result`,
// and commits what it wrote: the inputs are closed first, since the target
// may be one of them and Windows replaces no file that is open. What the
// format notes of it is shown once the result is in place. The Stop it
// ended on instead, if any.
std::optional<Stop> ApplyInto(HostServices& host, const LoadedPatch& read, Inputs& in, ResultTarget& result,
                              const ApplyOptions& options);

// Adds to the refusal of a wrong original the names the user's DATs give
// `file` (where not null) and the original `read` expects.
void NameTheOriginals(const ApplyOptions& options, Stop& stop, InputFile* file, const LoadedPatch& read);

}  // namespace zelk
