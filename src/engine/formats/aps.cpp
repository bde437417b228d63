#include "engine/formats/aps.h"

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

constexpr std::string_view kName = "APS";
constexpr std::size_t kDescriptionAt = 7, kDescriptionSize = 50;
constexpr std::size_t kSimpleHeader = 61, kN64Header = 78;
// What the patch knows its N64 original by: cart ID and country, then the
// CRC, as the ROM header holds them (big-endian, as .z64 images are).
constexpr std::size_t kIdAt = 0x3C, kIdSize = 3, kCrcAt = 0x10, kCrcSize = 8;

// Cart ID and country, then the CRC, as the patch and its messages name them.
std::string Identity(std::span<const std::uint8_t> id) {
    return "cart ID " + text::Hex(id.first(2)) + ", country " + text::Hex(id.subspan(2, 1)) + ", CRC " +
           text::Hex(id.subspan(3));
}

class ApsPatch final : public ForeignPatch {
public:
    explicit ApsPatch(const PatchFormat& format) : ForeignPatch(format) {}

    bool n64 = false;
    bool byteSwapped = false;  // the original was a .v64 image
    std::array<std::uint8_t, kIdSize + kCrcSize> identity{};
    std::uint64_t resultSize = 0, bodyStart = 0;
    RecordCounts counts;
    Stretch description;

    void ReadWhole(InputFile& patch, std::size_t bufferSize) override;

protected:
    std::uint32_t Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                        const BufferSizes& sizes) const override;
    std::uint64_t ResultSize(std::uint64_t, const Plan&) const override { return resultSize; }
    Verdict Compare(InputFile& file, InputFile& patch, std::size_t bufferSize) const override;
    // The simple form holds nothing of its original.
    bool Blind(InputFile&) const override { return !n64; }
    std::optional<Stop> PlanFor(HostServices& host, InputFile& original, InputFile& patch,
                                const std::string& originalPath, const EvidenceRule& rule, Plan& plan,
                                std::string& note) const override;
    std::string InfoLines() const override;
    std::unique_ptr<CommentReader> Comment(InputFile& patch, FileServices& files) const override {
        return CodePageComment(patch, files, {description});
    }
    std::string NoComment() const override { return "(none)"; }

private:
    // Empty where the file is the patch's original as far as it can tell.
    std::string Problem(InputFile& file, const std::string& path) const;
    std::optional<View> ViewFitting(InputFile& file) const;
};

// Each record to `visit`, as Data(offset, size, reader) or Run(offset,
// count, byte).
template <class Visit>
void Walk(ByteReader& reader, std::uint64_t end, Visit& visit) {
    for (std::uint64_t index = 0; reader.Position() < end; ++index) {
        const std::uint64_t at = reader.Position();
        std::uint8_t field[5];
        if (end - at < sizeof field) throw Damage{text::RecordCutShort(index, at)};
        reader.Read(field);
        const std::uint64_t offset = ReadLe32(field);
        if (field[4] == 0) {
            std::uint8_t run[2];
            if (end - reader.Position() < 2) throw Damage{text::RecordCutShort(index, at)};
            reader.Read(run);
            visit.Run(offset, run[1], run[0]);
        } else {
            if (end - reader.Position() < field[4]) throw Damage{text::RecordCutShort(index, at)};
            const std::uint64_t data = reader.Position();
            visit.Data(offset, field[4], reader);
            reader.Seek(data + field[4]);
        }
    }
}

void ApsPatch::ReadWhole(InputFile& patch, std::size_t bufferSize) {
    std::uint8_t head[kN64Header] = {};
    if (patch.Size() < kSimpleHeader) throw Damage{text::CutShort()};
    patch.ReadExactly(0, std::span(head).first(std::min<std::uint64_t>(patch.Size(), kN64Header)));
    if (head[5] > 1) throw Damage{"its patch type (" + std::to_string(head[5]) + ") is neither simple nor N64"};
    if (head[6] != 0) throw Damage{"its encoding method (" + std::to_string(head[6]) + ") is not the one APS defines"};
    description = PaddedText(std::span(head).subspan(kDescriptionAt, kDescriptionSize), kDescriptionAt);
    n64 = head[5] == 1;
    if (n64) {
        if (patch.Size() < kN64Header) throw Damage{text::CutShort()};
        if (head[57] > 1) throw Damage{"its image format (" + std::to_string(head[57]) + ") is neither .v64 nor .z64"};
        byteSwapped = head[57] == 0;
        std::memcpy(identity.data(), head + 58, identity.size());
        resultSize = ReadLe32(head + 74);
        bodyStart = kN64Header;
    } else {
        resultSize = ReadLe32(head + 57);
        bodyStart = kSimpleHeader;
    }
    ByteReader reader(patch, bodyStart, bufferSize);
    Walk(reader, patch.Size(), counts);
}

std::uint32_t ApsPatch::Write(InputFile& original, InputFile& patch, const Plan&, OutputFile& output,
                              const BufferSizes& sizes) const {
    ByteReader reader(patch, bodyStart, sizes.stream);
    WriteRecords(original, output, sizes, resultSize, counts.ascending,
                 [&](auto& writer) { Walk(reader, patch.Size(), writer); });
    if (output.Size() != resultSize) throw ChangedWhileRead(patch);
    return 0;
}

std::string ApsPatch::Problem(InputFile& file, const std::string& path) const {
    if (!n64) return {};
    std::array<std::uint8_t, 0x40> header{};
    const bool whole = file.ReadAt(0, header) == header.size();
    if (byteSwapped)
        ReorderWords(Reorder::SwapPairs, header);
    std::array<std::uint8_t, kIdSize + kCrcSize> found{};
    std::memcpy(found.data(), header.data() + kIdAt, kIdSize);
    std::memcpy(found.data() + kIdSize, header.data() + kCrcAt, kCrcSize);
    if (whole && found == identity) return {};
    return path + " is not the file this APS patch was made for: the patch expects " + Identity(identity) +
           " in the N64 header of a " + (byteSwapped ? ".v64" : ".z64") + " image; this file has " +
           (whole ? Identity(found) : "no N64 header (" + text::CountOf(file.Size()) + ")");
}

// The N64 header it holds finds the image in another byte order too, or
// behind a header.
std::optional<View> ApsPatch::ViewFitting(InputFile& file) const {
    return FirstView(file, [&](InputFile& viewed) { return Problem(viewed, file.Path()).empty(); });
}

std::optional<Stop> ApsPatch::PlanFor(HostServices&, InputFile& original, InputFile&,
                                      const std::string& originalPath, const EvidenceRule& rule, Plan& plan,
                                      std::string& note) const {
    const std::string problem = Problem(original, originalPath);
    if (problem.empty()) return std::nullopt;
    if (const auto view = ViewFitting(original)) {
        Take(*view, originalPath, plan, note);
        return std::nullopt;
    }
    return rule.Before(problem);
}

Verdict ApsPatch::Compare(InputFile& file, InputFile& patch, std::size_t bufferSize) const {
    ByteReader reader(patch, bodyStart, bufferSize);
    FileWindow window(file, bufferSize);
    HeldRecords held{window, file.Size(), resultSize};
    try {
        Walk(reader, patch.Size(), held);
    } catch (const Damage&) {
        throw ChangedWhileRead(patch);
    }
    if (held.AllHeld() && file.Size() == resultSize)
        return {Fit::AlreadyApplied, "All " + text::CountOf(held.patchedBytes) +
                                         " the patch writes already hold their new values, and its size is the "
                                         "result's: this looks like the patched file, not the original."};
    if (!n64) return {Fit::Fits, text::NoChecksum(kName) + "."};
    if (const std::string problem = Problem(file, file.Path()); !problem.empty()) {
        if (const auto view = ViewFitting(file)) return {Fit::Fits, ViewEvidence(*view, "its N64 header has the cart ID, country and CRC")};
        return {Fit::DoesNotFit, problem + "."};
    }
    return {Fit::Fits, "Its N64 header has the cart ID, country and CRC the patch expects."};
}

std::string ApsPatch::InfoLines() const {
    std::string said = std::string("\nType: ") + (n64 ? "N64" : "simple");
    if (n64)
        said += std::string("\nOriginal: a ") + (byteSwapped ? ".v64" : ".z64") + " image, " + Identity(identity);
    said += "\nResult: " + text::CountOf(resultSize);
    said += "\nRecords: " + std::to_string(counts.records);
    return said;
}

// Making ----------------------------------------------------------------------

// Records of up to 255 changed bytes.
class RecordWriter final : public ShortRecords {
public:
    explicit RecordWriter(OutputFile& patch) : ShortRecords(255), patch_(patch) {}

private:
    void Write(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        std::uint8_t field[5];
        PutLe32(field, offset);
        field[4] = static_cast<std::uint8_t>(bytes.size());
        patch_.Append(field);
        patch_.Append(bytes);
    }
    OutputFile& patch_;
};

// An N64 patch where the original starts as an N64 image does (.z64 or
// .v64), a simple one otherwise.
void WriteAps(InputFile& original, InputFile& changed, OutputFile& patch, const std::string& description,
              const BufferSizes& sizes) {
    const std::uint64_t n = original.Size(), m = changed.Size();
    if (n > 0xFFFFFFFF || m > 0xFFFFFFFF) throw FileError(text::ApsCannotAddress(patch.Path()));
    std::array<std::uint8_t, 0x40> rom{};
    const bool header = original.ReadAt(0, rom) == rom.size();
    const char* order = header ? N64OrderOf(rom) : nullptr;
    const bool z64 = order != nullptr && order == std::string_view(".z64");
    const bool v64 = order != nullptr && order == std::string_view(".v64");
    std::uint8_t head[kN64Header] = {'A', 'P', 'S', '1', '0', static_cast<std::uint8_t>(z64 || v64), 0};
    std::memset(head + kDescriptionAt, ' ', kDescriptionSize);
    std::memcpy(head + kDescriptionAt, description.data(), std::min(description.size(), kDescriptionSize));
    if (z64 || v64) {
        if (v64) ReorderWords(Reorder::SwapPairs, rom);
        head[57] = z64 ? 1 : 0;
        std::memcpy(head + 58, rom.data() + kIdAt, kIdSize);
        std::memcpy(head + 61, rom.data() + kCrcAt, kCrcSize);
        PutLe32(head + 74, m);
        patch.Append(head);
    } else {
        PutLe32(head + 57, m);
        patch.Append(std::span(head).first(kSimpleHeader));
    }
    RecordWriter records(patch);
    ScanFilesAndTail(original, changed, sizes.scan, records);
}

class Aps final : public PatchFormat {
public:
    std::string_view Name() const override { return kName; }
    std::string_view Key() const override { return "aps"; }
    std::string_view Summary() const override {
        return "N64 (held to the ROM header's cart ID, country and CRC) or simple; the comment, cut to 50 bytes, "
               "as its description; a GBA cartridge gets the GBA form";
    }
    // "APS1" alone starts the GBA form, whose next bytes are a size.
    bool Recognises(std::span<const std::uint8_t> head) const override {
        return StartsWith(head, "APS10") && head.size() >= 7 && head[5] <= 1 && head[6] == 0;
    }
    std::unique_ptr<LoadedPatch> Read(InputFile& patch, std::size_t bufferSize) const override {
        return ReadForeign(std::make_unique<ApsPatch>(*this), patch, bufferSize);
    }
    bool Makes() const override { return true; }
    // A GBA cartridge's patch in the form GBA tools read.
    std::string Make(HostServices& host, const MakeRequest& request, const MakeFiles& files) const override {
        // The GBA form keeps no comment: said as that form's.
        if (IsGbaRom(files.original)) {
            ApsGbaFormat().Make(host, request, files);
            return request.comment.empty() ? "" : text::CommentNotStored(ApsGbaFormat().Name());
        }
        const Described description = FitDescription(host, Name(), request.comment, kDescriptionSize);
        WriteAps(files.original, files.changed, files.patch, description.text, host.Buffers());
        return description.note;
    }
};

}  // namespace

const PatchFormat& ApsFormat() {
    static const Aps format;
    return format;
}

std::string text::ApsCannotAddress(const std::string& patchPath) {
    return "Cannot write " + patchPath + ": an APS patch reaches only the first 4 GiB; a .bps patch can describe it";
}

}  // namespace zelk
