#include "engine/patch_applier.h"

#include <memory>
#include <stdexcept>

#include "engine/archive_input.h"
#include "engine/rom_checksum.h"
#include "engine/user_texts.h"

namespace zelk {

std::optional<Stop> ApplyInto(HostServices& host, const LoadedPatch& read, Inputs& in, ResultTarget& result,
                              const ApplyOptions& options) {
    std::string note;
    if (auto stop = read.Apply(host, in, result, options, note)) return stop;
    in.original.reset();
    in.patch.reset();
    OutputFile* output = result.Created();
    if (output == nullptr) throw std::logic_error("a patch applied without writing a result");
    CommitOutput(host, *output);
    if (!note.empty()) host.ShowMessage(note, MessageStyle::Plain);
    return std::nullopt;
}

// Read only for such a refusal: an apply that goes well needs no names.
void NameTheOriginals(const ApplyOptions& options, Stop& stop, InputFile* file, const LoadedPatch& read) {
    if (!stop.checksum || !options.names) return;
    const RomCatalogue& names = options.names();
    if (names.Size() == 0) return;
    const std::optional<FileHashes> hashes = file != nullptr ? std::optional(HashesOf(*file)) : std::nullopt;
    if (const std::string both = NamesOfBoth(names, hashes ? &*hashes : nullptr, read.ExpectedKeys()); !both.empty())
        stop.text += "\n" + both;
}

Outcome ApplyPatch(HostServices& host, const std::string& originalPath, const std::string& patchPath,
                   const std::string& outputPath, const ApplyOptions& options, bool* refusedForChecksum) {
    std::string done(text::ApplyDone);
    return RunOperation(host, done, [&]() -> std::optional<Stop> {
        OpenedPatch opened;
        if (auto stop = OpenPatchAndOriginal(host, originalPath, patchPath, opened, outputPath)) return stop;
        if (auto stop = RefuseOutputOverPatch(host, outputPath, {patchPath})) return stop;
        done = opened.read->ApplyDone();
        const bool checksumRight = InternalChecksumRight(*opened.in.original);
        ResultTarget result(outputPath, [&] {
            return KeepInternalChecksum(host, host.CreateOutput(outputPath), checksumRight, options.fixChecksum);
        });
        auto stop = ApplyInto(host, *opened.read, opened.in, result, options);
        if (stop && stop->checksum && refusedForChecksum != nullptr) *refusedForChecksum = true;
        if (stop) NameTheOriginals(options, *stop, opened.in.original.get(), *opened.read);
        return stop;
    });
}

}  // namespace zelk
