#include "engine/patch_maker.h"

#include <memory>
#include <vector>

#include "engine/archive_input.h"
#include "engine/diff_scanner.h"
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

// The inputs are closed before the patch replaces its target: the target
// may be one of them, and Windows replaces no file that is open.
void WritePatch(HostServices& host, std::unique_ptr<InputFile> originalFile, std::unique_ptr<InputFile> changedFile,
                const std::string& patchPath, const std::string& comment) {
    InputFile& original = *originalFile;
    InputFile& changed = *changedFile;
    const std::uint64_t n = original.Size();
    const std::uint64_t m = changed.Size();
    auto patch = host.CreateOutput(patchPath);
    patch->Append({reinterpret_cast<const std::uint8_t*>(PatchMagic.data()), PatchMagic.size()});
    patch->AppendInt32(0);

    BlockWriter blocks(*patch);
    ScanFiles(original, changed, n, host.Buffers().scan, blocks);

    if (m > n) {
        blocks.Reserve(kBlockHeaderSize + (m - n));
        patch->AppendInt32(static_cast<std::int32_t>(n));
        patch->AppendInt32(static_cast<std::int32_t>(m - n));
        patch->AppendFrom(changed, n, m - n);
    }
    const auto commentPos = static_cast<std::int32_t>(patch->Size() + 1);
    patch->Append({reinterpret_cast<const std::uint8_t*>(comment.data()), comment.size()});
    patch->WriteInt32At(kCommentPosOffset, commentPos);
    originalFile.reset();
    changedFile.reset();
    CommitOutput(host, *patch);
}

}  // namespace

std::optional<Stop> MakeOwnPatch(HostServices& host, const MakeRequest& request) {
    const std::string comment = host.ToAnsi(ToCrLf(request.comment));
    std::unique_ptr<InputFile> original, changed;
    if (auto stop = OpenSource(host, request.originalPath, Wanted::Rom, request.patchPath, original, AsItIs)) return stop;
    if (original->Size() > kMaxFileSize) return Stop{text::TooLarge(request.originalPath)};
    if (auto stop = OpenSource(host, request.changedPath, Wanted::Rom, request.patchPath, changed, AsItIs)) return stop;
    if (changed->Size() > kMaxFileSize) return Stop{text::TooLarge(request.changedPath)};
    if (changed->Size() < original->Size())
        return Stop{text::ShorterThanOriginal(request.changedPath, changed->Size(), request.originalPath,
                                              original->Size())};
    WritePatch(host, std::move(original), std::move(changed), request.patchPath, comment);
    return std::nullopt;
}

Outcome MakePatch(HostServices& host, const std::string& originalPath, const std::string& changedPath,
                  const std::string& patchPath, const std::string& commentText, const PatchFormat* format) {
    const PatchFormat* readOnly = format == nullptr ? ReadOnlyFormatForName(patchPath) : nullptr;
    if (format == nullptr) format = &MakerForName(patchPath);
    const MakeRequest request{originalPath, changedPath, patchPath, commentText};
    return RunOperation(host, format->MakeDone(), [&] {
        auto stop = format->Make(host, request);
        if (!stop && readOnly != nullptr) host.ShowMessage(text::OwnInstead(readOnly->Name(), patchPath), MessageStyle::Plain);
        return stop;
    });
}

}  // namespace zelk
