// What the formats ROM hacks are published in have in common when applied,
// written once: a patch read whole and checked before anything is written;
// held, where it carries checksums, to the original's before and to the
// result's after; its comment shown; the original read through the view
// (header, byte order) it is found in, and the result turned back to it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/evidence_rule.h"
#include "engine/formats/format.h"
#include "engine/formats/identity.h"
#include "engine/formats/rom_views.h"

namespace zelk {

// How to apply: from which byte of the original (past a header, which is
// kept in front), in which byte order, and which way.
struct Plan {
    std::uint64_t skip = 0;
    // The patch's offsets count a copier header the original lacks: the
    // result is made as if it were there, and it is left out again.
    std::uint64_t unshift = 0;
    Reorder order = Reorder::None;
    bool reverse = false;
    std::size_t part = 0;  // which of the files a patch of several describes
    // What the result's own checksums find wrong while it is written is
    // judged by this.
    const EvidenceRule* rule = nullptr;
};

// A patch in one of those formats, read whole. Each format fills in what it
// states and how its bytes are written; applying, checking and describing
// are alike for all.
class ForeignPatch : public LoadedPatch {
public:
    explicit ForeignPatch(const PatchFormat& format) : format_(&format) {}

    std::string damage;             // empty for a sound patch
    std::optional<Stated> stated;   // where the format carries checksums
    bool reversible = false;        // by its stated checksums: applied to its result, it gives back its original
    bool headerAware = false;       // its original is also found behind a header or in another byte order

    std::optional<Stop> Refusal(const std::string& patchPath) const override;
    Verdict Check(InputFile& file, InputFile& patch, std::size_t bufferSize) const override;
    std::string ApplyDone() const override;
    std::string Expected() const override;
    ExpectedOriginal ExpectedKeys() const override;
    std::optional<Stop> Apply(HostServices& host, Inputs& in, ResultTarget& result, const ApplyOptions& options,
                              std::string& note) const override;
    void ShowInfo(HostServices& host, std::unique_ptr<InputFile> patch) const override;

    // Reads the whole patch and checks it, or throws its Damage.
    virtual void ReadWhole(InputFile& patch, std::size_t bufferSize) = 0;

protected:
    // Writes the result of applying the patch to `original` (already past
    // any header) at the end of `output`, and returns its CRC-32 where the
    // patch states one. A patch that reads past the original's end stops
    // with a FileError. A Damage now means the patch changed meanwhile,
    // unless the format finds some damage only while writing (CheckedWhole).
    virtual std::uint32_t Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                                const BufferSizes& sizes) const = 0;
    // The size of what Write makes of an original of `originalSize` bytes
    // (past any header).
    virtual std::uint64_t ResultSize(std::uint64_t originalSize, const Plan& plan) const = 0;
    // Whether reading found every damage the patch may have; where it did
    // not (a format whose instructions are found only while decoding), a
    // damage found while writing is told as such.
    virtual bool CheckedWhole() const { return true; }
    // For a patch without checksums: what its bytes tell of `file`.
    virtual Verdict Compare(InputFile& file, InputFile& patch, std::size_t bufferSize) const;
    // What info says after the format's name, each line after a newline.
    virtual std::string InfoLines() const = 0;
    // The patch's comment, where it has one that is text.
    virtual std::unique_ptr<CommentReader> Comment(InputFile&, FileServices&) const { return nullptr; }
    // Whether the patch holds no evidence at all of its original, for
    // `file`: then what the file shows of a header or a byte order is told.
    virtual bool Blind(InputFile&) const { return false; }
    // What info says of a comment where the format has room for one and
    // Comment gives none ("(none)"); empty where it has no room.
    virtual std::string NoComment() const { return {}; }
    // Refuses a wrong original, or decides how to apply to it: by the
    // stated checksums where the patch has them. What the evidence finds
    // wrong goes to `rule`, which refuses or warns.
    virtual std::optional<Stop> PlanFor(HostServices& host, InputFile& original, InputFile& patch,
                                        const std::string& originalPath, const EvidenceRule& rule, Plan& plan,
                                        std::string& note) const;

    // What reading found it to be: a variant of the format it was read as.
    void Become(const PatchFormat& format) { format_ = &format; }
    const PatchFormat& Format() const { return *format_; }
    // The plan and the note for a file that is the patch's original in `view`.
    void Take(const View& view, const std::string& originalPath, Plan& plan, std::string& note) const;

private:
    bool WriteForOwnOriginal(Inputs& in, ResultTarget& result, const Plan& plan, const BufferSizes& sizes,
                             std::uint32_t& crc) const;

    const PatchFormat* format_;
};

// `read` filled in from `patch`: sound, or with its damage.
std::unique_ptr<LoadedPatch> ReadForeign(std::unique_ptr<ForeignPatch> read, InputFile& patch, std::size_t bufferSize);

}  // namespace zelk
