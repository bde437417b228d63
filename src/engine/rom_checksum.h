// The checksums a ROM carries in its own header, for the systems whose
// emulators, flash carts and FPGA cores check them: a hack that changes the
// image and leaves them stale gets refused or warned about there. Each
// system is told by its header's own marks, never by the file's name.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/host_services.h"

namespace zelk {

// One checksum field: where it lies in the file, what it says and what the
// image makes it (the bytes as they stand in the file).
struct ChecksumField {
    std::string name;  // "SNES header checksum"
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> stated;
    std::vector<std::uint8_t> computed;
    // How both are shown: the value as the system reads it, in hex.
    std::string statedText, computedText;
    bool Right() const { return stated == computed; }
};

struct InternalChecksum {
    std::string system;  // "SNES", "Game Boy", "Game Boy Color", "Game Boy Advance", "Mega Drive", "Nintendo 64"
    std::vector<ChecksumField> fields;
    bool Right() const;
    // A line per field: "SNES header checksum: right", or "...: wrong: the
    // header says 1a2b, the image sums to 3c4d".
    std::string Lines() const;
};

// The internal checksums of `file`, or nothing where no listed system's
// header is found.
std::optional<InternalChecksum> ReadInternalChecksum(InputFile& file);

// Writes each field's computed bytes over its stated ones; nothing else
// changes.
void FixInternalChecksum(OutputFile& output, const InternalChecksum& checksum);

// Whether `original` carries an internal checksum, and it is right.
bool InternalChecksumRight(InputFile& original);

// `output` as it is where the original's internal checksum was not right;
// else an output that, once complete and before it replaces anything,
// holds the result's internal checksum: a wrong one is mended where `fix`
// says so or the user answers Yes to the question, else told with its
// remedy, once the result is in place.
std::unique_ptr<OutputFile> KeepInternalChecksum(HostServices& host, std::unique_ptr<OutputFile> output,
                                                 bool originalRight, bool fix);

// What the faces ask when a result's internal checksum went wrong.
inline constexpr const char* kFixChecksumQuestion = "Fix the ROM's internal checksum?";

}  // namespace zelk
