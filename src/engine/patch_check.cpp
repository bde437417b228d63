#include "engine/patch_check.h"

#include "engine/archive_input.h"
#include "engine/formats/format.h"
#include "engine/user_texts.h"

namespace zelk {

std::function<bool(InputFile&)> NamedByChecksum(const LoadedPatch& read, InputFile& patch, const std::string& patchPath,
                                                std::size_t bufferSize) {
    if (read.Refusal(patchPath) || read.Expected().empty()) return {};
    return [&read, &patch, bufferSize](InputFile& file) { return read.Check(file, patch, bufferSize).fit == Fit::Fits; };
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
    checked.expectedKeys = opened.read->ExpectedKeys();
    return std::nullopt;
}

std::string NotAPatchDetail(HostServices& host, const std::string& originalPath, const std::string& patchPath) {
    std::string said = text::NoPatchAtAll(patchPath);
    try {
        if (host.FileExists(originalPath)) {
            std::uint8_t head[kRecognisedBytes] = {};
            const std::size_t got = host.OpenInput(originalPath)->ReadAt(0, head);
            if (LooksLikePatch(originalPath, std::span<const std::uint8_t>(head, got))) said += text::LookSwapped(originalPath);
        }
    } catch (const FileError&) {
        // An original that cannot be read says nothing of the order.
    }
    return said;
}

std::string NamesOfBoth(const RomCatalogue& names, const FileHashes* file, const ExpectedOriginal& expected) {
    std::string said;
    if (file != nullptr)
        if (const auto found = names.Find(*file); !found.empty()) said = "This file is " + RomNames(found) + ".";
    if (const auto found = names.Find(expected); !found.empty())
        said += (said.empty() ? "" : "\n") + std::string("The patch is for ") + RomNames(found) + ".";
    return said;
}

std::string CheckText(const Checked& checked, const std::string& originalPath, const std::string& patchPath,
                      std::string_view joint, const RomCatalogue* names) {
    std::string said = text::FitSentence(checked.verdict.fit, patchPath, originalPath) + std::string(joint) +
                       checked.verdict.evidence + "\n" + text::HashLines(checked.hashes);
    if (!checked.expected.empty()) said += "\nThe patch expects " + checked.expected + ".";
    if (names != nullptr)
        if (const std::string both = NamesOfBoth(*names, &checked.hashes, checked.expectedKeys); !both.empty())
            said += "\n" + both;
    return said;
}

}  // namespace zelk
