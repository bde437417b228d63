#include "engine/formats/identity.h"

#include "engine/file_hashes.h"
#include "engine/user_texts.h"
#include "engine/verdict.h"

namespace zelk {

FileIdentity IdentifyFile(InputFile& file, const Stated& s, bool viewsToo, std::size_t bufferSize) {
    FileIdentity id;
    id.size = file.Size();
    id.crc = CrcOfFirst(file, id.size, bufferSize);
    if (id.size == s.sourceSize && id.crc == s.sourceCrc) {
        id.match = Match::Source;
    } else if (id.size == s.targetSize && id.crc == s.targetCrc) {
        id.match = Match::Target;
    } else if (viewsToo) {
        const auto view = FirstView(file, [&](InputFile& viewed) {
            return viewed.Size() == s.sourceSize && CrcOfFirst(viewed, viewed.Size(), bufferSize) == s.sourceCrc;
        });
        if (view) {
            id.match = Match::SourceInView;
            id.view = *view;
        } else {
            id.lacked = LackedHeader(file, s.sourceSize);
        }
    }
    return id;
}

std::string text::ChecksumEvidence(const FileIdentity& file, const Stated& patch, bool reversible) {
    switch (file.match) {
        case Match::Source:
            return "Its size and CRC-32 (" + text::SizeAndCrc(file.size, file.crc) +
                   ") are those of the file the patch was made from.";
        case Match::SourceInView:
            if (file.view.header.empty())
                return "It is a " + file.view.from + " image of the patch's " + file.view.to + " original: read as " +
                       file.view.to + ", its size and CRC-32 are those of the patch's original (" +
                       text::SizeAndCrc(patch.sourceSize, patch.sourceCrc) + "). Applying writes the result as " +
                       file.view.from + " again.";
            return "It has a " + std::to_string(file.view.skip) + "-byte " + file.view.header +
                   " header that the patch's original did not have; behind it, the size and CRC-32 are those of the "
                   "patch's original (" + text::SizeAndCrc(patch.sourceSize, patch.sourceCrc) +
                   "). Applying keeps the header in front of the result.";
        case Match::Target:
            return "Its size and CRC-32 (" + text::SizeAndCrc(file.size, file.crc) + ") are those of the file the patch makes" +
                   (reversible ? "; applying the patch to it turns it back into the original." : ".");
        case Match::Neither: break;
    }
    std::string said = "The patch was made from a file of " + text::SizeAndCrc(patch.sourceSize, patch.sourceCrc) +
                       "; this one has " + text::SizeAndCrc(file.size, file.crc) + ".";
    if (!file.lacked.empty())
        said += file.lacked;
    else if (file.size % 1024 == kCopierHeader)
        said += " Its size is 512 more than a multiple of 1 KiB: the usual mark of a copier header.";
    return said;
}

}  // namespace zelk
