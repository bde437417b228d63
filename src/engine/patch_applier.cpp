#include "engine/patch_applier.h"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/byte_reader.h"
#include "engine/fit_check.h"
#include "engine/user_texts.h"

namespace zelk {

Stop UnsoundPatch(const PatchSummary& summary, const std::string& patchPath) {
    if (summary.status == PatchStatus::NotAPatch) return {std::string(text::NotAPatch), MessageStyle::Plain};
    return {text::DamagedPatch(patchPath, summary.damage)};
}

namespace {

void CopyBytes(ByteReader& reader, std::uint64_t length, const std::function<void(std::span<const std::uint8_t>)>& put) {
    while (length > 0) {
        const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(length, SIZE_MAX)));
        put(piece);
        length -= piece.size();
    }
}

// Blocks in ascending order (all the maker writes): one front-to-back pass.
// The result is built a window at a time: the original's bytes (zeros past
// its end) read straight into the window, the blocks' bytes laid over them,
// the window written out whole. A patch of a million tiny blocks thus costs
// a copy per block, not a write. Long stretches without a block are copied
// by the kernel instead.
// The original's bytes under each block are in the window just before the
// block's bytes land there: the fit check compares them on the way.
void WriteInOrder(InputFile& original, ByteReader& blocks, InputFile& patch, const PatchSummary& summary,
                  OutputFile& output, const BufferSizes& sizes, FitCheck& fit) {
    const std::size_t windowSize = sizes.stream;
    const std::uint64_t n = original.Size();
    const std::uint64_t resultSize = summary.ResultSize(n);
    std::vector<std::uint8_t> window(static_cast<std::size_t>(std::min<std::uint64_t>(windowSize, resultSize)));
    std::uint64_t blocksLeft = summary.blockCount;
    std::uint64_t at = 0;         // output written so far
    std::uint64_t blockAt = 0;    // next byte of the current block, resultSize when none is left
    std::uint64_t blockEnd = 0;
    const auto nextBlock = [&] {
        if (blocksLeft == 0) {
            blockAt = blockEnd = resultSize;
            return;
        }
        --blocksLeft;
        const PatchBlock block = NextBlock(blocks, patch, resultSize);
        if (static_cast<std::uint64_t>(block.blockOffset) < blockEnd) throw ChangedWhileRead(patch);
        blockAt = static_cast<std::uint64_t>(block.blockOffset);
        blockEnd = blockAt + static_cast<std::uint64_t>(block.blockLength);
        fit.Block(blockAt, blockEnd - blockAt);
    };
    nextBlock();
    while (at < resultSize) {
        // Long stretches without a block are the system's to copy; shorter
        // ones pass through the window, which saves a call per block.
        if (blockAt - at >= sizes.copyGap) {
            if (at < n) output.AppendFrom(original, at, std::min(blockAt, n) - at);
            output.ExtendTo(blockAt);
            at = blockAt;
            continue;
        }
        // The window is filled from the original as far as the blocks need,
        // a copy gap at a time, and ends early where a long stretch follows.
        std::uint64_t end = std::min(at + window.size(), resultSize);
        std::uint64_t filled = at;
        const auto fillTo = [&](std::uint64_t to) {
            if (to <= filled) return;
            to = std::min(end, std::max(to, filled + sizes.copyGap));
            const std::uint64_t fromOriginal = std::min(to, std::max(n, filled));
            if (filled < fromOriginal)
                original.ReadExactly(filled, {window.data() + (filled - at), static_cast<std::size_t>(fromOriginal - filled)});
            std::fill(window.data() + (fromOriginal - at), window.data() + (to - at), 0);
            filled = to;
        };
        while (blockAt < end) {
            const std::uint64_t pieceEnd = std::min(blockEnd, end);
            fillTo(pieceEnd);
            const auto piece = blocks.Next(static_cast<std::size_t>(pieceEnd - blockAt));
            std::uint8_t* place = window.data() + (blockAt - at);
            const auto known = static_cast<std::size_t>(blockAt < n ? std::min<std::uint64_t>(piece.size(), n - blockAt) : 0);
            fit.Bytes(blockAt, piece, {place, known});
            std::memcpy(place, piece.data(), piece.size());
            blockAt += piece.size();
            if (blockAt == blockEnd) {
                const std::uint64_t blockDone = blockEnd;
                nextBlock();
                if (blockAt - blockDone >= sizes.copyGap) end = std::max(filled, blockDone);
            }
        }
        fillTo(end);
        output.Append({window.data(), static_cast<std::size_t>(end - at)});
        at = end;
    }
}

// Any other order: the whole original first, then each block at its place;
// later blocks win where blocks overlap, and the image never shrinks.
void WriteAnyOrder(InputFile& original, ByteReader& blocks, InputFile& patch, const PatchSummary& summary,
                   OutputFile& output, FitCheck& fit) {
    const std::uint64_t resultSize = summary.ResultSize(original.Size());
    output.AppendFrom(original, 0, original.Size());
    output.ExtendTo(resultSize);
    for (std::uint64_t i = 0; i < summary.blockCount; ++i) {
        const PatchBlock block = NextBlock(blocks, patch, resultSize);
        fit.Block(static_cast<std::uint64_t>(block.blockOffset), static_cast<std::uint64_t>(block.blockLength));
        auto at = static_cast<std::uint64_t>(block.blockOffset);
        CopyBytes(blocks, static_cast<std::uint64_t>(block.blockLength), [&](std::span<const std::uint8_t> piece) {
            output.WriteAt(at, piece);
            at += piece.size();
        });
    }
}

// The inputs are closed before the result replaces its target: the target
// may be one of them, and Windows replaces no file that is open.
// A patch that does not fit the original is applied all the same: the user
// asked for it. The host may warn before the result replaces its target.
void WriteResult(HostServices& host, std::unique_ptr<InputFile> original, std::unique_ptr<InputFile> patch,
                 const PatchSummary& summary, const std::string& originalPath, const std::string& patchPath,
                 const std::string& outputPath) {
    auto output = host.CreateOutput(outputPath);
    original->ExpectSequential();
    patch->ExpectSequential();
    const BufferSizes sizes = host.Buffers();
    const std::size_t bufferSize = sizes.stream;
    FitCheck fit(original->Size(), 0);
    {
        ByteReader blocks(*patch, kHeaderSize, bufferSize);
        if (summary.ascending)
            WriteInOrder(*original, blocks, *patch, summary, *output, sizes, fit);
        else
            WriteAnyOrder(*original, blocks, *patch, summary, *output, fit);
    }
    FitReport report = fit.Finish();
    if (report.verdict != Fit::Fits) {
        // Only a wrong original pays for a second look, for a copier header.
        if (!report.outOfOrder) report = CheckFit(*original, *patch, summary, bufferSize);
        host.ShowWarning(text::FitSentence(report.verdict, patchPath, originalPath) + ": " + text::FitEvidence(report));
    }
    original.reset();
    patch.reset();
    CommitOutput(host, *output);
}

// A patch in one of the formats ROM hacks are published in: refused unless
// it was made for this file (UPS and BPS say so by checksum), its metadata
// shown as a comment, then written like any result.
std::optional<Stop> ApplyForeign(HostServices& host, OpenedPatch& opened, const std::string& originalPath,
                                 const std::string& outputPath, const ApplyOptions& options) {
    const ForeignSummary& s = opened.foreign;
    const std::string_view kind = KindName(s.kind);
    const BufferSizes sizes = host.Buffers();
    ForeignPlan plan;
    std::string note;
    if (s.HasChecksums()) {
        opened.original->ExpectSequential();
        const FileIdentity id = IdentifyFile(*opened.original, s, sizes.stream);
        std::string problem;
        if (id.match == Match::SourceBehindHeader) {
            plan.skip = kCopierHeader;
            note = text::HeaderKept(originalPath);
        } else if (id.match == Match::Target && s.kind == PatchKind::Ups) {
            plan.reverse = true;
            note = text::TurnedBack(originalPath, kind);
        } else if (id.match == Match::Target) {
            problem = text::AlreadyPatched(originalPath, kind, id.size, id.crc);
        } else if (id.match == Match::Neither) {
            problem = text::WrongFile(originalPath, kind, s.sourceSize, s.sourceCrc, id.size, id.crc);
        }
        if (!problem.empty() && !options.ignoreChecksum) return Stop{problem};
        if (!problem.empty()) host.ShowWarning(text::AppliedAllTheSame(problem));
    }
    ShowMetadata(host, *opened.patch, s);
    auto output = host.CreateOutput(outputPath);
    opened.original->ExpectSequential();
    opened.patch->ExpectSequential();
    if (plan.skip > 0) output->AppendFrom(*opened.original, 0, plan.skip);
    const std::uint32_t crc = WriteForeign(*opened.original, *opened.patch, s, plan, *output, sizes);
    const std::uint32_t expected = plan.reverse ? s.sourceCrc : s.targetCrc;
    if (s.HasChecksums() && crc != expected) {
        const std::string problem = text::ResultCrcWrong(outputPath, kind, crc, expected);
        if (!options.ignoreChecksum) throw FileError(problem);
        host.ShowWarning(text::AppliedAllTheSame(problem));
    }
    opened.original.reset();
    opened.patch.reset();
    CommitOutput(host, *output);
    if (!note.empty()) host.ShowMessage(note, MessageStyle::Plain);
    return std::nullopt;
}

}  // namespace

std::optional<Stop> OpenPatchAndOriginal(HostServices& host, const std::string& originalPath,
                                         const std::string& patchPath, OpenedPatch& opened) {
    if (auto stop = CheckInput(host, originalPath)) return stop;
    opened.original = host.OpenInput(originalPath);
    if (auto stop = CheckInput(host, patchPath)) return stop;
    opened.patch = host.OpenInput(patchPath);
    opened.kind = DetectKind(*opened.patch);
    if (opened.kind != PatchKind::Zelk) {
        opened.foreign = ReadForeignPatch(*opened.patch, opened.kind, host.Buffers().stream);
        if (!opened.foreign.Sound()) return Stop{text::DamagedPatch(patchPath, opened.foreign.damage)};
        return std::nullopt;
    }
    if (opened.original->Size() > kMaxFileSize) return Stop{text::TooLarge(originalPath)};
    opened.summary = CheckPatch(*opened.patch, host.Buffers().stream);
    if (opened.summary.status != PatchStatus::Sound) return UnsoundPatch(opened.summary, patchPath);
    return std::nullopt;
}

std::optional<Stop> CheckOriginal(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                                  Verdict& verdict) {
    OpenedPatch opened;
    if (auto stop = OpenPatchAndOriginal(host, originalPath, patchPath, opened)) return stop;
    const std::size_t bufferSize = host.Buffers().stream;
    if (opened.kind != PatchKind::Zelk) {
        verdict = CheckForeign(*opened.original, *opened.patch, opened.foreign, bufferSize);
        return std::nullopt;
    }
    const FitReport report = CheckFit(*opened.original, *opened.patch, opened.summary, bufferSize);
    verdict = {report.verdict, text::FitEvidence(report)};
    return std::nullopt;
}

Outcome ApplyPatch(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                   const std::string& outputPath, const ApplyOptions& options) {
    std::string done(text::ApplyDone);
    return RunOperation(host, done, [&]() -> std::optional<Stop> {
        OpenedPatch opened;
        if (auto stop = OpenPatchAndOriginal(host, originalPath, patchPath, opened)) return stop;
        if (opened.kind != PatchKind::Zelk) {
            done = text::ForeignDone(KindName(opened.kind));
            return ApplyForeign(host, opened, originalPath, outputPath, options);
        }
        ShowComment(host, *opened.patch, opened.summary);
        WriteResult(host, std::move(opened.original), std::move(opened.patch), opened.summary, originalPath,
                    patchPath, outputPath);
        return std::nullopt;
    });
}

}  // namespace zelk
