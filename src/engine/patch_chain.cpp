#include "engine/patch_chain.h"

#include <stdexcept>

#include "engine/archive_input.h"
#include "engine/evidence_rule.h"
#include "engine/rom_checksum.h"
#include "engine/user_texts.h"
#include "host/forwarding_host.h"

namespace zelk {

namespace {

// An output that lands in a scratch file the chain keeps.
class ToScratch final : public OutputFile {
public:
    ToScratch(std::shared_ptr<ScratchFile> scratch, bool& committed)
        : scratch_(std::move(scratch)), committed_(committed) {}
    void Append(std::span<const std::uint8_t> bytes) override { scratch_->Append(bytes); }
    void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override { scratch_->WriteAt(offset, bytes); }
    void AppendFrom(InputFile& source, std::uint64_t offset, std::uint64_t length) override {
        scratch_->AppendFrom(source, offset, length);
    }
    void ExtendTo(std::uint64_t size) override { scratch_->ExtendTo(size); }
    std::uint64_t Size() const override { return scratch_->Size(); }
    void ReadBack(std::uint64_t offset, std::span<std::uint8_t> buffer) override { scratch_->ReadBack(offset, buffer); }
    void Commit() override { committed_ = true; }
    const std::string& Path() const override { return scratch_->Path(); }

private:
    std::shared_ptr<ScratchFile> scratch_;
    bool& committed_;
};

// The host one patch of the chain is applied with: a quiet one shows
// nothing, since a check applies the patches only to hold the next one
// against their result.
class ChainHost final : public ForwardingHost {
public:
    ChainHost(HostServices& host, bool quiet) : ForwardingHost(host), quiet_(quiet) {}
    void ShowMessage(const std::string& text, MessageStyle style) override {
        if (!quiet_) host_.ShowMessage(text, style);
    }
    void ShowWarning(const std::string& text) override {
        if (!quiet_) host_.ShowWarning(text);
    }
    void ShowComment(CommentReader& comment) override {
        if (!quiet_) host_.ShowComment(comment);
    }

private:
    bool quiet_;
};

struct ChainPatch {
    std::string path;
    std::unique_ptr<InputFile> file;
    std::unique_ptr<LoadedPatch> read;
};

// Every patch opened and read whole, so that a damaged one stops the run
// before anything is shown or written.
std::optional<Stop> ReadEvery(HostServices& host, const std::vector<std::string>& paths, const std::string& beside,
                              std::vector<ChainPatch>& patches) {
    for (std::size_t k = 0; k < paths.size(); ++k) {
        ChainPatch patch{paths[k], nullptr, nullptr};
        std::optional<Stop> stop;
        // What opening one patch fails on (an archive holding several) is
        // told as that patch's, like its other refusals.
        try {
            stop = OpenSource(host, patch.path, Wanted::Patch, beside, patch.file);
            if (!stop) {
                patch.read = Recognise(*patch.file).Read(*patch.file, host.Buffers().stream);
                stop = patch.read->Refusal(patch.path);
            }
        } catch (const FileError& failure) {
            stop = Stop{FailureText(failure)};
        }
        if (stop) {
            stop->text = text::PatchOfChain(k, paths.size()) + ": " + stop->text;
            return stop;
        }
        patches.push_back(std::move(patch));
    }
    return std::nullopt;
}

// The patches, each read whole, and the original as the first meets it (an
// archive it names by its checksums taken as it is); a missing original is
// told first.
std::optional<Stop> OpenChain(HostServices& host, const std::string& originalPath,
                              const std::vector<std::string>& patchPaths, const std::string& beside,
                              std::vector<ChainPatch>& patches, std::unique_ptr<InputFile>& original) {
    if (auto stop = CheckSource(host, originalPath)) return stop;
    if (auto stop = ReadEvery(host, patchPaths, beside, patches)) return stop;
    return OpenSource(host, originalPath, Wanted::Rom, beside, original,
                      NamedByChecksum(*patches.front().read, *patches.front().file, patches.front().path,
                                      host.Buffers().stream));
}

// What patch `k` meets: the original, or the result of the one before.
std::string InputName(std::size_t k, const std::string& originalPath) {
    return k == 0 ? originalPath : text::ResultOfPatch(k);
}

// Applies patch `k` to `current`, its result going to a scratch file on
// the output's file system (named `label` to the user), or to the output
// for the last, held to the original's internal checksum where that was
// right; the result for the next one.
std::optional<Stop> ApplyOne(HostServices& host, std::vector<ChainPatch>& patches, std::size_t k,
                             std::unique_ptr<InputFile>& current, const std::string& originalPath,
                             const std::string& outputPath, const ApplyOptions& options, bool quiet,
                             bool checksumRight = false) {
    const bool last = k + 1 == patches.size();
    const std::string label = last ? outputPath : text::ResultOfPatch(k + 1);
    ChainHost chainHost(host, quiet);
    std::shared_ptr<ScratchFile> scratch;
    bool committed = false;
    ResultTarget result(label, [&]() -> std::unique_ptr<OutputFile> {
        if (last) return KeepInternalChecksum(host, host.CreateOutput(outputPath), checksumRight, options.fixChecksum);
        scratch = host.CreateScratch(outputPath, label);
        return std::make_unique<ToScratch>(scratch, committed);
    });
    Inputs in{std::move(current), std::move(patches[k].file), InputName(k, originalPath), patches[k].path};
    if (auto stop = ApplyInto(chainHost, *patches[k].read, in, result, options)) {
        stop->text = text::PatchOfChain(k, patches.size()) + ": " + stop->text;
        return stop;
    }
    if (last) return std::nullopt;
    if (!scratch || !committed) throw std::logic_error("a patch of the chain made no result");
    current = ReadScratch(scratch, label);
    return std::nullopt;
}

}  // namespace

Outcome ApplyPatches(HostServices& host, const std::string& originalPath, const std::vector<std::string>& patchPaths,
                     const std::string& outputPath, const ApplyOptions& options, bool* refusedForChecksum) {
    if (patchPaths.size() == 1)
        return ApplyPatch(host, originalPath, patchPaths.front(), outputPath, options, refusedForChecksum);
    return RunOperation(host, text::ChainDone(patchPaths.size()), [&]() -> std::optional<Stop> {
        std::vector<ChainPatch> patches;
        std::unique_ptr<InputFile> current;
        if (auto stop = OpenChain(host, originalPath, patchPaths, outputPath, patches, current)) return stop;
        if (auto stop = RefuseOutputOverPatch(host, outputPath, patchPaths)) return stop;
        const std::size_t bufferSize = host.Buffers().stream;
        const EvidenceRule rule(host, options);
        const bool checksumRight = InternalChecksumRight(*current);
        for (std::size_t k = 0; k < patches.size(); ++k) {
            const std::string met = InputName(k, originalPath);
            if (auto stop = patches[k].read->RefuseOriginal(*current, met)) return stop;
            const Verdict verdict = patches[k].read->Check(*current, *patches[k].file, bufferSize);
            std::optional<Stop> stop;
            if (verdict.fit != Fit::Fits)
                stop = rule.Before(text::ChainMisfit(k, patches.size(), patches[k].path, verdict.fit, met) + ": " +
                                   verdict.evidence);
            if (!stop) stop = ApplyOne(host, patches, k, current, originalPath, outputPath, options, false, checksumRight);
            if (stop) {
                if (stop->checksum && refusedForChecksum != nullptr) *refusedForChecksum = true;
                // A result between two patches is no dump a DAT names.
                NameTheOriginals(options, *stop, k == 0 ? current.get() : nullptr, *patches[k].read);
                return stop;
            }
        }
        return std::nullopt;
    });
}

std::optional<Stop> CheckPatches(HostServices& host, const std::string& originalPath,
                                 const std::vector<std::string>& patchPaths, CheckedChain& checked) {
    std::vector<ChainPatch> patches;
    std::unique_ptr<InputFile> current;
    if (auto stop = OpenChain(host, originalPath, patchPaths, {}, patches, current)) return stop;
    const std::size_t bufferSize = host.Buffers().stream;
    for (std::size_t k = 0; k < patches.size(); ++k) {
        if (auto stop = patches[k].read->RefuseOriginal(*current, InputName(k, originalPath))) return stop;
        Checked one;
        if (k == 0) {
            HashingInput hashed(*current);
            one.verdict = patches[k].read->Check(hashed, *patches[k].file, bufferSize);
            checked.hashes = hashed.Finish();
        } else {
            one.verdict = patches[k].read->Check(*current, *patches[k].file, bufferSize);
        }
        one.expected = patches[k].read->Expected();
        one.expectedKeys = patches[k].read->ExpectedKeys();
        checked.patches.push_back(std::move(one));
        if (checked.patches.back().verdict.fit != Fit::Fits || k + 1 == patches.size()) break;
        if (auto stop = ApplyOne(host, patches, k, current, originalPath, {}, {}, true)) return stop;
    }
    return std::nullopt;
}

std::optional<Stop> CheckAny(HostServices& host, const std::string& originalPath,
                             const std::vector<std::string>& patchPaths, std::string_view joint, std::string& said,
                             bool& fits, const RomCatalogue* names) {
    if (patchPaths.size() == 1) {
        Checked checked;
        if (auto stop = CheckOriginal(host, originalPath, patchPaths.front(), checked)) return stop;
        said = CheckText(checked, originalPath, patchPaths.front(), joint, names);
        fits = checked.verdict.fit == Fit::Fits;
        return std::nullopt;
    }
    CheckedChain checked;
    if (auto stop = CheckPatches(host, originalPath, patchPaths, checked)) return stop;
    said = CheckChainText(checked, originalPath, patchPaths, names);
    fits = AllFit(checked, patchPaths.size());
    return std::nullopt;
}

bool AllFit(const CheckedChain& checked, std::size_t patches) {
    if (checked.patches.size() != patches) return false;
    for (const Checked& one : checked.patches)
        if (one.verdict.fit != Fit::Fits) return false;
    return true;
}

std::string CheckChainText(const CheckedChain& checked, const std::string& originalPath,
                           const std::vector<std::string>& patchPaths, const RomCatalogue* names) {
    std::string said = originalPath;
    said.append("\n").append(text::HashLines(checked.hashes));
    for (std::size_t k = 0; k < checked.patches.size(); ++k) {
        const Checked& one = checked.patches[k];
        said.append("\n").append(text::PatchOfChain(k, patchPaths.size())).append(": ");
        said.append(text::FitSentence(one.verdict.fit, patchPaths[k], InputName(k, originalPath)));
        said.append("\n").append(one.verdict.evidence);
        if (!one.expected.empty()) said.append("\nThe patch expects ").append(one.expected).append(".");
        if (names != nullptr)
            if (const std::string both = NamesOfBoth(*names, k == 0 ? &checked.hashes : nullptr, one.expectedKeys);
                !both.empty())
                said.append("\n").append(both);
    }
    if (checked.patches.size() < patchPaths.size())
        said.append("\n").append(text::NotChecked(checked.patches.size(), patchPaths.size()));
    return said;
}

}  // namespace zelk
