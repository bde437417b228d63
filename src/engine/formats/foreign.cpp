#include "engine/formats/foreign.h"

#include <algorithm>
#include <cstring>

#include "engine/archive_input.h"
#include "engine/file_hashes.h"
#include "engine/user_texts.h"
#include "host/crc32.h"

namespace zelk {

std::uint32_t ReadLe32(const std::uint8_t* b) {
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

void PutLe32(std::uint8_t* at, std::uint64_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint8_t ReadByte(ByteReader& reader) {
    std::uint8_t byte = 0;
    reader.Read({&byte, 1});
    return byte;
}

std::uint32_t CrcOfFirst(InputFile& file, std::uint64_t length, std::size_t bufferSize) {
    std::uint32_t crc = 0;
    ByteReader reader(file, 0, bufferSize);
    for (std::uint64_t left = length; left > 0;) {
        const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(left, bufferSize)));
        crc = Crc32(crc, piece);
        left -= piece.size();
    }
    return crc;
}

// Views ------------------------------------------------------------------

void ReorderWords(Reorder how, std::span<std::uint8_t> bytes) {
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        std::uint8_t* w = bytes.data() + i;
        switch (how) {
            case Reorder::SwapPairs: std::swap(w[0], w[1]), std::swap(w[2], w[3]); break;
            case Reorder::ReverseWords: std::swap(w[0], w[3]), std::swap(w[1], w[2]); break;
            case Reorder::SwapHalves: std::swap(w[0], w[2]), std::swap(w[1], w[3]); break;
            case Reorder::None: return;
        }
    }
}

namespace {

// The headers ROM dumps carry in front of the image, told by their mark;
// the SNES copier header has none, so any file may have one (a patch tells
// by the size and checksum of the rest).
struct HeaderKind {
    const char* name;
    std::uint64_t length;
    std::string_view mark;
};
constexpr HeaderKind kHeaders[] = {
    {"iNES", 16, std::string_view("NES\x1a", 4)},
    {"FDS", 16, std::string_view("FDS\x1a", 4)},
    {"Lynx", 64, "LYNX"},
    {"copier", kCopierHeader, {}},
};

// The first word of an N64 image in each byte order.
struct N64Order {
    const char* extension;
    std::uint8_t first[4];
};
constexpr N64Order kOrders[] = {
    {".z64", {0x80, 0x37, 0x12, 0x40}},
    {".v64", {0x37, 0x80, 0x40, 0x12}},
    {".n64", {0x40, 0x12, 0x37, 0x80}},
};
// From order a to order b (both 0..2, different).
Reorder Between(int a, int b) {
    if (a + b == 1) return Reorder::SwapPairs;     // .z64 and .v64
    if (a + b == 2) return Reorder::ReverseWords;  // .z64 and .n64
    return Reorder::SwapHalves;                    // .v64 and .n64
}

}  // namespace

std::vector<View> OtherViews(InputFile& file) {
    std::uint8_t head[16] = {};
    const std::size_t got = file.ReadAt(0, head);
    const std::string_view start(reinterpret_cast<const char*>(head), got);
    std::vector<View> views;
    for (const HeaderKind& kind : kHeaders)
        if ((kind.mark.empty() || start.starts_with(kind.mark)) && file.Size() > kind.length)
            views.push_back({kind.length, kind.name, Reorder::None, "", ""});
    for (int a = 0; a < 3; ++a) {
        if (got < 4 || std::memcmp(head, kOrders[a].first, 4) != 0) continue;
        for (int b = 0; b < 3; ++b)
            if (b != a) views.push_back({0, "", Between(a, b), kOrders[a].extension, kOrders[b].extension});
    }
    return views;
}

std::string LackedHeader(InputFile& file, std::uint64_t expectedSize) {
    if (expectedSize <= file.Size()) return {};
    const std::uint64_t missing = expectedSize - file.Size();
    std::string name;
    if (missing == 16) {
        // A Famicom Disk System image starts with its disk's own mark.
        std::uint8_t head[15] = {};
        file.ReadAt(0, head);
        name = std::memcmp(head, "\x01*NINTENDO-HVC*", 15) == 0 ? "FDS" : "iNES";
    } else if (missing == 64) {
        name = "Lynx";
    } else if (missing == kCopierHeader) {
        name = "copier";
    } else {
        return {};
    }
    return " It is " + std::to_string(missing) + " bytes shorter than the patch's original: that file likely had a " +
           std::to_string(missing) + "-byte " + name + " header, which this one lacks. A header's bytes cannot be "
           "guessed: look for the image with its header.";
}

std::string ViewEvidence(const View& view, std::string_view found) {
    const std::string matched = std::string(found) + " of the file the patch was made from: applying ";
    if (view.header.empty()) return "Read as " + view.to + ", " + matched + "writes the result as " + view.from + " again.";
    return "Behind its " + std::to_string(view.skip) + "-byte " + view.header + " header, " + matched +
           "keeps the header in front of the result.";
}

ViewedInput::ViewedInput(InputFile& file, const View& view) : file_(file), view_(view) {}

std::uint64_t ViewedInput::Size() const { return file_.Size() - std::min(view_.skip, file_.Size()); }

std::size_t ViewedInput::ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    if (view_.order == Reorder::None) return file_.ReadAt(offset + view_.skip, buffer);
    // Whole words around what is asked, converted, then the part asked for.
    const std::uint64_t from = offset & ~std::uint64_t{3};
    const std::uint64_t end = std::min(Size(), (offset + buffer.size() + 3) & ~std::uint64_t{3});
    if (offset >= end) return 0;
    scratch_.resize(static_cast<std::size_t>(end - from));
    file_.ReadExactly(from, scratch_);
    ReorderWords(view_.order, scratch_);
    const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), Size() - offset));
    std::memcpy(buffer.data(), scratch_.data() + (offset - from), got);
    return got;
}

FileIdentity IdentifyFile(InputFile& file, const Stated& s, bool viewsToo, std::size_t bufferSize) {
    FileIdentity id;
    id.size = file.Size();
    id.crc = CrcOfFirst(file, id.size, bufferSize);
    if (id.size == s.sourceSize && id.crc == s.sourceCrc) {
        id.match = Match::Source;
    } else if (id.size == s.targetSize && id.crc == s.targetCrc) {
        id.match = Match::Target;
    } else if (viewsToo) {
        const auto view = FirstView(file, [&](InputFile& viewed) {
            return viewed.Size() == s.sourceSize && CrcOfFirst(viewed, viewed.Size(), bufferSize) == s.sourceCrc;
        });
        if (view) {
            id.match = Match::SourceInView;
            id.view = *view;
        } else {
            id.lacked = LackedHeader(file, s.sourceSize);
        }
    }
    return id;
}

// Reading and checking --------------------------------------------------

std::optional<Stop> ForeignPatch::Refusal(const std::string& patchPath) const {
    if (damage.empty()) return std::nullopt;
    return Stop{text::DamagedPatch(patchPath, damage)};
}

std::unique_ptr<ReadPatch> ReadForeign(std::unique_ptr<ForeignPatch> read, InputFile& patch, std::size_t bufferSize) {
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

std::string ForeignPatch::ApplyDone() const { return text::ForeignDone(format_->Name()); }

Verdict ForeignPatch::Check(InputFile& file, InputFile& patch, std::size_t bufferSize) const {
    file.ExpectSequential();
    if (!stated) return Compare(file, patch, bufferSize);
    const FileIdentity id = IdentifyFile(file, *stated, headerAware, bufferSize);
    const Fit fit = id.match == Match::Source || id.match == Match::SourceInView ? Fit::Fits
                    : id.match == Match::Target                                          ? Fit::AlreadyApplied
                                                                                         : Fit::DoesNotFit;
    return {fit, text::ChecksumEvidence(id, *stated, reversible)};
}

Verdict ForeignPatch::Compare(InputFile&, InputFile&, std::size_t) const {
    return {Fit::Fits, text::NoChecksum(format_->Name()) + "."};
}

void ForeignPatch::ShowInfo(HostServices& host, std::unique_ptr<InputFile> patch) const {
    std::string said = "Format: " + std::string(format_->Name());
    if (stated) {
        said += "\nSource: " + text::SizeAndCrc(stated->sourceSize, stated->sourceCrc);
        said += "\nTarget: " + text::SizeAndCrc(stated->targetSize, stated->targetCrc);
    }
    said += InfoLines();
    const auto comment = Comment(*patch, host);
    if (!comment) {
        host.ShowMessage(said, MessageStyle::Plain);
        return;
    }
    host.ShowMessage(said + "\nComment:", MessageStyle::Plain);
    host.ShowComment(*comment);
}

// Applying ---------------------------------------------------------------

std::optional<Stop> ForeignPatch::PlanFor(HostServices& host, InputFile& original, InputFile&,
                                          const std::string& originalPath, const ApplyOptions& options, Plan& plan,
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
    if (!problem.empty() && !options.ignoreChecksum) return Stop{problem, MessageStyle::Critical, true};
    if (!problem.empty()) host.ShowWarning(text::AppliedAllTheSame(problem));
    return std::nullopt;
}

void ForeignPatch::Take(const View& view, const std::string& originalPath, Plan& plan, std::string& note) const {
    plan.skip = view.skip;
    plan.order = view.order;
    note = view.header.empty() ? text::Reordered(originalPath, view.from, view.to)
                               : text::HeaderKept(originalPath, view.header, view.skip);
}

namespace {

// The result, written in the byte order the patch reads, turned into the
// original's, a piece at a time.
void ReorderOutput(OutputFile& output, std::uint64_t from, Reorder order) {
    std::vector<std::uint8_t> piece(kChunk);
    const std::uint64_t end = from + ((output.Size() - from) & ~std::uint64_t{3});
    for (std::uint64_t at = from; at < end;) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), end - at));
        output.ReadBack(at, {piece.data(), size});
        ReorderWords(order, {piece.data(), size});
        output.WriteAt(at, {piece.data(), size});
        at += size;
    }
}

}  // namespace

// Refused unless it was made for this file (where the patch can tell), its
// comment shown, then written like any result.
std::optional<Stop> ForeignPatch::Apply(HostServices& host, Inputs& in, const std::string& outputPath,
                                        const ApplyOptions& options) const {
    const BufferSizes sizes = host.Buffers();
    Plan plan;
    if (options.ignoreChecksum) plan.warnTo = &host;
    std::string note;
    if (auto stop = PlanFor(host, *in.original, *in.patch, in.originalPath, options, plan, note)) return stop;
    if (const auto comment = Comment(*in.patch, host)) host.ShowComment(*comment);
    auto output = host.CreateOutput(outputPath);
    in.original->ExpectSequential();
    in.patch->ExpectSequential();
    std::uint32_t crc = 0;
    {
        ViewedInput source(*in.original, View{plan.skip, "", plan.order, "", ""});
        output->Reserve(plan.skip + ResultSize(source.Size(), plan));
        if (plan.skip > 0) output->AppendFrom(*in.original, 0, plan.skip);
        try {
            crc = Write(source, *in.patch, plan, *output, sizes);
        } catch (const Damage& damage) {
            if (CheckedWhole()) throw ChangedWhileRead(*in.patch);
            throw FileError(text::DamagedPatch(in.patchPath, damage.what));
        }
        if (plan.order != Reorder::None) ReorderOutput(*output, plan.skip, plan.order);
    }
    if (stated) {
        const std::uint32_t expected = plan.reverse ? stated->sourceCrc : stated->targetCrc;
        if (crc != expected) {
            const std::string problem = text::ResultCrcWrong(outputPath, format_->Name(), crc, expected);
            if (!options.ignoreChecksum) throw FileError(problem);
            host.ShowWarning(text::AppliedAllTheSame(problem));
        }
    }
    in.original.reset();
    in.patch.reset();
    CommitOutput(host, *output);
    if (!note.empty()) host.ShowMessage(note, MessageStyle::Plain);
    return std::nullopt;
}

// Writing a result that copies from itself -------------------------------

TargetWriter::TargetWriter(OutputFile& output, std::uint64_t base, std::size_t recent)
    : output_(output), base_(base), recent_(recent), scratch_(kChunk) {}

void TargetWriter::Put(std::span<const std::uint8_t> bytes) {
    crc_ = Crc32(crc_, bytes);
    output_.Append(bytes);
    if (!recent_.empty()) Remember(bytes);
    size_ += bytes.size();
}

void TargetWriter::Copy(std::uint64_t from, std::uint64_t length) {
    const std::uint64_t distance = size_ - from;
    while (length > 0) {
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, scratch_.size()));
        const auto known = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, distance));
        Recall(from, {scratch_.data(), known});
        for (std::size_t i = known; i < chunk; ++i) scratch_[i] = scratch_[i - known];
        Put({scratch_.data(), chunk});
        from += chunk;
        length -= chunk;
    }
}

// The byte at result position p lives at recent_[p % size].
void TargetWriter::Remember(std::span<const std::uint8_t> bytes) {
    std::uint64_t pos = size_;
    if (bytes.size() > recent_.size()) {
        pos += bytes.size() - recent_.size();
        bytes = bytes.last(recent_.size());
    }
    auto at = static_cast<std::size_t>(pos % recent_.size());
    while (!bytes.empty()) {
        const std::size_t piece = std::min(bytes.size(), recent_.size() - at);
        std::memcpy(recent_.data() + at, bytes.data(), piece);
        bytes = bytes.subspan(piece);
        at = 0;
    }
}

// Bytes written before: from memory where they are recent enough, else
// from the output itself.
void TargetWriter::Recall(std::uint64_t from, std::span<std::uint8_t> into) {
    if (size_ - from > recent_.size()) {
        output_.ReadBack(base_ + from, into);
        return;
    }
    auto at = static_cast<std::size_t>(from % recent_.size());
    while (!into.empty()) {
        const std::size_t piece = std::min(into.size(), recent_.size() - at);
        std::memcpy(into.data(), recent_.data() + at, piece);
        into = into.subspan(piece);
        at = 0;
    }
}

// Comments ---------------------------------------------------------------

void TextCheck::Feed(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) {
        if (needed_ > 0) {
            ok_ = ok_ && (b & 0xC0) == 0x80;
            --needed_;
        } else if (b == 0 || (b >= 0x80 && b < 0xC2) || b > 0xF4) {
            ok_ = false;
        } else {
            needed_ = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        }
    }
}

namespace {

class Utf8Slices final : public CommentReader {
public:
    Utf8Slices(InputFile& patch, std::uint64_t offset, std::uint64_t length)
        : patch_(patch), offset_(offset), remaining_(length) {}
    std::uint64_t Remaining() const override { return remaining_; }
    std::string Next(std::size_t bytes) override {
        auto size = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, bytes));
        std::string text(size, '\0');
        patch_.ReadExactly(offset_, {reinterpret_cast<std::uint8_t*>(text.data()), size});
        if (size < remaining_) {
            // The last character's lead byte, and whether all its bytes are here.
            std::size_t lead = size;
            while (lead > 0 && size - lead < 4 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
            const auto first = lead > 0 ? static_cast<unsigned char>(text[lead - 1]) : 0;
            const std::size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
            if (lead > 1 && size - (lead - 1) < length) text.resize(size = lead - 1);
        }
        offset_ += size;
        remaining_ -= size;
        return text;
    }

private:
    InputFile& patch_;
    std::uint64_t offset_;
    std::uint64_t remaining_;
};

}  // namespace

std::unique_ptr<CommentReader> Utf8Comment(InputFile& patch, std::uint64_t offset, std::uint64_t length) {
    return std::make_unique<Utf8Slices>(patch, offset, length);
}

namespace {

class CodePageSlices final : public CommentReader {
public:
    CodePageSlices(InputFile& patch, FileServices& files, std::vector<Stretch> stretches, bool utf8)
        : patch_(patch), files_(files), stretches_(std::move(stretches)), utf8_(utf8) {
        for (const Stretch& s : stretches_) remaining_ += s.length;
    }
    std::uint64_t Remaining() const override { return remaining_; }
    std::string Next(std::size_t bytes) override {
        std::string said;
        for (; next_ < stretches_.size() && bytes > 0; ++next_) {
            Stretch& s = stretches_[next_];
            const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(s.length, bytes));
            std::string raw(size, '\0');
            patch_.ReadExactly(s.offset, {reinterpret_cast<std::uint8_t*>(raw.data()), size});
            s.offset += size;
            s.length -= size;
            remaining_ -= size;
            bytes -= size;
            if (gap_) said += "\n\n";
            said += utf8_ ? raw : files_.FromAnsi(raw);
            gap_ = false;
            if (s.length > 0) break;
            gap_ = true;
        }
        return said;
    }

private:
    InputFile& patch_;
    FileServices& files_;
    std::vector<Stretch> stretches_;
    std::size_t next_ = 0;
    std::uint64_t remaining_ = 0;
    bool utf8_;
    bool gap_ = false;  // a stretch has ended: a blank line before the next
};

}  // namespace

std::unique_ptr<CommentReader> CodePageComment(InputFile& patch, FileServices& files, std::vector<Stretch> stretches,
                                               bool utf8) {
    std::erase_if(stretches, [](const Stretch& s) { return s.length == 0; });
    if (stretches.empty()) return nullptr;
    return std::make_unique<CodePageSlices>(patch, files, std::move(stretches), utf8);
}

Stretch PaddedText(std::span<const std::uint8_t> field, std::uint64_t offset) {
    std::size_t length = field.size();
    while (length > 0 && (field[length - 1] == ' ' || field[length - 1] == 0)) --length;
    return {offset, length};
}

// Records of new bytes at offsets -------------------------------------------

InOrderRecords::InOrderRecords(InputFile& original, OutputFile& output, const BufferSizes& sizes, std::uint64_t result)
    : original_(original), window_(original, sizes.stream), output_(output), base_(output.Size()), sizes_(sizes),
      result_(result), scratch_(kChunk) {}

void InOrderRecords::FillTo(std::uint64_t to) {
    to = std::min(to, result_);
    if (to <= at_) return;
    const std::uint64_t n = original_.Size();
    if (to - at_ >= sizes_.copyGap) {
        if (at_ < n) output_.AppendFrom(original_, at_, std::min(to, n) - at_);
        output_.ExtendTo(base_ + to);
        at_ = to;
        return;
    }
    while (at_ < to) {
        if (at_ < n) {
            const auto piece = window_.At(at_, std::min(to, n) - at_);
            output_.Append(piece);
            at_ += piece.size();
        } else {
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(to - at_, scratch_.size()));
            std::fill_n(scratch_.begin(), count, 0);
            output_.Append({scratch_.data(), count});
            at_ += count;
        }
    }
}

std::uint64_t InOrderRecords::Kept(std::uint64_t offset, std::uint64_t length) const {
    return offset < result_ ? std::min(length, result_ - offset) : 0;
}

void InOrderRecords::Data(std::uint64_t offset, std::uint64_t size, ByteReader& reader) {
    FillTo(offset);
    const std::uint64_t kept = Kept(offset, size);
    TakePieces(reader, kept, [&](std::span<const std::uint8_t> piece) { output_.Append(piece); });
    reader.Skip(size - kept);
    at_ = std::max(at_, offset + kept);
}

void InOrderRecords::Run(std::uint64_t offset, std::uint64_t count, std::uint8_t byte) {
    FillTo(offset);
    const std::uint64_t kept = Kept(offset, count);
    std::fill_n(scratch_.begin(), std::min<std::uint64_t>(kept, scratch_.size()), byte);
    for (std::uint64_t left = kept; left > 0;) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, scratch_.size()));
        output_.Append({scratch_.data(), piece});
        left -= piece;
    }
    at_ = std::max(at_, offset + kept);
}

AnyOrderRecords::AnyOrderRecords(OutputFile& output, std::uint64_t base, std::uint64_t result)
    : output_(output), base_(base), result_(result), scratch_(kChunk) {}

void AnyOrderRecords::Data(std::uint64_t offset, std::uint64_t size, ByteReader& reader) {
    std::uint64_t at = offset;
    TakePieces(reader, size, [&](std::span<const std::uint8_t> piece) {
        if (at < result_)
            output_.WriteAt(base_ + at, piece.first(static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), result_ - at))));
        at += piece.size();
    });
}

void AnyOrderRecords::Run(std::uint64_t offset, std::uint64_t count, std::uint8_t byte) {
    std::fill(scratch_.begin(), scratch_.end(), byte);
    for (std::uint64_t at = offset; at < std::min(offset + count, result_);) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(std::min(offset + count, result_) - at, kChunk));
        output_.WriteAt(base_ + at, {scratch_.data(), piece});
        at += piece;
    }
}

// The numbers and the footer of the formats with three CRC-32s -------------

checksummed::Head checksummed::ReadHead(InputFile& patch, ByteReader& reader, std::size_t bufferSize) {
    const std::uint64_t fileLength = patch.Size();
    if (fileLength < reader.Position() + 2 + kFooterSize) throw Damage{text::CutShort()};
    std::uint8_t footer[kFooterSize];
    patch.ReadExactly(fileLength - kFooterSize, footer);
    Head head;
    head.stated.sourceCrc = ReadLe32(footer);
    head.stated.targetCrc = ReadLe32(footer + 4);
    head.patchCrc = ReadLe32(footer + 8);
    const std::uint32_t crc = CrcOfFirst(patch, fileLength - 4, bufferSize);
    if (crc != head.patchCrc) throw Damage{text::PatchCrcWrong(crc, head.patchCrc)};
    head.bodyEnd = fileLength - kFooterSize;
    head.stated.sourceSize = ReadNumber(reader, head.bodyEnd);
    head.stated.targetSize = ReadNumber(reader, head.bodyEnd);
    return head;
}

std::uint64_t checksummed::ReadNumber(ByteReader& reader, std::uint64_t end) {
    const std::uint64_t at = reader.Position();
    std::uint64_t value = 0;
    std::uint64_t shift = 1;
    for (;;) {
        if (reader.Position() >= end) throw Damage{text::CutShortAt(at)};
        const std::uint8_t byte = ReadByte(reader);
        value += (byte & 0x7Fu) * shift;  // shift <= 2^53: no overflow
        if (byte & 0x80) break;
        shift <<= 7;
        value += shift;
        if (shift > kMaxSize || value > kMaxSize) throw Damage{text::NumberTooLarge(at)};
    }
    if (value > kMaxSize) throw Damage{text::NumberTooLarge(at)};
    return value;
}

void checksummed::Writer::Put(std::span<const std::uint8_t> bytes) {
    crc_ = Crc32(crc_, bytes);
    out_.Append(bytes);
}

void checksummed::Writer::Number(std::uint64_t v) {
    std::uint8_t bytes[kMaxNumberBytes];
    Put({bytes, EncodeNumber(v, bytes)});
}

void checksummed::Writer::Le32(std::uint32_t v) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    Put(bytes);
}

void checksummed::Writer::Footer(std::uint32_t sourceCrc, std::uint32_t targetCrc) {
    Le32(sourceCrc);
    Le32(targetCrc);
    Le32(crc_);
}

std::size_t checksummed::EncodeNumber(std::uint64_t v, std::uint8_t* out) {
    std::size_t n = 0;
    for (;;) {
        const auto x = static_cast<std::uint8_t>(v & 0x7F);
        v >>= 7;
        if (v == 0) {
            out[n++] = 0x80 | x;
            return n;
        }
        out[n++] = x;
        --v;
    }
}

// Making -------------------------------------------------------------------

// No 2 GiB limit, and a shorter changed file is theirs to describe.
std::optional<Stop> MakeForeign(HostServices& host, const MakeRequest& request, const PatchFormat& format,
                                bool keepsComment, const WritePatch& write) {
    std::unique_ptr<InputFile> original, changed;
    if (auto stop = OpenSource(host, request.originalPath, Wanted::Rom, request.patchPath, original, AsItIs)) return stop;
    if (auto stop = OpenSource(host, request.changedPath, Wanted::Rom, request.patchPath, changed, AsItIs)) return stop;
    auto patch = host.CreateOutput(request.patchPath);
    write(*original, *changed, *patch);
    original.reset();
    changed.reset();
    CommitOutput(host, *patch);
    if (!keepsComment && !request.comment.empty())
        host.ShowMessage(text::CommentNotStored(format.Name()), MessageStyle::Plain);
    return std::nullopt;
}

std::optional<Stop> MakeDescribed(HostServices& host, const MakeRequest& request, const PatchFormat& format,
                                  std::size_t room, const WriteDescribed& write, bool utf8) {
    std::string description = utf8 ? request.comment : host.ToAnsi(request.comment);
    const bool cut = description.size() > room;
    std::size_t keep = std::min(description.size(), room);
    while (utf8 && cut && keep > 0 && (static_cast<unsigned char>(description[keep]) & 0xC0) == 0x80) --keep;
    description.resize(keep);
    auto stop = MakeForeign(host, request, format, true, [&](InputFile& original, InputFile& changed, OutputFile& patch) {
        write(original, changed, patch, description);
    });
    if (!stop && cut) host.ShowMessage(text::CommentCut(format.Name(), room), MessageStyle::Plain);
    return stop;
}

}  // namespace zelk
