// Several patches applied in order, each to the result of the one before:
// a translation, then a fix made against the translated ROM. Every patch is
// read whole first, and each is held to its own checksums and evidence
// against what it meets before it is applied; the intermediate results live
// in scratch files, and only the last replaces the output.
#pragma once

#include <string>
#include <vector>

#include "engine/patch_applier.h"

namespace zelk {

// One patch applies as ApplyPatch does, to the letter; several end in one
// "Done" that says how many. `refusedForChecksum`: one of them did not fit
// what it met, which ignoreChecksum would apply all the same, with warnings.
Outcome ApplyPatches(HostServices& host, const std::string& originalPath, const std::vector<std::string>& patchPaths,
                     const std::string& outputPath, const ApplyOptions& options = {},
                     bool* refusedForChecksum = nullptr);

// What a check of several patches found: the original's hashes, and the
// verdict of each patch on what it met, up to the first that does not fit.
struct CheckedChain {
    FileHashes hashes;
    std::vector<Checked> patches;
};
std::optional<Stop> CheckPatches(HostServices& host, const std::string& originalPath,
                                 const std::vector<std::string>& patchPaths, CheckedChain& checked);
// The chain's check as every face says it, patch by patch.
std::string CheckChainText(const CheckedChain& checked, const std::string& originalPath,
                           const std::vector<std::string>& patchPaths, const RomCatalogue* names = nullptr);
// Whether every patch of the chain fits.
bool AllFit(const CheckedChain& checked, std::size_t patches);

// A check of one patch (CheckOriginal, its text joined by `joint`) or of
// several, as every face says it: the Stop it ended on, or nothing with
// `said` and whether every patch `fits`.
std::optional<Stop> CheckAny(HostServices& host, const std::string& originalPath,
                             const std::vector<std::string>& patchPaths, std::string_view joint, std::string& said,
                             bool& fits, const RomCatalogue* names = nullptr);

}  // namespace zelk
