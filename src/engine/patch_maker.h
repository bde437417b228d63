#pragma once

#include <string>

#include "engine/operation.h"
#include "engine/patch_format.h"
#include "host/host_services.h"

namespace zelk {

// Which format to write: by the patch's name (.bps, .ips, anything else a
// ZelkPatch), or as asked.
enum class MakeFormat { ByName, Zelk, Bps, Ips };
MakeFormat FormatForName(const std::string& patchPath);

// Writes a patch at `patchPath` that turns the original into the changed
// file, with `commentText` (UTF-8) as its comment (a BPS patch's metadata;
// an IPS patch has none, and says so). Every outcome is told through
// host.ShowMessage; the result only says whether it was "Done".
Outcome MakePatch(HostServices& host, const std::string& originalPath, const std::string& changedPath,
                  const std::string& patchPath, const std::string& commentText,
                  MakeFormat format = MakeFormat::ByName);

}  // namespace zelk
