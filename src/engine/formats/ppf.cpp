#include "engine/formats/ppf.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/byte_reader.h"
#include "engine/diff_scanner.h"
#include "engine/file_window.h"
#include "engine/formats/comments.h"
#include "engine/formats/foreign.h"
#include "engine/formats/records.h"
#include "engine/user_texts.h"

namespace zelk {

namespace {

constexpr std::uint64_t kDescriptionAt = 6, kDescriptionSize = 50;
constexpr std::uint64_t kBlockInPatch = 60, kBlockSize = 1024;
constexpr std::uint64_t kBinBlock = 0x9320, kGiBlock = 0x80A0;  // where the block stands in the image
constexpr std::string_view kDizBegin = "@BEGIN_FILE_ID.DIZ", kDizEnd = "@END_FILE_ID.DIZ";
constexpr std::string_view kName = "PPF";

bool Holds(InputFile& file, std::uint64_t at, std::string_view text) {
    if (at > file.Size() || file.Size() - at < text.size()) return false;
    std::array<std::uint8_t, 32> bytes{};
    file.ReadExactly(at, std::span(bytes).first(text.size()));
    return std::memcmp(bytes.data(), text.data(), text.size()) == 0;
}

// What a file shows of the patch.
struct Evidence {
    bool sizeOk = true;
    bool blockOk = true;
    bool patched = false;   // it holds every byte the patch changes, as the patch makes it
    bool original = false;  // it holds them as they were
    bool changes = false;   // the records change any byte at all
    // The patch may have made it longer: a 3.0 patch does not keep the
    // original's size, so nothing could make it that size again.
    bool mayHaveGrown = false;
};

class PpfPatch final : public ForeignPatch {
public:
    explicit PpfPatch(const PatchFormat& format) : ForeignPatch(format) {}

    int version = 0;
    std::optional<std::uint64_t> sourceSize;  // 2.0 states it
    std::optional<std::uint64_t> blockAt;     // where the image's block stands, where the patch holds one
    bool undo = false;                        // 3.0: each record's old bytes follow its new ones
    std::uint64_t bodyStart = 0, bodyEnd = 0;
    Stretch description, diz;
    RecordCounts counts;

    void ReadWhole(InputFile& patch, std::size_t bufferSize) override;

protected:
    std::uint32_t Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                        const BufferSizes& sizes) const override;
    std::uint64_t ResultSize(std::uint64_t size, const Plan& plan) const override {
        return plan.reverse ? size : std::max(size, counts.maxEnd);
    }
    Verdict Compare(InputFile& file, InputFile& patch, std::size_t bufferSize) const override;
    std::optional<Stop> PlanFor(HostServices& host, InputFile& original, InputFile& patch,
                                const std::string& originalPath, const EvidenceRule& rule, Plan& plan,
                                std::string& note) const override;
    std::string InfoLines() const override;
    // 1.0, and 3.0 without its block check or undo data: nothing of the original.
    bool Blind(InputFile&) const override { return !sourceSize && !blockAt && !undo; }
    std::unique_ptr<CommentReader> Comment(InputFile& patch, FileServices& files) const override {
        return CodePageComment(patch, files, {description, diz});
    }
    std::string NoComment() const override { return "(none)"; }

private:
    void ReadHeader(InputFile& patch);
    void FindDiz(InputFile& patch);
    Evidence Examine(InputFile& file, InputFile& patch, std::size_t bufferSize) const;
    std::string Problem(const Evidence& e, const std::string& path, std::uint64_t size) const;
    std::optional<View> ViewFitting(InputFile& file, InputFile& patch, const std::string& problem,
                                    std::size_t bufferSize) const;
};

// Each record to `visit`: Data(offset, size, reader) with the reader at
// the bytes to write (the old ones where `reverse`), or, in 1.0, Run.
template <class Visit>
void Walk(ByteReader& reader, const PpfPatch& p, bool reverse, Visit& visit) {
    const unsigned offsetBytes = p.version == 3 ? 8 : 4;
    for (std::uint64_t index = 0; reader.Position() < p.bodyEnd; ++index) {
        const std::uint64_t at = reader.Position();
        std::uint8_t field[9];
        if (p.bodyEnd - at < offsetBytes + 1) throw Damage{text::RecordCutShort(index, at)};
        reader.Read({field, offsetBytes + 1});
        const std::uint64_t offset = ReadLe(field, offsetBytes);
        const std::uint8_t length = field[offsetBytes];
        if (offset > kMaxExactSize - 0xFFFF) throw Damage{text::NumberTooLarge(at)};
        if (p.version == 1 && length == 0) {  // a run: the byte, then how many
            std::uint8_t run[2];
            if (p.bodyEnd - reader.Position() < 2) throw Damage{text::RecordCutShort(index, at)};
            reader.Read(run);
            visit.Run(offset, run[1], run[0]);
            continue;
        }
        const std::uint64_t data = reader.Position();
        if (p.bodyEnd - data < (p.undo ? 2u : 1u) * length) throw Damage{text::RecordCutShort(index, at)};
        reader.Seek(reverse ? data + length : data);
        visit.Data(offset, length, reader);
        reader.Seek(data + (p.undo ? 2u : 1u) * length);
    }
}

void PpfPatch::ReadHeader(InputFile& patch) {
    const std::uint64_t size = patch.Size();
    std::uint8_t head[kBlockInPatch] = {};
    if (size < kDescriptionAt + kDescriptionSize) throw Damage{text::CutShort()};
    patch.ReadExactly(0, std::span(head).first(std::min<std::uint64_t>(size, kBlockInPatch)));
    version = head[3] - '0';
    if (head[5] != version - 1)
        throw Damage{"it says version " + std::to_string(version) + ".0, and its encoding byte says " +
                     std::to_string(head[5] + 1) + ".0"};
    description = PaddedText(std::span(head).subspan(kDescriptionAt, kDescriptionSize), kDescriptionAt);
    bodyStart = kDescriptionAt + kDescriptionSize;
    if (version == 2) {
        if (size < kBlockInPatch + kBlockSize) throw Damage{text::CutShort()};
        sourceSize = ReadLe(head + 56, 4);
        blockAt = kBinBlock;
        bodyStart = kBlockInPatch + kBlockSize;
    } else if (version == 3) {
        if (size < kBlockInPatch) throw Damage{text::CutShort()};
        const std::uint8_t image = head[56], blockCheck = head[57], undoData = head[58];
        if (image > 1 || blockCheck > 1 || undoData > 1)
            throw Damage{"its header has a setting it cannot have (image type, block check or undo data)"};
        undo = undoData == 1;
        bodyStart = kBlockInPatch;
        if (blockCheck == 1) {
            if (size < kBlockInPatch + kBlockSize) throw Damage{text::CutShort()};
            blockAt = image == 1 ? kGiBlock : kBinBlock;
            bodyStart += kBlockSize;
        }
    }
}

// FILE_ID.DIZ at the end: its text between two marks, then its length (two
// bytes in 3.0, four in 2.0; either is taken).
void PpfPatch::FindDiz(InputFile& patch) {
    const std::uint64_t size = patch.Size();
    bodyEnd = size;
    if (version == 1) return;
    for (const unsigned lengthBytes : {version == 3 ? 2u : 4u, version == 3 ? 4u : 2u}) {
        if (size - bodyStart < kDizBegin.size() + kDizEnd.size() + lengthBytes) continue;
        const std::uint64_t end = size - lengthBytes - kDizEnd.size();
        if (!Holds(patch, end, kDizEnd)) continue;
        std::uint8_t field[4];
        patch.ReadExactly(size - lengthBytes, std::span(field).first(lengthBytes));
        const std::uint64_t length = ReadLe(field, lengthBytes);
        if (length <= end - bodyStart - kDizBegin.size() && Holds(patch, end - length - kDizBegin.size(), kDizBegin)) {
            diz = {end - length, length};
            bodyEnd = end - length - kDizBegin.size();
            return;
        }
        throw Damage{"its FILE_ID.DIZ does not start where its length says"};
    }
}

void PpfPatch::ReadWhole(InputFile& patch, std::size_t bufferSize) {
    ReadHeader(patch);
    FindDiz(patch);
    ByteReader reader(patch, bodyStart, bufferSize);
    Walk(reader, *this, false, counts);
}

std::uint32_t PpfPatch::Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                              const BufferSizes& sizes) const {
    ByteReader reader(patch, bodyStart, sizes.stream);
    const std::uint64_t base = output.Size(), result = ResultSize(original.Size(), plan);  // behind a header kept
    WriteRecords(original, output, sizes, result, counts.ascending,
                 [&](auto& writer) { Walk(reader, *this, plan.reverse, writer); });
    if (output.Size() - base != result) throw ChangedWhileRead(patch);
    return 0;
}

// Each changed byte of the file against the record's new and old bytes.
struct Examining {
    FileWindow& file;
    std::uint64_t size;
    bool patched = true, original = true, any = false;
    // The old byte the records give the file's last byte, where one covers
    // it: the maker writes zeros past the original's end.
    std::optional<std::uint8_t> lastWas;
    void Data(std::uint64_t offset, std::uint64_t length, ByteReader& reader) {
        std::array<std::uint8_t, 255> now{}, was{}, there{};
        reader.Read(std::span(now).first(length));
        reader.Read(std::span(was).first(length));
        // The file's bytes there, as far as it reaches.
        std::uint64_t have = 0;
        while (have < length && offset + have < size) {
            const auto piece = file.At(offset + have, std::min(length - have, size - offset - have));
            std::memcpy(there.data() + have, piece.data(), piece.size());
            have += piece.size();
        }
        if (size > 0 && offset <= size - 1 && size - 1 - offset < length) lastWas = was[size - 1 - offset];
        for (std::uint64_t i = 0; i < length; ++i) {
            if (now[i] == was[i]) continue;
            any = true;
            patched = patched && i < have && there[i] == now[i];
            // Past the original's end a record replaces nothing: its old bytes are zeros.
            original = original && (i < have ? there[i] == was[i] : was[i] == 0);
        }
    }
    void Run(std::uint64_t, std::uint64_t, std::uint8_t) {}
};

Evidence PpfPatch::Examine(InputFile& file, InputFile& patch, std::size_t bufferSize) const {
    Evidence e;
    e.sizeOk = !sourceSize || file.Size() == *sourceSize;
    if (blockAt) {
        std::vector<std::uint8_t> mine(kBlockSize), theirs(kBlockSize);
        patch.ReadExactly(kBlockInPatch, mine);
        e.blockOk = file.ReadAt(*blockAt, theirs) == kBlockSize && mine == theirs;
    }
    if (undo) {
        FileWindow window(file, bufferSize);
        Examining examining{window, file.Size(), true, true, false, std::nullopt};
        ByteReader reader(patch, bodyStart, bufferSize);
        Walk(reader, *this, false, examining);
        e.changes = examining.any;
        e.patched = examining.any && examining.patched;
        e.original = examining.any && examining.original;
        // Only a record that ends at the file's end, with a zero for the
        // last byte's old value, could have added bytes there.
        e.mayHaveGrown = examining.lastWas == std::uint8_t{0};
    }
    return e;
}

std::string PpfPatch::Problem(const Evidence& e, const std::string& path, std::uint64_t size) const {
    const std::string wrong = path + " is not the file this PPF patch was made for: ";
    if (!e.sizeOk) return wrong + "the patch expects " + text::CountOf(*sourceSize) + ", this file has " + text::CountOf(size);
    if (!e.blockOk)
        return wrong + "its " + text::CountOf(kBlockSize) + " at " + text::Offset(*blockAt) +
               " are not those the patch holds of its original";
    if (e.changes && !e.original && !e.patched)
        return wrong + "the bytes its records replace are neither those its undo data hold nor those it writes";
    return {};
}

std::optional<Stop> PpfPatch::PlanFor(HostServices& host, InputFile& original, InputFile& patch,
                                      const std::string& originalPath, const EvidenceRule& rule, Plan& plan,
                                      std::string& note) const {
    const Evidence e = Examine(original, patch, host.Buffers().stream);
    // Turned back only where that surely gives the original, or as asked.
    if (e.patched && !e.original && e.mayHaveGrown)
        if (auto stop = rule.Before(originalPath + ": " + text::CannotTurnBack())) return stop;
    if (e.patched && !e.original) {
        plan.reverse = true;
        note = text::TurnedBack(originalPath, kName);
        return std::nullopt;
    }
    const std::string problem = Problem(e, originalPath, original.Size());
    if (const auto view = ViewFitting(original, patch, problem, host.Buffers().stream)) {
        Take(*view, originalPath, plan, note);
        return std::nullopt;
    }
    if (problem.empty()) return std::nullopt;
    return rule.Before(problem);
}

// Where the file as it is fails the block check, or its bytes are neither
// the undo data's nor the records', the first view (behind a header, in
// another N64 byte order) that passes the check and holds the undo data.
std::optional<View> PpfPatch::ViewFitting(InputFile& file, InputFile& patch, const std::string& problem,
                                          std::size_t bufferSize) const {
    if (problem.empty()) return std::nullopt;
    return FirstView(file, [&](InputFile& viewed) {
        const Evidence e = Examine(viewed, patch, bufferSize);
        return Problem(e, file.Path(), viewed.Size()).empty() && (!undo || e.original);
    });
}

Verdict PpfPatch::Compare(InputFile& file, InputFile& patch, std::size_t bufferSize) const {
    const Evidence e = Examine(file, patch, bufferSize);
    if (e.patched && !e.original && e.mayHaveGrown) return {Fit::AlreadyApplied, text::CannotTurnBack() + "."};
    if (e.patched && !e.original)
        return {Fit::AlreadyApplied,
                "It holds the new bytes of every record, and the patch's undo data turn it back into its original."};
    const std::string problem = Problem(e, file.Path(), file.Size());
    if (const auto view = ViewFitting(file, patch, problem, bufferSize))
        return {Fit::Fits, ViewEvidence(*view, undo ? "the bytes its records replace are those" : "its block is that")};
    if (!problem.empty()) return {Fit::DoesNotFit, problem + "."};
    if (!blockAt) return {Fit::Fits, text::NoChecksum(kName) + "."};
    return {Fit::Fits, "Its " + text::CountOf(kBlockSize) + " at " + text::Offset(*blockAt) +
                           " are those the patch holds of its original" +
                           (sourceSize ? ", and its size is the one the patch states." : ".")};
}

std::string PpfPatch::InfoLines() const {
    std::string said = "\nVersion: " + std::to_string(version) + ".0";
    said += "\nRecords: " + std::to_string(counts.records);
    said += "\nFarthest record end: " + std::to_string(counts.maxEnd);
    if (sourceSize) said += "\nOriginal's size: " + text::CountOf(*sourceSize);
    said += "\nChecks: " + (blockAt ? "the original's " + text::CountOf(kBlockSize) + " at " + text::Offset(*blockAt)
                                     : std::string("nothing"));
    said += std::string("\nUndo data: ") + (undo ? "yes" : "no");
    said += std::string("\nFILE_ID.DIZ: ") + (diz.length > 0 ? text::CountOf(diz.length) : "none");
    return said;
}

// Making ----------------------------------------------------------------------

// 3.0 records of up to 255 changed bytes, each with the bytes it replaces
// (zeros past the original's end), so that the patch turns the result back.
class RecordWriter final : public ShortRecords {
public:
    RecordWriter(OutputFile& patch, InputFile& original) : ShortRecords(255), patch_(patch), original_(original) {}

private:
    void Write(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        std::uint8_t record[9];
        for (int i = 0; i < 8; ++i) record[i] = static_cast<std::uint8_t>(offset >> (8 * i));
        record[8] = static_cast<std::uint8_t>(bytes.size());
        patch_.Append(record);
        patch_.Append(bytes);
        std::vector<std::uint8_t> old(bytes.size(), 0);
        if (offset < original_.Size())
            original_.ReadExactly(offset, std::span(old).first(static_cast<std::size_t>(
                                              std::min<std::uint64_t>(old.size(), original_.Size() - offset))));
        patch_.Append(old);
    }

    OutputFile& patch_;
    InputFile& original_;
};

// A PPF 3.0 patch for a BIN image: the description, the block check where
// the original reaches past its block, undo data.
void WritePpf(InputFile& original, InputFile& changed, OutputFile& patch, const std::string& description,
              const BufferSizes& sizes) {
    const std::uint64_t n = original.Size(), m = changed.Size();
    if (m < n) throw FileError(text::CannotShorten(patch.Path(), kName));
    const bool blockCheck = n >= kBinBlock + kBlockSize;
    std::uint8_t head[kBlockInPatch] = {'P', 'P', 'F', '3', '0', 2};
    std::memset(head + kDescriptionAt, ' ', kDescriptionSize);
    std::memcpy(head + kDescriptionAt, description.data(), std::min<std::size_t>(description.size(), kDescriptionSize));
    head[57] = blockCheck ? 1 : 0;
    head[58] = 1;
    patch.Append(head);
    if (blockCheck) {
        std::vector<std::uint8_t> block(kBlockSize);
        original.ReadExactly(kBinBlock, block);
        patch.Append(block);
    }
    RecordWriter records(patch, original);
    ScanFilesAndTail(original, changed, sizes.scan, records);
}

class Ppf final : public PatchFormat {
public:
    std::string_view Name() const override { return kName; }
    std::string_view Key() const override { return "ppf"; }
    std::string_view Summary() const override {
        return "1.0 to 3.0 (3.0 made, with undo data): held to 1024 bytes of the original; the comment, "
               "cut to 50 bytes, as its description; never shorter";
    }
    bool Recognises(std::span<const std::uint8_t> head) const override {
        return StartsWith(head, "PPF10") || StartsWith(head, "PPF20") || StartsWith(head, "PPF30");
    }
    std::unique_ptr<LoadedPatch> Read(InputFile& patch, std::size_t bufferSize) const override {
        return ReadForeign(std::make_unique<PpfPatch>(*this), patch, bufferSize);
    }
    bool ReadsOriginalFirst() const override { return true; }
    bool Makes() const override { return true; }
    // The comment, in the code page our own comments are written in, as the
    // description: cut where it is longer, and said so.
    std::string Make(HostServices& host, const MakeRequest& request, const MakeFiles& files) const override {
        const Described description = FitDescription(host, Name(), request.comment, kDescriptionSize);
        WritePpf(files.original, files.changed, files.patch, description.text, host.Buffers());
        return description.note;
    }
};

}  // namespace

const PatchFormat& PpfFormat() {
    static const Ppf format;
    return format;
}

std::string text::CannotTurnBack() {
    return "It holds the new bytes of every record of this PPF patch, which may have made the file longer: a PPF"
           " 3.0 patch does not keep the original's size, so turning this file back may leave bytes at its end that"
           " the original did not have";
}

}  // namespace zelk
