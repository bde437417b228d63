#include "engine/own_format.h"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/byte_reader.h"
#include "engine/diff_scanner.h"
#include "engine/evidence_rule.h"
#include "engine/formats/rom_views.h"
#include "engine/fit_check.h"
#include "engine/formats/comments.h"
#include "engine/patch_format.h"
#include "engine/user_texts.h"

namespace zelk {

namespace {

// A patch larger than this cannot state where its comment starts.
constexpr std::uint64_t kMaxPatchBeforeComment = kMaxFileSize - 1;

// Turns runs into blocks. A run's length is known only at its end, so its
// header gets a placeholder that is filled in then; the data goes straight
// from the read buffer to the patch.
class BlockWriter final : public DiffSink {
public:
    explicit BlockWriter(OutputFile& patch) : patch_(patch) {}

    void RunBegin(std::uint64_t offset) override {
        Reserve(kBlockHeaderSize);
        headerPos_ = patch_.Size();
        patch_.AppendInt32(static_cast<std::int32_t>(offset));
        patch_.AppendInt32(0);
        runLength_ = 0;
    }
    void RunBytes(std::span<const std::uint8_t> changed) override {
        Reserve(changed.size());
        patch_.Append(changed);
        runLength_ += changed.size();
    }
    void RunEnd() override { patch_.WriteInt32At(headerPos_ + 4, static_cast<std::int32_t>(runLength_)); }

    void Reserve(std::uint64_t bytes) {
        if (patch_.Size() + bytes > kMaxPatchBeforeComment) throw FileError(text::TooLarge(patch_.Path()));
    }

private:
    OutputFile& patch_;
    std::uint64_t headerPos_ = 0;
    std::uint64_t runLength_ = 0;
};

void WritePatch(HostServices& host, const MakeFiles& files, const std::string& comment) {
    InputFile& original = files.original;
    InputFile& changed = files.changed;
    OutputFile& patch = files.patch;
    const std::uint64_t n = original.Size();
    const std::uint64_t m = changed.Size();
    patch.Append({reinterpret_cast<const std::uint8_t*>(PatchMagic.data()), PatchMagic.size()});
    patch.AppendInt32(0);

    BlockWriter blocks(patch);
    ScanFiles(original, changed, n, host.Buffers().scan, blocks);

    if (m > n) {
        blocks.Reserve(kBlockHeaderSize + (m - n));
        patch.AppendInt32(static_cast<std::int32_t>(n));
        patch.AppendInt32(static_cast<std::int32_t>(m - n));
        patch.AppendFrom(changed, n, m - n);
    }
    const auto commentPos = static_cast<std::int32_t>(patch.Size() + 1);
    patch.Append({reinterpret_cast<const std::uint8_t*>(comment.data()), comment.size()});
    patch.WriteInt32At(kCommentPosOffset, commentPos);
}

// The message for a patch that CheckPatch did not find sound.
Stop UnsoundPatch(const PatchSummary& summary, const std::string& patchPath) {
    if (summary.status == PatchStatus::NotAPatch) return {std::string(text::NotAPatch), MessageStyle::Plain};
    return {text::DamagedPatch(patchPath, summary.damage)};
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
        TakePieces(blocks, static_cast<std::uint64_t>(block.blockLength), [&](std::span<const std::uint8_t> piece) {
            output.WriteAt(at, piece);
            at += piece.size();
        });
    }
}

// Writes the result, holding the original's bytes to the patch's on the
// way; returns the verdict.
Fit WriteResult(HostServices& host, InputFile& original, InputFile& patch, const PatchSummary& summary,
                OutputFile& output) {
    original.ExpectSequential();
    patch.ExpectSequential();
    const BufferSizes sizes = host.Buffers();
    output.Reserve(summary.ResultSize(original.Size()));
    FitCheck fit(original.Size(), 0);
    ByteReader blocks(patch, kHeaderSize, sizes.stream);
    if (summary.ascending)
        WriteInOrder(original, blocks, patch, summary, output, sizes, fit);
    else
        WriteAnyOrder(original, blocks, patch, summary, output, fit);
    return fit.Finish().verdict;
}

// Where the file as it is does not fit, or fits only for want of evidence,
// the first of its other views (behind a header, in another N64 byte order)
// that the patch fits on evidence: every byte a block writes differs from
// the file's there, and the lengths agree or many bytes were compared.
std::optional<View> FittingView(InputFile& file, InputFile& patch, const PatchSummary& summary,
                                const FitReport& asItIs, std::size_t bufferSize) {
    if (asItIs.verdict == Fit::AlreadyApplied || (asItIs.verdict == Fit::Fits && asItIs.onEvidence)) return std::nullopt;
    return FirstView(file, [&](InputFile& viewed) {
        const FitReport seen = CheckFit(viewed, patch, summary, bufferSize);
        return seen.verdict == Fit::Fits && seen.onEvidence;
    });
}

// How far into the file the first look at a patch reaches: a wrong file
// contradicts most patches well within it.
constexpr std::uint64_t kFirstLook = 4 << 20;

// Our own format, as the list of formats sees it.
class OwnPatch final : public LoadedPatch {
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
        if (const auto view = FittingView(file, patch, summary, report, bufferSize))
            return {Fit::Fits, ViewEvidence(*view, "the patch's blocks fit it as they fit those")};
        return {report.verdict, text::FitEvidence(report)};
    }
    std::string ApplyDone() const override { return std::string(text::ApplyDone); }
    // Held to the file before its comment is shown or a byte is written:
    // where the patch's own bytes say it was made for another file (or is
    // already applied in this one), it is refused unless the user asked to
    // apply it all the same. A first look at the blocks in the file's first
    // MiBs decides, where it finds evidence either way; the rest is held to
    // the file while the result is written, which costs no second read, and
    // a contradiction found there refuses the result before it replaces
    // anything. A file that fits behind a header or in another N64 byte order
    // gets the patch there, the header kept and the order given back.
    std::optional<Stop> Apply(HostServices& host, Inputs& in, ResultTarget& result, const ApplyOptions& options,
                              std::string& note) const override {
        const std::size_t bufferSize = host.Buffers().stream;
        const EvidenceRule rule(host, options);
        FitReport report = CheckFit(*in.original, *in.patch, summary, bufferSize, kFirstLook);
        if (!report.complete && (report.verdict != Fit::Fits || !report.onEvidence))
            report = CheckFit(*in.original, *in.patch, summary, bufferSize);
        const std::optional<View> view = FittingView(*in.original, *in.patch, summary, report, bufferSize);
        const auto refuse = [&](const FitReport& found) {
            return rule.Before(text::FitSentence(found.verdict, in.patchPath, in.originalPath) + ": " +
                               text::FitEvidence(found));
        };
        if (report.verdict != Fit::Fits && !view)
            if (auto stop = refuse(report)) return stop;
        ShowComment(host, *in.patch, summary);
        OutputFile& output = result.Create();
        std::optional<ViewedInput> viewed;
        if (view) viewed.emplace(*in.original, *view);
        InputFile& source = view ? static_cast<InputFile&>(*viewed) : *in.original;
        if (view && view->skip > 0) output.AppendFrom(*in.original, 0, view->skip);
        ShiftedOutput shifted(output, view ? view->skip : 0);
        const Fit written = WriteResult(host, source, *in.patch, summary, shifted);
        // What the first look did not reach, and what it saw through a view.
        if (written != Fit::Fits && (view || (report.verdict == Fit::Fits && !report.complete)))
            if (auto stop = refuse(CheckFit(source, *in.patch, summary, bufferSize))) return stop;
        if (!view) return std::nullopt;
        if (view->order != Reorder::None) ReorderOutput(output, 0, view->order);
        note = ViewTaken(*view, in.originalPath);
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
    std::string_view Summary() const override {
        return "blocks of new bytes at offsets and a comment in the code page; no checksum, "
               "2 GiB at most, never shorter";
    }
    // Whatever no other format takes is ours to check: its magic, or "not a patch".
    bool Recognises(std::span<const std::uint8_t>) const override { return true; }
    bool Marked(std::span<const std::uint8_t> head) const override { return StartsWith(head, PatchMagic); }
    std::unique_ptr<LoadedPatch> Read(InputFile& patch, std::size_t bufferSize) const override {
        auto read = std::make_unique<OwnPatch>();
        read->summary = CheckPatch(patch, bufferSize);
        return read;
    }
    bool Makes() const override { return true; }
    std::string MakeDone() const override { return std::string(text::MakeDone); }
    // No file of 2 GiB or more, and no shorter changed file: the format can
    // say neither.
    std::optional<Stop> RefuseInputs(const MakeRequest& request, const InputFile& original,
                                     const InputFile* changed) const override {
        if (changed == nullptr)
            return original.Size() > kMaxFileSize ? std::optional(Stop{text::TooLarge(request.originalPath)}) : std::nullopt;
        if (changed->Size() > kMaxFileSize) return Stop{text::TooLarge(request.changedPath)};
        if (changed->Size() < original.Size())
            return Stop{text::ShorterThanOriginal(request.changedPath, changed->Size(), request.originalPath,
                                                  original.Size())};
        return std::nullopt;
    }
    std::string Make(HostServices& host, const MakeRequest& request, const MakeFiles& files) const override {
        WritePatch(host, files, host.ToAnsi(ToCrLf(request.comment)));
        return LostInCodePage(host, request.comment);
    }
};

}  // namespace

const PatchFormat& OwnFormat() {
    static const Own format;
    return format;
}

}  // namespace zelk
