// Arbitrary xdelta (VCDIFF) patches applied to a small original: either a
// message without "Done" and without output, or a result exactly as long as
// the patch's windows say; and check agrees with apply on whether the
// checksums hold.
#include "engine/patch_applier.h"
#include "engine/user_texts.h"
#include "memory_host.h"

using namespace zelk;
using namespace zelk::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // Layout: the original's length, the original, the patch after its magic.
    const std::size_t originalSize = std::min<std::size_t>(data[0], size - 1);
    const Bytes original(data + 1, data + 1 + originalSize);
    if (StartsAsArchive(original)) return 0;  // read as an archive
    Bytes patch = {0xD6, 0xC3, 0xC4, 0x00};
    patch.insert(patch.end(), data + 1 + originalSize, data + size);

    MemoryHost host;
    host.files["a.rom"] = original;
    host.files["p.xd"] = patch;
    const Outcome outcome = ApplyPatch(host, "a.rom", "p.xd", "out.rom");
    Require(!host.messages.empty());
    const bool saidDone = host.messages.back().text == text::ForeignDone("xdelta (VCDIFF)");
    Require(saidDone == (outcome == Outcome::Done));
    Require(host.files["a.rom"] == original && host.files["p.xd"] == patch);
    Require((host.files.count("out.rom") != 0) == (outcome == Outcome::Done));
    host.messages.clear();
    Verdict verdict;
    try {
        const auto stop = CheckOriginal(host, "a.rom", "p.xd", verdict);
        if (outcome == Outcome::Done) Require(!stop && verdict.fit == Fit::Fits);
    } catch (const FileError&) {
        // Damage found only while decoding, or a patch that copies from its
        // own result, which cannot be checked without writing it.
    }
    return 0;
}
