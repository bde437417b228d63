#include "engine/formats/bps.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "engine/byte_reader.h"
#include "engine/copy_matcher.h"
#include "engine/file_hashes.h"
#include "engine/file_window.h"
#include "engine/formats/checksummed.h"
#include "engine/formats/comments.h"
#include "engine/formats/foreign.h"
#include "engine/formats/target_writer.h"
#include "engine/user_texts.h"
#include "host/crc32.h"

namespace zelk {

namespace {

constexpr std::uint64_t kMagic = 4;  // "BPS1"
// The newest bytes of a result, kept for the copies from it, which most
// often reach back only a little.
constexpr std::size_t kRecentOutput = 4 << 20;

class BpsPatch final : public ForeignPatch {
public:
    explicit BpsPatch(const PatchFormat& format) : ForeignPatch(format) { headerAware = true; }
    std::uint64_t bodyStart = 0;  // the first command
    std::uint64_t bodyEnd = 0;    // the footer
    std::uint32_t patchCrc = 0;
    std::uint64_t metadataStart = 0;
    std::uint64_t metadataSize = 0;
    bool metadataIsText = true;
    std::uint64_t targetCopies = 0;  // copies from the result itself

    void ReadWhole(InputFile& patch, std::size_t bufferSize) override;

protected:
    std::uint32_t Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                        const BufferSizes& sizes) const override;
    std::string InfoLines() const override;
    std::uint64_t ResultSize(std::uint64_t, const Plan&) const override { return stated->targetSize; }
    std::unique_ptr<CommentReader> Comment(InputFile& patch, FileServices&) const override {
        if (metadataSize == 0 || !metadataIsText) return nullptr;
        return Utf8Comment(patch, metadataStart, metadataSize);
    }
    std::string NoComment() const override {
        if (metadataSize == 0) return "(none)";
        return std::string("(").append(std::to_string(metadataSize)).append(" bytes of metadata, not text)");
    }
};

// A cursor moves by a signed number: its magnitude, its sign in the low bit.
std::uint64_t MoveCursor(std::uint64_t cursor, std::uint64_t number, std::uint64_t at) {
    const std::uint64_t magnitude = number >> 1;
    if (number & 1) {
        if (magnitude > cursor) throw Damage{text::CursorBeforeStart(at)};
        return cursor - magnitude;
    }
    if (magnitude > kMaxExactSize - cursor) throw Damage{text::NumberTooLarge(at)};
    return cursor + magnitude;
}

// The commands, each checked against the sizes the patch gives; `visit`
// sees each one that is sound.
template <class Visit>
void Walk(ByteReader& reader, const BpsPatch& p, Visit& visit) {
    const Stated& s = *p.stated;
    const std::uint64_t end = p.bodyEnd;
    std::uint64_t out = 0, sourceCursor = 0, targetCursor = 0;
    while (reader.Position() < end) {
        const std::uint64_t at = reader.Position();
        const std::uint64_t command = checksummed::ReadNumber(reader, end);
        const std::uint64_t length = (command >> 2) + 1;
        if (length > s.targetSize - out) throw Damage{text::WritesPastResult(at)};
        switch (command & 3) {
            case 0:  // SourceRead: the original's bytes at the same place
                if (out + length > s.sourceSize) throw Damage{text::ReadsOutside(at, "original")};
                visit.Source(out, length);
                break;
            case 1:  // TargetRead: bytes from the patch
                if (length > end - reader.Position()) throw Damage{text::CutShortAt(at)};
                visit.Patch(reader, length);
                break;
            case 2:  // SourceCopy: the original's bytes from anywhere
                sourceCursor = MoveCursor(sourceCursor, checksummed::ReadNumber(reader, end), at);
                if (sourceCursor + length > s.sourceSize) throw Damage{text::ReadsOutside(at, "original")};
                visit.Source(sourceCursor, length);
                sourceCursor += length;
                break;
            default:  // TargetCopy: the result's own bytes, written before
                targetCursor = MoveCursor(targetCursor, checksummed::ReadNumber(reader, end), at);
                if (targetCursor >= out) throw Damage{text::ReadsOutside(at, "result as written so far")};
                visit.Target(targetCursor, length);
                targetCursor += length;
                break;
        }
        out += length;
    }
    if (out != s.targetSize) throw Damage{text::MakesTooFew(out, s.targetSize)};
}

// Reading only checks; the copies from the result are counted.
struct Counting {
    BpsPatch& p;
    void Source(std::uint64_t, std::uint64_t) {}
    void Target(std::uint64_t, std::uint64_t) { ++p.targetCopies; }
    void Patch(ByteReader& reader, std::uint64_t length) { reader.Skip(length); }
};

void BpsPatch::ReadWhole(InputFile& patch, std::size_t bufferSize) {
    ByteReader reader(patch, kMagic, bufferSize);
    const checksummed::Head head = checksummed::ReadHead(patch, reader, bufferSize);
    stated = head.stated;
    patchCrc = head.patchCrc;
    bodyEnd = head.bodyEnd;
    metadataSize = checksummed::ReadNumber(reader, bodyEnd);
    metadataStart = reader.Position();
    if (metadataSize > bodyEnd - metadataStart) throw Damage{text::MetadataPastTheEnd()};
    TextCheck text;
    TakePieces(reader, metadataSize, [&](std::span<const std::uint8_t> piece) { text.Feed(piece); });
    metadataIsText = text.Text();
    bodyStart = reader.Position();
    Counting counting{*this};
    Walk(reader, *this, counting);
}

std::string BpsPatch::InfoLines() const { return "\nPatch CRC-32: " + text::Crc(patchCrc); }

// Applying: each command's bytes go to the result.
struct Writing {
    FileWindow& source;
    std::uint64_t sourceSize;  // as the file is, which --ignore-checksum may let differ
    TargetWriter& target;
    void Source(std::uint64_t from, std::uint64_t length) {
        if (from + length > sourceSize) throw FileError(text::ReadsPastTheFile(source.Path()));
        while (length > 0) {
            const auto piece = source.At(from, length);
            target.Put(piece);
            from += piece.size();
            length -= piece.size();
        }
    }
    void Patch(ByteReader& reader, std::uint64_t length) {
        TakePieces(reader, length, [&](std::span<const std::uint8_t> piece) { target.Put(piece); });
    }
    void Target(std::uint64_t from, std::uint64_t length) { target.Copy(from, length); }
};

std::uint32_t BpsPatch::Write(InputFile& source, InputFile& patch, const Plan& plan, OutputFile& output,
                              const BufferSizes& sizes) const {
    ByteReader reader(patch, bodyStart, sizes.stream);
    FileWindow window(source, sizes.stream);
    // Without copies from the result, nothing of it need be kept.
    const std::uint64_t recent = targetCopies > 0 ? std::min<std::uint64_t>(kRecentOutput, stated->targetSize) : 0;
    TargetWriter target(output, plan.skip, static_cast<std::size_t>(recent));
    Writing writer{window, source.Size(), target};
    Walk(reader, *this, writer);
    return target.Crc();
}

// Making ---------------------------------------------------------------------

// The patch's bytes, with its CRC-32, and the commands' cursors.
class CommandWriter : public checksummed::Writer {
public:
    using Writer::Writer;
    void Command(int op, std::uint64_t length) { Number((length - 1) << 2 | static_cast<std::uint64_t>(op)); }
    void Move(std::uint64_t& cursor, std::uint64_t to) {
        Number(to >= cursor ? (to - cursor) << 1 : (cursor - to) << 1 | 1);
    }
    // The target's bytes [from, to) as they are.
    void Literal(InputFile& target, std::uint64_t from, std::uint64_t to, std::vector<std::uint8_t>& scratch) {
        if (to <= from) return;
        Command(1, to - from);
        while (from < to) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, scratch.size()));
            target.ReadExactly(from, {scratch.data(), n});
            Put({scratch.data(), n});
            from += n;
        }
    }
    // `length` bytes from `from` in the source, landing at `at` in the target.
    void FromSource(std::uint64_t from, std::uint64_t at, std::uint64_t length) {
        if (from == at) {
            Command(0, length);
            return;
        }
        Command(2, length);
        Move(sourceCursor_, from);
        sourceCursor_ = from + length;
    }
    void FromTarget(std::uint64_t from, std::uint64_t length) {
        Command(3, length);
        Move(targetCursor_, from);
        targetCursor_ = from + length;
    }

private:
    std::uint64_t sourceCursor_ = 0;
    std::uint64_t targetCursor_ = 0;
};

// The commands as the matcher finds the target's bytes.
class CommandSink final : public CopySink {
public:
    CommandSink(CommandWriter& out, InputFile& target) : out_(out), target_(target) {}
    void NewBytes(std::uint64_t from, std::uint64_t to) override { out_.Literal(target_, from, to, scratch_); }
    void FromSource(std::uint64_t from, std::uint64_t at, std::uint64_t length) override {
        out_.FromSource(from, at, length);
    }
    void FromTarget(std::uint64_t from, std::uint64_t, std::uint64_t length) override { out_.FromTarget(from, length); }

private:
    CommandWriter& out_;
    InputFile& target_;
    std::vector<std::uint8_t> scratch_ = std::vector<std::uint8_t>(64 << 10);
};

// The inputs' checksums (the source's taken while it is indexed), the
// header, then the commands of one scan.
void WriteBps(InputFile& source, InputFile& target, OutputFile& patch, const std::string& metadata,
              const BufferSizes& sizes) {
    CopyMatcher matcher(source, target);
    source.ExpectSequential();
    const std::uint32_t sourceCrc = matcher.IndexSource(sizes.stream);
    target.ExpectSequential();
    const std::uint32_t targetCrc = CrcOfFirst(target, target.Size(), sizes.stream);
    CommandWriter out(patch);
    out.Put({reinterpret_cast<const std::uint8_t*>("BPS1"), kMagic});
    out.Number(source.Size());
    out.Number(target.Size());
    out.Number(metadata.size());
    out.Put({reinterpret_cast<const std::uint8_t*>(metadata.data()), metadata.size()});
    CommandSink sink(out, target);
    matcher.Scan(sink);
    out.Footer(sourceCrc, targetCrc);
}

class Bps final : public PatchFormat {
public:
    std::string_view Name() const override { return "BPS"; }
    std::string_view Key() const override { return "bps"; }
    std::string_view Summary() const override {
        return "sizes and CRC-32s of both files, data moved anywhere; the comment as UTF-8 metadata";
    }
    bool Recognises(std::span<const std::uint8_t> head) const override { return StartsWith(head, "BPS1"); }
    std::unique_ptr<LoadedPatch> Read(InputFile& patch, std::size_t bufferSize) const override {
        return ReadForeign(std::make_unique<BpsPatch>(*this), patch, bufferSize);
    }
    bool ReadsOriginalFirst() const override { return true; }
    bool Makes() const override { return true; }
    // The inputs' checksums (and the source's index), then the scan.
    unsigned MakePasses() const override { return 2; }
    // The comment goes in as the metadata, UTF-8 text as it is.
    std::string Make(HostServices& host, const MakeRequest& request, const MakeFiles& files) const override {
        WriteBps(files.original, files.changed, files.patch, request.comment, host.Buffers());
        return {};
    }
};

}  // namespace

const PatchFormat& BpsFormat() {
    static const Bps format;
    return format;
}

std::string text::CursorBeforeStart(std::uint64_t at) {
    return "the command at byte " + std::to_string(at) + " moves its cursor before the start of the file";
}

std::string text::WritesPastResult(std::uint64_t at) {
    return "the command at byte " + std::to_string(at) + " writes past the end of the result";
}

std::string text::ReadsOutside(std::uint64_t at, std::string_view what) {
    return "the command at byte " + std::to_string(at) + " reads outside the " + std::string(what);
}

std::string text::MakesTooFew(std::uint64_t made, std::uint64_t promised) {
    return "its commands make " + CountOf(made) + " where it promises " + CountOf(promised);
}

std::string text::MetadataPastTheEnd() { return "its metadata runs past the end of the file"; }

}  // namespace zelk
