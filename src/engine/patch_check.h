// A patch and its original opened as every operation on both opens them
// (through archives, the patch read whole by its format), and the patch held
// against the original: the check that the faces show, and that applying
// stands on.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/file_hashes.h"
#include "engine/formats/format.h"
#include "engine/rom_catalogue.h"
#include "engine/operation.h"
#include "host/host_services.h"

namespace zelk {

// An original and a patch opened for applying or checking, the patch read
// whole by its format.
struct OpenedPatch {
    Inputs in;
    const PatchFormat* format = nullptr;
    std::unique_ptr<LoadedPatch> read;
};
// Whether a file is the original `read` names by its checksums, for an
// archive that is itself the original (OpenSource); empty for a patch that
// names its original by none, or cannot be used.
std::function<bool(InputFile&)> NamedByChecksum(const LoadedPatch& read, InputFile& patch, const std::string& patchPath,
                                                std::size_t bufferSize);
// Opens both, or gives the Stop that applying would end on: a missing
// original, a missing patch, a patch that is not sound, an original its
// format cannot take. An archive's entry that must be unpacked goes beside
// `beside` (the result).
std::optional<Stop> OpenPatchAndOriginal(HostServices& host, const std::string& originalPath,
                                         const std::string& patchPath, OpenedPatch& opened,
                                         const std::string& beside = {});
// Opens both as applying does and holds the patch against the original:
// the Stop applying would end on, or nothing with `verdict` filled in.
std::optional<Stop> CheckOriginal(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                                  Verdict& verdict);
// The same, with the original's hashes, taken in the same read, and what
// the patch knows its original by, where it says ("262144 bytes, CRC-32 ...").
struct Checked {
    Verdict verdict;
    FileHashes hashes;
    std::string expected;
    ExpectedOriginal expectedKeys;
};
std::optional<Stop> CheckOriginal(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                                  Checked& checked);
// After "not a patch" for `patchPath`, a line naming it, and saying where
// the paths look given the wrong way round (`originalPath` is a patch).
std::string NotAPatchDetail(HostServices& host, const std::string& originalPath, const std::string& patchPath);

// What a check says, in every face: the verdict's sentence, its evidence
// (joined to it by `joint`), then a line each for the hashes and what the
// patch expects.
// With `names`, a line each for the file and the patch's original where
// the user's DATs know them.
std::string CheckText(const Checked& checked, const std::string& originalPath, const std::string& patchPath,
                      std::string_view joint = "\n", const RomCatalogue* names = nullptr);
// Those lines: "This file is ..." (where `file` is not null) and "The patch
// is for ...", each where a DAT knows it; empty where none does.
std::string NamesOfBoth(const RomCatalogue& names, const FileHashes* file, const ExpectedOriginal& expected);

}  // namespace zelk
