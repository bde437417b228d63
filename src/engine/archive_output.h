// A zip written from files, as an archiver writes one: what the page gives
// a hack's author to upload (the page itself, its list of the hack's
// patches, and the patches).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/operation.h"
#include "host/host_services.h"

namespace zelk {

struct ZipMember {
    std::string name;  // its path in the zip, with forward slashes
    std::string path;  // the file it is read from
};

// Writes `members`, in order, into a zip at `zipPath`, which replaces its
// target only once it is complete; the Stop it ended on instead (a missing
// member), if any.
std::optional<Stop> WriteZip(HostServices& host, const std::string& zipPath, const std::vector<ZipMember>& members);

}  // namespace zelk
