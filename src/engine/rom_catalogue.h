// The names of ROMs, from the DAT files ROM managers read (Logiqx XML and
// clrmamepro's text, as No-Intro and Redump publish them), where the user
// keeps them: each known
// dump by its hashes, so that a file and what a patch expects can be named.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/file_hashes.h"
#include "engine/verdict.h"
#include "host/host_services.h"

namespace zelk {

struct KnownRom {
    std::string game;  // the name the DAT gives the game
    std::string file;  // the name it gives the ROM's file
    std::shared_ptr<const std::string> dat;  // the DAT's own name (its header's), else its file's
    std::optional<std::uint64_t> size;
    std::optional<std::uint32_t> crc;
    std::optional<std::array<std::uint8_t, 16>> md5;
    std::optional<std::array<std::uint8_t, 20>> sha1;
};

class RomCatalogue {
public:
    // Reads the DATs at `path`: a DAT, a .zip or .7z of them, or a folder
    // holding any of those (.dat, .xml, .zip, .7z). A file that cannot be
    // used (in neither form, cut short, hostile, a hash of the wrong length) is
    // skipped, and a line naming it and why is added to `skipped`.
    void Add(HostServices& host, const std::string& path, std::vector<std::string>& skipped);
    std::size_t Size() const { return roms_.size(); }

    // The ROMs a file of these hashes is: by SHA-1 where the DAT gives one,
    // else MD5, else size and CRC-32.
    std::vector<const KnownRom*> Find(const FileHashes& hashes) const;
    // The ROMs a patch's original is, by what it expects: its checksums, or
    // where it has none, its file's name.
    std::vector<const KnownRom*> Find(const ExpectedOriginal& expected) const;

private:
    void AddStream(const std::string& shown, const std::function<std::size_t(std::span<std::uint8_t>)>& read,
                   std::uint64_t size, std::vector<std::string>& skipped);
    void AddFile(HostServices& host, const std::string& path, std::vector<std::string>& skipped);
    // Sorted indexes: each key beside the ROM's place in roms_, sorted once
    // all DATs are read (a look-up is a binary search; 100,000 entries are
    // indexed in milliseconds, where a hash map of strings took a second).
    template <class Key>
    using Index = std::vector<std::pair<Key, std::uint32_t>>;
    template <class Key>
    std::vector<const KnownRom*> Lookup(const Index<Key>& index, const Key& key) const;
    void Sort();
    std::vector<KnownRom> roms_;
    Index<std::array<std::uint8_t, 20>> bySha1_;
    Index<std::array<std::uint8_t, 16>> byMd5_;
    Index<std::pair<std::uint64_t, std::uint32_t>> bySizeCrc_;
    mutable std::vector<std::uint32_t> byFile_;  // places in roms_, by the ROM's file name
};

// The user's DATs: the default folder's, then each path given.
RomCatalogue UserCatalogue(HostServices& host, const std::vector<std::string>& paths, std::vector<std::string>& skipped);

// The same, read at the first call and kept: an apply needs them only to
// name the ROMs of a refusal. The lines of the DATs left out, if any, are
// handed to `skipped` at once.
std::function<const RomCatalogue&()> UserCatalogueOnDemand(HostServices& host, std::vector<std::string> paths,
                                                          std::function<void(const std::vector<std::string>&)> skipped);

// "Super Mario World (USA), in Nintendo - Super Nintendo Entertainment
// System": each ROM found, joined by " or ".
std::string RomNames(const std::vector<const KnownRom*>& roms);

// A line naming `file` where a DAT knows it: as it is, or through one of
// its views (behind a header, in another N64 byte order), saying which;
// empty where none does. `hashes` are the file's own.
std::string NameLine(const RomCatalogue& catalogue, InputFile& file, const FileHashes& hashes);

}  // namespace zelk
