#include "engine/patch_applier.h"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/archive_input.h"
#include "engine/byte_reader.h"
#include "engine/fit_check.h"
#include "engine/patch_maker.h"
#include "engine/user_texts.h"

namespace zelk {

namespace {

// The message for a patch that CheckPatch did not find sound.
Stop UnsoundPatch(const PatchSummary& summary, const std::string& patchPath) {
    if (summary.status == PatchStatus::NotAPatch) return {std::string(text::NotAPatch), MessageStyle::Plain};
    return {text::DamagedPatch(patchPath, summary.damage)};
}

void CopyBytes(ByteReader& reader, std::uint64_t length, const std::function<void(std::span<const std::uint8_t>)>& put) {
    while (length > 0) {
        const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(length, SIZE_MAX)));
        put(piece);
        length -= piece.size();
    }
}

// The blocks of a checked patch in ascending order, read again one at a
// time and told to the fit check; past the last, the result's end.
struct AscendingBlocks {
    ByteReader& reader;
    InputFile& patch;
    FitCheck& fit;
    std::uint64_t resultSize;
    std::uint64_t left;
    std::uint64_t at = 0;  // next byte of the current block, resultSize when none is left
    std::uint64_t end = 0;

    void Next() {
        if (left == 0) {
            at = end = resultSize;
            return;
        }
        --left;
        const PatchBlock block = NextBlock(reader, patch, resultSize);
        if (static_cast<std::uint64_t>(block.blockOffset) < end) throw ChangedWhileRead(patch);
        at = static_cast<std::uint64_t>(block.blockOffset);
        end = at + static_cast<std::uint64_t>(block.blockLength);
        fit.Block(at, end - at);
    }
};

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
    const std::uint64_t n = original.Size();
    const std::uint64_t resultSize = summary.ResultSize(n);
    std::vector<std::uint8_t> window(static_cast<std::size_t>(std::min<std::uint64_t>(sizes.stream, resultSize)));
    AscendingBlocks block{blocks, patch, fit, resultSize, summary.blockCount};
    std::uint64_t at = 0;  // output written so far
    block.Next();
    while (at < resultSize) {
        // Long stretches without a block are the system's to copy; shorter
        // ones pass through the window, which saves a call per block.
        if (block.at - at >= sizes.copyGap) {
            if (at < n) output.AppendFrom(original, at, std::min(block.at, n) - at);
            output.ExtendTo(block.at);
            at = block.at;
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
        while (block.at < end) {
            const std::uint64_t pieceEnd = std::min(block.end, end);
            fillTo(pieceEnd);
            const auto piece = blocks.Next(static_cast<std::size_t>(pieceEnd - block.at));
            std::uint8_t* place = window.data() + (block.at - at);
            const auto known = static_cast<std::size_t>(block.at < n ? std::min<std::uint64_t>(piece.size(), n - block.at) : 0);
            fit.Bytes(block.at, piece, {place, known});
            std::memcpy(place, piece.data(), piece.size());
            block.at += piece.size();
            if (block.at == block.end) {
                const std::uint64_t blockDone = block.end;
                block.Next();
                if (block.at - blockDone >= sizes.copyGap) end = std::max(filled, blockDone);
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
    output->Reserve(summary.ResultSize(original->Size()));
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

// Our own format, as the list of formats sees it.
class OwnPatch final : public ReadPatch {
public:
    PatchSummary summary;

    std::optional<Stop> Refusal(const std::string& patchPath) const override {
        if (summary.status == PatchStatus::Sound) return std::nullopt;
        return UnsoundPatch(summary, patchPath);
    }
    std::optional<Stop> RefuseOriginal(const InputFile& original, const std::string& originalPath) const override {
        if (original.Size() > kMaxFileSize) return Stop{text::TooLarge(originalPath)};
        return std::nullopt;
    }
    Verdict Check(InputFile& file, InputFile& patch, std::size_t bufferSize) const override {
        const FitReport report = CheckFit(file, patch, summary, bufferSize);
        return {report.verdict, text::FitEvidence(report)};
    }
    std::string ApplyDone() const override { return std::string(text::ApplyDone); }
    std::optional<Stop> Apply(HostServices& host, Inputs& in, const std::string& outputPath,
                              const ApplyOptions&) const override {
        ShowComment(host, *in.patch, summary);
        WriteResult(host, std::move(in.original), std::move(in.patch), summary, in.originalPath, in.patchPath,
                    outputPath);
        return std::nullopt;
    }
    void ShowInfo(HostServices& host, std::unique_ptr<InputFile> patch) const override {
        ShowPatchInfo(host, std::move(patch), summary);
    }
};

class Own final : public PatchFormat {
public:
    std::string_view Name() const override { return "ZelkPatch"; }
    std::string_view Key() const override { return "zelk"; }
    // Whatever no other format takes is ours to check: its magic, or "not a patch".
    bool Recognises(std::span<const std::uint8_t>) const override { return true; }
    std::unique_ptr<ReadPatch> Read(InputFile& patch, std::size_t bufferSize) const override {
        auto read = std::make_unique<OwnPatch>();
        read->summary = CheckPatch(patch, bufferSize);
        return read;
    }
    bool Makes() const override { return true; }
    std::string MakeDone() const override { return std::string(text::MakeDone); }
    std::optional<Stop> Make(HostServices& host, const MakeRequest& request) const override {
        return MakeOwnPatch(host, request);
    }
};

}  // namespace

std::function<bool(InputFile&)> NamedByChecksum(const ReadPatch& read, InputFile& patch, const std::string& patchPath,
                                                std::size_t bufferSize) {
    if (read.Refusal(patchPath) || read.Expected().empty()) return {};
    return [&read, &patch, bufferSize](InputFile& file) { return read.Check(file, patch, bufferSize).fit == Fit::Fits; };
}

const PatchFormat& OwnFormat() {
    static const Own format;
    return format;
}

std::optional<Stop> OpenPatchAndOriginal(HostServices& host, const std::string& originalPath,
                                         const std::string& patchPath, OpenedPatch& opened, const std::string& beside) {
    opened.in.originalPath = originalPath;
    opened.in.patchPath = patchPath;
    if (auto stop = CheckSource(host, originalPath)) return stop;
    if (auto stop = OpenSource(host, patchPath, Wanted::Patch, beside, opened.in.patch)) return stop;
    opened.format = &Recognise(*opened.in.patch);
    opened.read = opened.format->Read(*opened.in.patch, host.Buffers().stream);
    if (auto stop = OpenSource(host, originalPath, Wanted::Rom, beside, opened.in.original,
                               NamedByChecksum(*opened.read, *opened.in.patch, patchPath, host.Buffers().stream)))
        return stop;
    if (auto stop = opened.read->RefuseOriginal(*opened.in.original, originalPath)) return stop;
    return opened.read->Refusal(patchPath);
}

std::optional<Stop> CheckOriginal(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                                  Verdict& verdict) {
    OpenedPatch opened;
    if (auto stop = OpenPatchAndOriginal(host, originalPath, patchPath, opened)) return stop;
    verdict = opened.read->Check(*opened.in.original, *opened.in.patch, host.Buffers().stream);
    return std::nullopt;
}

std::optional<Stop> CheckOriginal(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                                  Checked& checked) {
    OpenedPatch opened;
    if (auto stop = OpenPatchAndOriginal(host, originalPath, patchPath, opened)) return stop;
    HashingInput original(*opened.in.original);
    checked.verdict = opened.read->Check(original, *opened.in.patch, host.Buffers().stream);
    checked.hashes = original.Finish();
    checked.expected = opened.read->Expected();
    return std::nullopt;
}

std::string CheckText(const Checked& checked, const std::string& originalPath, const std::string& patchPath,
                      std::string_view joint) {
    std::string said = text::FitSentence(checked.verdict.fit, patchPath, originalPath) + std::string(joint) +
                       checked.verdict.evidence + "\n" + text::HashLines(checked.hashes);
    if (!checked.expected.empty()) said += "\nThe patch expects " + checked.expected + ".";
    return said;
}

Outcome ApplyPatch(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                   const std::string& outputPath, const ApplyOptions& options, bool* refusedForChecksum) {
    std::string done(text::ApplyDone);
    return RunOperation(host, done, [&]() -> std::optional<Stop> {
        OpenedPatch opened;
        if (auto stop = OpenPatchAndOriginal(host, originalPath, patchPath, opened, outputPath)) return stop;
        done = opened.read->ApplyDone();
        auto stop = opened.read->Apply(host, opened.in, outputPath, options);
        if (stop && stop->checksum && refusedForChecksum != nullptr) *refusedForChecksum = true;
        return stop;
    });
}

}  // namespace zelk
