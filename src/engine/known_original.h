// A hack published with the ROMs it is made for, each named by its hashes
// (one entry per accepted dump or region): the file a player chooses is
// held to them before any patch is applied, as it is and through the views
// a dump may come in (a copier or emulator header, another N64 byte order),
// and the patches are applied, in order, to the view that is the hack's
// original, the header kept and the byte order given back.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/file_hashes.h"
#include "engine/formats/rom_views.h"
#include "engine/operation.h"
#include "host/host_services.h"

namespace zelk {

struct KnownOriginal {
    std::string name;
    std::optional<std::uint64_t> size;
    std::optional<std::uint32_t> crc;
    std::optional<std::array<std::uint8_t, 16>> md5;
    std::optional<std::array<std::uint8_t, 20>> sha1;
    // Whether a file of these hashes is this one: every hash it gives agrees.
    bool Matches(const FileHashes& hashes) const;
};

// Reads the entries, one a line: name, size, CRC-32, MD5 and SHA-1 between
// tabs, each but the name possibly empty, the hashes in hex. A line that
// gives none of the three hashes, or a hash of the wrong length, throws
// std::invalid_argument naming the entry.
std::vector<KnownOriginal> ReadKnownOriginals(const std::string& lines);

// Which entry `file` is, and in which view; its hashes as it is.
struct Recognised {
    std::optional<std::size_t> entry;
    std::optional<View> view;  // empty: the file as it is
    FileHashes hashes;
};
Recognised RecogniseOriginal(InputFile& file, const std::vector<KnownOriginal>& known);

// Applies `patchPaths` in order to the file at `romPath` (or the ROM in the
// archive it names) once it is one of `known`, into `outputPath`. A file
// that is none of them is refused, naming the ROMs the hack needs and the
// file's hashes, with `refusedForChecksum` set: applying anyway is applying
// the patches to the file as it is, as the patches' own checks allow.
Outcome ApplyToKnownOriginal(HostServices& host, const std::string& romPath, const std::vector<KnownOriginal>& known,
                             const std::vector<std::string>& patchPaths, const std::string& outputPath,
                             bool* refusedForChecksum = nullptr);

// The size and hashes of the file at `path` (or the ROM in the archive it
// names), as the hack's list of originals gives them.
std::optional<Stop> HashRom(HostServices& host, const std::string& path, FileHashes& hashes);

}  // namespace zelk
