// Arbitrary patch bytes applied to a small original: the outcome is either
// a message without "Done" and without output, or exactly the image that the
// plain in-memory procedure builds (applied as asked where the patch's bytes
// do not fit the file; through a header or another byte order where it fits
// there, which a line says).
#include <cstring>

#include "engine/formats/format.h"
#include "engine/patch_applier.h"
#include "engine/patch_format.h"
#include "engine/user_texts.h"
#include "memory_host.h"

using namespace zelk;
using namespace zelk::fuzz;

namespace {

enum class Reading { Sound, Refused, TooBig };

// The reference: read every block as the format says, grow only.
Reading Reference(const Bytes& patch, Bytes image, Bytes& result) {
    if (patch.size() < kHeaderSize || std::memcmp(patch.data(), PatchMagic.data(), PatchMagic.size()) != 0)
        return Reading::Refused;
    const std::int64_t commentPos = ReadInt32(patch.data() + kCommentPosOffset);
    if (commentPos < static_cast<std::int64_t>(kHeaderSize) + 1 || commentPos > static_cast<std::int64_t>(patch.size()) + 1)
        return Reading::Refused;
    bool tooBig = false;
    std::int64_t cursor = kHeaderSize;
    while (cursor + 8 < commentPos) {
        const std::int64_t offset = ReadInt32(patch.data() + cursor);
        const std::int64_t length = ReadInt32(patch.data() + cursor + 4);
        cursor += 8;
        if (offset < 0 || length <= 0 || offset + length > 0x7FFFFFFF || cursor + length > commentPos - 1)
            return Reading::Refused;
        // A fuzzer's patch may rightly ask for a 2 GiB image; the reference
        // only builds what fits on the memory disk.
        tooBig = tooBig || offset + length > static_cast<std::int64_t>(kDiskSize);
        if (!tooBig) {
            if (static_cast<std::size_t>(offset + length) > image.size())
                image.resize(static_cast<std::size_t>(offset + length), 0);
            std::memcpy(image.data() + offset, patch.data() + cursor, static_cast<std::size_t>(length));
        }
        cursor += length;
    }
    result = std::move(image);
    return tooBig ? Reading::TooBig : Reading::Sound;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t originalSize = std::min<std::size_t>(data[0] % 64, size - 1);
    const Bytes original(data + 1, data + 1 + originalSize);
    Bytes patch(data + 1 + originalSize, data + size);
    // Most inputs should get past the magic; the first byte's top bit decides.
    if (data[0] & 0x80) {
        const Bytes magic(PatchMagic.begin(), PatchMagic.end());
        patch.insert(patch.begin(), magic.begin(), magic.end());
    }

    // A patch another format takes is that format's fuzzer's.
    const std::span<const std::uint8_t> head(patch.data(), std::min(patch.size(), kRecognisedBytes));
    for (const PatchFormat* format : Formats())
        if (format != &OwnFormat() && format->Recognises(head)) return 0;

    if (StartsAsArchive(original)) return 0;

    MemoryHost host;
    host.files["a.rom"] = original;
    host.files["p.ppp"] = patch;
    // Applied as asked: a patch whose bytes say it is not for this file is
    // still applied, as the reference applies it; unless the file fits it
    // behind a header or in another byte order, which a line says.
    ApplyOptions anyway;
    anyway.ignoreChecksum = true;
    const Outcome outcome = ApplyPatch(host, "a.rom", "p.ppp", "out.rom", anyway);
    Require(!host.messages.empty());
    const bool saidDone = host.messages.back().text == text::ApplyDone;
    Require(saidDone == (outcome == Outcome::Done));
    Require(host.files["a.rom"] == original && host.files["p.ppp"] == patch);

    Bytes expected;
    const Reading reading = Reference(patch, original, expected);
    if (outcome == Outcome::Done) {
        Require(reading == Reading::Sound);
        Require(AppliedThroughView(host, "a.rom") || host.files["out.rom"] == expected);
    } else {
        Require(host.files.count("out.rom") == 0);
        Require(reading != Reading::Sound);
    }
    return 0;
}
