// The patch file: a 15-byte magic, the one-based position of the comment,
// replacement blocks (offset, length, data) and a comment to the end of the
// file. All numbers are signed 32-bit little-endian.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "host/host_services.h"

namespace zelk {

class ByteReader;

inline constexpr std::string_view PatchMagic = "Zelk Patch v1.0";
inline constexpr std::uint64_t kCommentPosOffset = 15;
inline constexpr std::uint64_t kHeaderSize = 19;
inline constexpr std::uint64_t kBlockHeaderSize = 8;
// Offsets and lengths are signed 32-bit: no file or result may reach 2^31.
inline constexpr std::uint64_t kMaxFileSize = 0x7FFFFFFF;

// Every bare LF becomes CR LF; CR LF pairs stay as they are.
std::string ToCrLf(std::string_view text);

std::int32_t ReadInt32(const std::uint8_t* bytes);

struct PatchBlock {
    std::int32_t blockOffset;
    std::int32_t blockLength;
    std::uint64_t headerPos;  // where the block's header starts in the patch file
};

enum class PatchStatus { Sound, NotAPatch, Damaged };

struct PatchSummary {
    PatchStatus status = PatchStatus::Sound;
    std::string damage;  // what is wrong and where, for a damaged patch
    std::uint64_t fileLength = 0;
    std::int32_t commentPos = 0;
    std::uint64_t blockCount = 0;
    std::uint64_t coveredBytes = 0;  // sum of block lengths
    std::uint64_t maxEnd = 0;        // largest blockOffset + blockLength
    bool ascending = true;           // each block starts at or after the previous one's end

    std::uint64_t CommentStart() const { return static_cast<std::uint64_t>(commentPos) - 1; }
    std::uint64_t CommentLength() const { return fileLength - CommentStart(); }
    // The applied image only grows: the original's length or the farthest block end.
    std::uint64_t ResultSize(std::uint64_t originalSize) const { return std::max(originalSize, maxEnd); }
};

// Reads the whole patch once and checks every field before anything is
// applied: a patch is sound only when every block lies between the header
// and the comment and describes bytes inside the 32-bit range. `onBlock`
// sees each block of a patch that is sound so far. Nothing is allocated in
// proportion to what the file claims.
PatchSummary CheckPatch(InputFile& patch, std::size_t bufferSize,
                        const std::function<void(const PatchBlock&)>& onBlock = {});

// Reads the next block header of a checked patch once more, from `reader`,
// and makes sure it is one that CheckPatch found sound, ending by
// `resultSize`: another program may have rewritten the patch meanwhile
// (ChangedWhileRead).
PatchBlock NextBlock(ByteReader& reader, InputFile& patch, std::uint64_t resultSize);

// Shows the comment of a checked patch, if it has one.
void ShowComment(HostServices& host, InputFile& patch, const PatchSummary& summary);

// Shows what info tells of a sound patch: its comment, its blocks. The
// patch is closed before the last message.
void ShowPatchInfo(HostServices& host, std::unique_ptr<InputFile> patch, const PatchSummary& summary);

}  // namespace zelk
