#include "engine/patch_applier.h"

namespace zelk {

void ReportUnsoundPatch(HostServices& host, const PatchSummary& summary, const std::string& patchPath) {
    if (summary.status == PatchStatus::NotAPatch)
        host.ShowMessage(std::string(text::NotAPatch), MessageStyle::Plain);
    else
        host.ShowMessage("Damaged patch file " + patchPath + ": " + summary.damage, MessageStyle::Critical);
}

namespace {

void WriteResult(HostServices& host, InputFile& original, InputFile& patch, const PatchSummary& summary,
                 const std::string& outputPath) {
    const std::uint64_t n = original.Size();
    auto output = host.CreateOutput(outputPath);
    // The original goes across whole (in the kernel where it can), then each
    // block lands at its offset: later blocks win where blocks overlap, and
    // the image never shrinks.
    output->AppendFrom(original, 0, n);
    output->ExtendTo(summary.ResultSize(n));
    patch.ExpectSequential();
    ByteReader reader(patch, kHeaderSize);
    for (std::uint64_t i = 0; i < summary.blockCount; ++i) {
        std::uint8_t fields[kBlockHeaderSize];
        reader.Read(fields);
        const std::int32_t offset = ReadInt32(fields);
        const std::int32_t length = ReadInt32(fields + 4);
        // The patch was checked, but another program may rewrite it meanwhile.
        if (offset < 0 || length <= 0 || static_cast<std::uint64_t>(offset) + length > output->Size())
            throw FileError("Cannot read " + patch.Path() + ": the file changed while it was read");
        auto at = static_cast<std::uint64_t>(offset);
        auto left = static_cast<std::uint64_t>(length);
        while (left > 0) {
            const auto piece = reader.Next(static_cast<std::size_t>(left));
            output->WriteAt(at, piece);
            at += piece.size();
            left -= piece.size();
        }
    }
    output->Commit();
}

}  // namespace

Outcome ApplyPatch(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                   const std::string& outputPath) {
    const auto stop = [&](const std::string& message) {
        host.ShowMessage(message, MessageStyle::Critical);
        return Outcome::Stopped;
    };
    try {
        if (!host.FileExists(originalPath)) return stop(std::string(text::MissingFile) + originalPath);
        auto original = host.OpenInput(originalPath);
        if (original->Size() > kMaxFileSize) return stop(text::TooLarge(originalPath));
        if (!host.FileExists(patchPath)) return stop(std::string(text::MissingFile) + patchPath);
        auto patch = host.OpenInput(patchPath);
        const PatchSummary summary = CheckPatch(*patch);
        if (summary.status != PatchStatus::Sound) {
            patch.reset();
            original.reset();
            ReportUnsoundPatch(host, summary, patchPath);
            return Outcome::Stopped;
        }
        if (summary.CommentLength() > 0)
            host.ShowMessage(host.FromAnsi(ReadCommentBytes(*patch, summary)), MessageStyle::Plain);
        WriteResult(host, *original, *patch, summary, outputPath);
    } catch (const std::exception& failure) {
        return stop(failure.what());
    }
    host.ShowMessage(std::string(text::ApplyDone), MessageStyle::Plain);
    return Outcome::Done;
}

}  // namespace zelk
