#include "engine/patch_applier.h"

#include <algorithm>

namespace zelk {

Stop UnsoundPatch(const PatchSummary& summary, const std::string& patchPath) {
    if (summary.status == PatchStatus::NotAPatch) return {std::string(text::NotAPatch), MessageStyle::Plain};
    return {"Damaged patch file " + patchPath + ": " + summary.damage};
}

namespace {

// Gaps at least this long between blocks are copied by the kernel; shorter
// ones pass through the read buffer, which saves a system call per block.
constexpr std::uint64_t kKernelCopyGap = 1u << 20;

// Reads the next block header again and makes sure it is the one checked:
// another program may rewrite the patch in the meantime.
PatchBlock NextBlock(ByteReader& reader, InputFile& patch, std::uint64_t resultSize) {
    std::uint8_t fields[kBlockHeaderSize];
    const std::uint64_t at = reader.Position();
    reader.Read(fields);
    const PatchBlock block{ReadInt32(fields), ReadInt32(fields + 4), at};
    if (block.blockOffset < 0 || block.blockLength <= 0 ||
        static_cast<std::uint64_t>(block.blockOffset) + block.blockLength > resultSize)
        throw ChangedWhileRead(patch);
    return block;
}

void CopyBytes(ByteReader& reader, std::uint64_t length, const std::function<void(std::span<const std::uint8_t>)>& put) {
    while (length > 0) {
        const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(length, kIoChunk)));
        put(piece);
        length -= piece.size();
    }
}

// Blocks in ascending order (all the maker writes): one front-to-back pass
// that interleaves the original's bytes with the blocks' bytes.
void WriteInOrder(InputFile& original, ByteReader& blocks, InputFile& patch, const PatchSummary& summary,
                  OutputFile& output) {
    const std::uint64_t n = original.Size();
    const std::uint64_t resultSize = summary.ResultSize(n);
    ByteReader source(original);
    const auto append = [&](std::span<const std::uint8_t> bytes) { output.Append(bytes); };
    // Brings the output up to `end`: the original's bytes, then zeros past it.
    const auto fillTo = [&](std::uint64_t end) {
        const std::uint64_t fromOriginal = std::min(end, n);
        const std::uint64_t at = output.Size();
        if (at < fromOriginal) {
            if (fromOriginal - at >= kKernelCopyGap) {
                output.AppendFrom(original, at, fromOriginal - at);
            } else {
                source.Skip(at - source.Position());
                CopyBytes(source, fromOriginal - at, append);
            }
        }
        if (end > output.Size()) output.ExtendTo(end);
    };
    for (std::uint64_t i = 0; i < summary.blockCount; ++i) {
        const PatchBlock block = NextBlock(blocks, patch, resultSize);
        if (static_cast<std::uint64_t>(block.blockOffset) < output.Size())
            throw ChangedWhileRead(patch);
        fillTo(static_cast<std::uint64_t>(block.blockOffset));
        CopyBytes(blocks, static_cast<std::uint64_t>(block.blockLength), append);
    }
    fillTo(resultSize);
}

// Any other order: the whole original first, then each block at its place;
// later blocks win where blocks overlap, and the image never shrinks.
void WriteAnyOrder(InputFile& original, ByteReader& blocks, InputFile& patch, const PatchSummary& summary,
                   OutputFile& output) {
    const std::uint64_t resultSize = summary.ResultSize(original.Size());
    output.AppendFrom(original, 0, original.Size());
    output.ExtendTo(resultSize);
    for (std::uint64_t i = 0; i < summary.blockCount; ++i) {
        const PatchBlock block = NextBlock(blocks, patch, resultSize);
        auto at = static_cast<std::uint64_t>(block.blockOffset);
        CopyBytes(blocks, static_cast<std::uint64_t>(block.blockLength), [&](std::span<const std::uint8_t> piece) {
            output.WriteAt(at, piece);
            at += piece.size();
        });
    }
}

void WriteResult(HostServices& host, InputFile& original, InputFile& patch, const PatchSummary& summary,
                 const std::string& outputPath) {
    auto output = host.CreateOutput(outputPath);
    original.ExpectSequential();
    patch.ExpectSequential();
    ByteReader blocks(patch, kHeaderSize);
    if (summary.ascending)
        WriteInOrder(original, blocks, patch, summary, *output);
    else
        WriteAnyOrder(original, blocks, patch, summary, *output);
    output->Commit();
}

}  // namespace

Outcome ApplyPatch(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                   const std::string& outputPath) {
    return RunOperation(host, text::ApplyDone, [&]() -> std::optional<Stop> {
        if (!host.FileExists(originalPath)) return Stop{std::string(text::MissingFile) + originalPath};
        auto original = host.OpenInput(originalPath);
        if (original->Size() > kMaxFileSize) return Stop{text::TooLarge(originalPath)};
        if (!host.FileExists(patchPath)) return Stop{std::string(text::MissingFile) + patchPath};
        auto patch = host.OpenInput(patchPath);
        const PatchSummary summary = CheckPatch(*patch);
        if (summary.status != PatchStatus::Sound) return UnsoundPatch(summary, patchPath);
        if (summary.CommentLength() > 0)
            host.ShowMessage(host.FromAnsi(ReadCommentBytes(*patch, summary)), MessageStyle::Plain);
        WriteResult(host, *original, *patch, summary, outputPath);
        return std::nullopt;
    });
}

}  // namespace zelk
