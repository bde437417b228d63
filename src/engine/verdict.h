// What holding a patch against a file finds, in every format: whether the
// file is the patch's original, and the evidence a player can act on; and
// what the user may ask of an apply the evidence speaks against.
#pragma once

#include <cstdint>
#include <string>

namespace zelk {

enum class Fit { Fits, AlreadyApplied, DoesNotFit };

struct Verdict {
    Fit fit = Fit::Fits;
    std::string evidence;  // a sentence or two
};

struct ApplyOptions {
    // Apply a patch that carries checksums to a file whose checksum it does
    // not know, and keep a result whose checksum is not the patch's, with a
    // warning.
    bool ignoreChecksum = false;
    // Where the original's own header checksum was right and the result's
    // is not, write the right one into the result.
    bool fixChecksum = false;
};

// The header SNES copiers put in front of an image; nothing marks it, so
// any file may carry one.
inline constexpr std::uint64_t kCopierHeader = 512;

}  // namespace zelk
