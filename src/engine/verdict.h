// What holding a patch against a file finds, in every format: whether the
// file is the patch's original, and the evidence a player can act on; and
// what the user may ask of an apply the evidence speaks against.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace zelk {

enum class Fit { Fits, AlreadyApplied, DoesNotFit };

struct Verdict {
    Fit fit = Fit::Fits;
    std::string evidence;  // a sentence or two
};

// What a patch knows its original by, where it carries any of it: what
// names that original in a list of known ROMs.
struct ExpectedOriginal {
    std::optional<std::uint64_t> size;
    std::optional<std::uint32_t> crc;
    std::optional<std::array<std::uint8_t, 16>> md5;
    std::string name;  // the file name its maker gave it (xdelta's application header)
};

class RomCatalogue;

struct ApplyOptions {
    // Apply a patch that carries checksums to a file whose checksum it does
    // not know, and keep a result whose checksum is not the patch's, with a
    // warning.
    bool ignoreChecksum = false;
    // Where the original's own header checksum was right and the result's
    // is not, write the right one into the result.
    bool fixChecksum = false;
    // The user's DATs, read only where a refusal of the wrong original
    // names both ROMs by them: not at every apply.
    std::function<const RomCatalogue&()> names = nullptr;
};

// The header SNES copiers put in front of an image; nothing marks it, so
// any file may carry one.
inline constexpr std::uint64_t kCopierHeader = 512;

}  // namespace zelk
