// Which file is this to a patch that states the sizes and CRC-32s of the
// files it was made between: its original (as it is, or through another
// view), the file it makes, or neither.
#pragma once

#include <cstdint>
#include <string>

#include "engine/formats/rom_views.h"

namespace zelk {

// The files a patch was made between, as it states them.
struct Stated {
    std::uint64_t sourceSize = 0;
    std::uint64_t targetSize = 0;
    std::uint32_t sourceCrc = 0;
    std::uint32_t targetCrc = 0;
};

enum class Match {
    Source,        // the patch's original
    SourceInView,  // the patch's original behind a header or in another byte order
    Target,        // the file the patch makes
    Neither,
};
struct FileIdentity {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    Match match = Match::Neither;
    View view;
    std::string lacked;  // the header it likely lacks, in a sentence
};
// Reads the file once, and again through each other view of the
// original's size, where `viewsToo`.
FileIdentity IdentifyFile(InputFile& file, const Stated& stated, bool viewsToo, std::size_t bufferSize);

namespace text {
// The evidence of a check by checksums: what the file is to the patch.
std::string ChecksumEvidence(const FileIdentity& file, const Stated& patch, bool reversible);
}  // namespace text

}  // namespace zelk
