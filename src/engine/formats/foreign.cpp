#include "engine/formats/foreign.h"

#include <algorithm>
#include <vector>

#include "engine/byte_reader.h"
#include "engine/file_hashes.h"
#include "engine/formats/comments.h"
#include "engine/user_texts.h"

namespace zelk {

// Reading and checking --------------------------------------------------

std::optional<Stop> ForeignPatch::Refusal(const std::string& patchPath) const {
    if (damage.empty()) return std::nullopt;
    return Stop{text::DamagedPatch(patchPath, damage)};
}

std::unique_ptr<LoadedPatch> ReadForeign(std::unique_ptr<ForeignPatch> read, InputFile& patch, std::size_t bufferSize) {
    try {
        read->ReadWhole(patch, bufferSize);
    } catch (const Damage& damage) {
        read->damage = damage.what;
    }
    return read;
}

std::string ForeignPatch::Expected() const {
    if (!stated) return {};
    return text::CountOf(stated->sourceSize) + ", CRC-32 " + text::Crc(stated->sourceCrc);
}

ExpectedOriginal ForeignPatch::ExpectedKeys() const {
    if (!stated) return {};
    return {stated->sourceSize, stated->sourceCrc, std::nullopt, {}};
}

std::string ForeignPatch::ApplyDone() const { return text::ForeignDone(format_->Name()); }

Verdict ForeignPatch::Check(InputFile& file, InputFile& patch, std::size_t bufferSize) const {
    file.ExpectSequential();
    if (!stated) {
        Verdict verdict = Compare(file, patch, bufferSize);
        if (verdict.fit == Fit::Fits && Blind(file))
            if (const std::string seen = SeenLayout(file, file.Path(), false); !seen.empty()) verdict.evidence += " " + seen;
        return verdict;
    }
    const FileIdentity id = IdentifyFile(file, *stated, headerAware, bufferSize);
    const Fit fit = id.match == Match::Source || id.match == Match::SourceInView ? Fit::Fits
                    : id.match == Match::Target                                          ? Fit::AlreadyApplied
                                                                                         : Fit::DoesNotFit;
    return {fit, text::ChecksumEvidence(id, *stated, reversible)};
}

Verdict ForeignPatch::Compare(InputFile&, InputFile&, std::size_t) const {
    return {Fit::Fits, text::NoChecksum(format_->Name()) + "."};
}

// As every format's info reads, our own included: the format as the help
// names it, the comment where the format has room for one, then what the
// patch states, each line labelled.
void ForeignPatch::ShowInfo(HostServices& host, std::unique_ptr<InputFile> patch) const {
    std::string said = "Format: " + std::string(format_->Name());
    if (const auto comment = Comment(*patch, host)) {
        host.ShowMessage(said + "\nComment:", MessageStyle::Plain);
        host.ShowComment(*comment);
        said.clear();
    } else if (const std::string none = NoComment(); !none.empty()) {
        said += "\nComment: " + none;
    }
    std::string lines;
    if (stated) {
        lines += "\nSource: " + text::SizeAndCrc(stated->sourceSize, stated->sourceCrc);
        lines += "\nTarget: " + text::SizeAndCrc(stated->targetSize, stated->targetCrc);
    }
    lines += InfoLines();
    said += said.empty() && !lines.empty() ? lines.substr(1) : lines;
    if (!said.empty()) host.ShowMessage(said, MessageStyle::Plain);
}

// Applying ---------------------------------------------------------------

std::optional<Stop> ForeignPatch::PlanFor(HostServices& host, InputFile& original, InputFile&,
                                          const std::string& originalPath, const EvidenceRule& rule, Plan& plan,
                                          std::string& note) const {
    if (!stated) return std::nullopt;
    const std::string_view kind = format_->Name();
    original.ExpectSequential();
    const FileIdentity id = IdentifyFile(original, *stated, headerAware, host.Buffers().stream);
    std::string problem;
    if (id.match == Match::SourceInView) {
        Take(id.view, originalPath, plan, note);
    } else if (id.match == Match::Target && reversible) {
        plan.reverse = true;
        note = text::TurnedBack(originalPath, kind);
    } else if (id.match == Match::Target) {
        problem = text::AlreadyPatched(originalPath, kind, id.size, id.crc);
    } else if (id.match == Match::Neither) {
        problem = text::WrongFile(originalPath, kind, stated->sourceSize, stated->sourceCrc, id.size, id.crc) + id.lacked;
    }
    return rule.Before(problem);
}

void ForeignPatch::Take(const View& view, const std::string& originalPath, Plan& plan, std::string& note) const {
    plan.skip = view.skip;
    plan.order = view.order;
    note = ViewTaken(view, originalPath);
}


// Writes the result as if `in.original` were the patch's own original as it
// is, its CRC-32 taken while it is read for the result: the usual case costs
// one read of it, not two. False, with nothing kept, where it is not that
// file, or where writing failed: the careful way then finds what the file
// is before it writes (a wrong original on a full disk is told as the wrong
// original), and meets any real failure again.
bool ForeignPatch::WriteForOwnOriginal(Inputs& in, ResultTarget& result, const Plan& plan, const BufferSizes& sizes,
                                       std::uint32_t& crc) const {
    try {
        OutputFile& output = result.Create();
        in.original->ExpectSequential();
        in.patch->ExpectSequential();
        HashingInput source(*in.original, HashKinds{.crc = true, .md5 = false, .sha1 = false});
        output.Reserve(ResultSize(source.Size(), plan));
        crc = Write(source, *in.patch, plan, output, sizes);
        if (source.Finish().crc == stated->sourceCrc) return true;
    } catch (const FileError&) {
    } catch (const Damage&) {
    }
    result.Discard();
    return false;
}

// Refused unless it was made for this file (where the patch can tell), its
// comment shown, then written like any result.
std::optional<Stop> ForeignPatch::Apply(HostServices& host, Inputs& in, ResultTarget& result,
                                        const ApplyOptions& options, std::string& note) const {
    const BufferSizes sizes = host.Buffers();
    const EvidenceRule rule(host, options);
    Plan plan;
    plan.rule = &rule;
    std::uint32_t crc = 0;
    const bool written = stated && in.original->Size() == stated->sourceSize &&
                         WriteForOwnOriginal(in, result, plan, sizes, crc);
    if (!written) {
        if (auto stop = PlanFor(host, *in.original, *in.patch, in.originalPath, rule, plan, note)) return stop;
        if (note.empty() && Blind(*in.original)) note = SeenLayout(*in.original, in.originalPath, true);
    }
    if (const auto comment = Comment(*in.patch, host)) host.ShowComment(*comment);
    if (!written) {
        OutputFile& output = result.Create();
        in.original->ExpectSequential();
        in.patch->ExpectSequential();
        ViewedInput source(*in.original, View{plan.skip, "", plan.order, "", ""});
        output.Reserve(plan.skip + ResultSize(source.Size(), plan));
        if (plan.skip > 0) output.AppendFrom(*in.original, 0, plan.skip);
        try {
            crc = Write(source, *in.patch, plan, output, sizes);
        } catch (const Damage& damage) {
            if (CheckedWhole()) throw ChangedWhileRead(*in.patch);
            throw FileError(text::DamagedPatch(in.patchPath, damage.what));
        }
        if (plan.order != Reorder::None) ReorderOutput(output, plan.skip, plan.order);
    }
    if (stated) {
        const std::uint32_t expected = plan.reverse ? stated->sourceCrc : stated->targetCrc;
        if (crc != expected)
            rule.During(text::ResultCrcDiffers(format_->Name(), crc, expected),
                        text::ResultCrcWrong(result.Path(), format_->Name(), crc, expected));
    }
    return std::nullopt;
}

}  // namespace zelk
