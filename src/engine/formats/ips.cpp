#include "engine/formats/ips.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <vector>

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

constexpr std::uint64_t kMaxOffset = 0xFFFFFF;
constexpr std::uint64_t kEof = 0x454F46;  // "EOF": no record may start here
constexpr std::size_t kMaxRecord = 0xFFFF;
constexpr std::size_t kRecordHeader = 5;
constexpr std::size_t kRunRecord = kRecordHeader + 3;

// An IPS patch as reading it found it.
class IpsPatch final : public ForeignPatch {
public:
    IpsPatch(const PatchFormat& format, bool wide) : ForeignPatch(format), wide(wide) {}

    bool wide;                     // IPS32: offsets of four bytes, an EEOF mark
    std::uint64_t fileLength = 0;
    std::uint64_t bodyStart = 5;   // "PATCH", "IPS32"
    std::uint64_t records = 0;
    std::uint64_t runs = 0;          // of those, runs of one byte
    std::uint64_t writtenBytes = 0;  // all the bytes the records write
    std::uint64_t maxEnd = 0;        // the farthest record end
    bool ascending = true;           // each record starts at or after the previous one's end
    std::optional<std::uint64_t> truncation;
    std::uint64_t metadataAt = 0, metadataSize = 0;  // EBP's JSON
    // Where the patch writes a SNES ROM's checksum and its complement that
    // agree: behind no copier header, behind one.
    bool checksumAt[2] = {false, false};

    void ReadWhole(InputFile& patch, std::size_t bufferSize) override;

protected:
    std::uint32_t Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                        const BufferSizes& sizes) const override;
    Verdict Compare(InputFile& file, InputFile& patch, std::size_t bufferSize) const override;
    std::uint64_t ResultSize(std::uint64_t originalSize, const Plan& plan) const override {
        if (truncation) return *truncation - std::min(*truncation, plan.unshift);
        return std::max(originalSize, maxEnd - std::min(maxEnd, plan.unshift));
    }
    std::optional<Stop> PlanFor(HostServices& host, InputFile& original, InputFile& patch,
                                const std::string& originalPath, const EvidenceRule& rule, Plan& plan,
                                std::string& note) const override;
    std::string InfoLines() const override;
    std::unique_ptr<CommentReader> Comment(InputFile& patch, FileServices&) const override {
        if (metadataSize == 0) return nullptr;
        return Utf8Comment(patch, metadataAt, metadataSize);
    }
    // Neither it nor the file holds a SNES checksum that would tell.
    bool Blind(InputFile& file) const override;
    // EBP has room for one, in its JSON; IPS none.
    std::string NoComment() const override { return metadataAt != 0 ? "(none)" : ""; }
};

// The records of an IPS patch, up to its EOF mark; returns the truncation
// length after it, if any.
template <class Visit>
std::optional<std::uint64_t> Walk(ByteReader& reader, const IpsPatch& s, Visit& visit) {
    const std::size_t width = s.wide ? 4 : 3;
    const std::uint64_t endMark = s.wide ? 0x45454F46u : 0x454F46u;  // "EEOF", "EOF"
    const auto bigEndian = [&](std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) value = value << 8 | ReadByte(reader);
        return value;
    };
    const auto left = [&] { return s.fileLength - reader.Position(); };
    for (std::uint64_t index = 0;; ++index) {
        const std::uint64_t at = reader.Position();
        if (left() < width) throw Damage{text::NoEndMark(s.wide ? "EEOF" : "EOF")};
        const std::uint64_t offset = bigEndian(width);
        if (offset == endMark) break;
        if (left() < 2) throw Damage{text::RecordCutShort(index, at)};
        const auto size = bigEndian(2);
        if (size == 0) {
            if (left() < 3) throw Damage{text::RecordCutShort(index, at)};
            const auto count = bigEndian(2);
            visit.Run(offset, count, ReadByte(reader));
        } else {
            if (left() < size) throw Damage{text::RecordCutShort(index, at)};
            visit.Data(offset, size, reader);
        }
    }
    const std::uint64_t rest = left();
    if (rest == width) return bigEndian(width);
    if (rest == 0) return std::nullopt;
    // EBP's JSON: the reader is left at its start.
    const std::uint64_t end = reader.Position();
    const bool json = !s.wide && ReadByte(reader) == '{';
    reader.Seek(end);
    if (!json) throw Damage{text::BytesAfterEndMark(rest, s.wide ? "EEOF" : "EOF")};
    return std::nullopt;
}

// A SNES ROM's internal header holds the complement of its checksum, then
// the checksum, at 0x7FDC (LoROM) or 0xFFDC (HiROM) of the image; a copier
// header moves them 512 bytes on. A pair that agrees (and is not a blank's)
// tells where the image starts.
constexpr std::uint64_t kChecksumAt[] = {0x7FDC, 0xFFDC};
bool ChecksumPair(const std::uint8_t* b) {
    const unsigned complement = ReadLe16(b), checksum = ReadLe16(b + 2);
    return (complement ^ checksum) == 0xFFFF && checksum != 0 && checksum != 0xFFFF;
}
// Where the file's own checksum pair stands: behind no header, behind one.
std::array<bool, 2> FileChecksumAt(InputFile& file) {
    std::array<bool, 2> at{};
    for (int headered = 0; headered < 2; ++headered)
        for (const std::uint64_t place : kChecksumAt) {
            std::uint8_t pair[4];
            if (file.ReadAt(place + (headered ? kCopierHeader : 0), pair) == 4 && ChecksumPair(pair)) at[headered] = true;
        }
    return at;
}

// Reading only checks; the counts are kept for info and check.
struct Counting {
    IpsPatch& s;
    std::uint64_t previousEnd = 0;
    void Record(std::uint64_t offset, std::uint64_t length) {
        ++s.records;
        s.writtenBytes += length;
        s.ascending = s.ascending && offset >= previousEnd;
        previousEnd = offset + length;
        s.maxEnd = std::max(s.maxEnd, offset + length);
    }
    void Run(std::uint64_t offset, std::uint64_t count, std::uint8_t) {
        ++s.runs;
        Record(offset, count);
    }
    void Data(std::uint64_t offset, std::uint64_t size, ByteReader& reader) {
        const std::uint64_t start = reader.Position();
        for (int headered = 0; headered < 2; ++headered)
            for (std::uint64_t place : kChecksumAt) {
                place += headered ? kCopierHeader : 0;
                if (place < offset || place + 4 > offset + size) continue;
                std::uint8_t pair[4];
                reader.Seek(start + (place - offset));
                reader.Read(pair);
                s.checksumAt[headered] = s.checksumAt[headered] || ChecksumPair(pair);
            }
        reader.Seek(start + size);
        Record(offset, size);
    }
};

// Records with their offsets `by` bytes less, what falls before 0 left out.
template <class Writer>
struct Unshifted {
    Writer& writer;
    std::uint64_t by;
    void Data(std::uint64_t offset, std::uint64_t size, ByteReader& reader) {
        const std::uint64_t cut = std::min(size, offset < by ? by - offset : 0);
        reader.Skip(cut);
        if (size > cut) writer.Data(offset + cut - by, size - cut, reader);
    }
    void Run(std::uint64_t offset, std::uint64_t count, std::uint8_t byte) {
        const std::uint64_t cut = std::min(count, offset < by ? by - offset : 0);
        if (count > cut) writer.Run(offset + cut - by, count - cut, byte);
    }
};

void IpsPatch::ReadWhole(InputFile& patch, std::size_t bufferSize) {
    fileLength = patch.Size();
    ByteReader reader(patch, bodyStart, bufferSize);
    Counting counting{*this};
    truncation = Walk(reader, *this, counting);
    if (reader.Position() < fileLength) {
        metadataAt = reader.Position();
        metadataSize = fileLength - metadataAt;
        Become(EbpFormat());
    }
}

std::uint32_t IpsPatch::Write(InputFile& source, InputFile& patch, const Plan& plan, OutputFile& output,
                              const BufferSizes& sizes) const {
    ByteReader reader(patch, bodyStart, sizes.stream);
    const std::uint64_t base = output.Size(), result = ResultSize(source.Size(), plan);
    WriteRecords(source, output, sizes, result, ascending, [&](auto& writer) {
        if (plan.unshift == 0) {
            Walk(reader, *this, writer);
        } else {
            Unshifted<std::remove_reference_t<decltype(writer)>> unshifted{writer, plan.unshift};
            Walk(reader, *this, unshifted);
        }
    });
    if (output.Size() - base != result) throw ChangedWhileRead(patch);
    return 0;
}

Verdict IpsPatch::Compare(InputFile& file, InputFile& patch, std::size_t bufferSize) const {
    ByteReader reader(patch, bodyStart, bufferSize);
    FileWindow window(file, bufferSize);
    HeldRecords found{window, file.Size()};
    try {
        Walk(reader, *this, found);
    } catch (const Damage&) {
        throw ChangedWhileRead(patch);
    }
    const std::uint64_t size = file.Size();
    if (found.AllHeld() && (!truncation || *truncation == size))
        return {Fit::AlreadyApplied, "All " + text::CountOf(found.patchedBytes) +
                                         " the patch writes already hold their new values: this looks like the "
                                         "patched file, not the original."};
    std::string said = text::NoChecksum(Format().Name()) + "; the patch writes " + text::CountOf(found.patchedBytes) + ".";
    const auto at = FileChecksumAt(file);
    if (checksumAt[0] != checksumAt[1] && at[0] != at[1]) {
        said += checksumAt[1] == at[1]
                    ? std::string(" It writes a SNES checksum where this file has its own: made for a ROM ") +
                          (at[1] ? "with" : "without") + " a copier header, as this one is."
                    : std::string(" It writes a SNES checksum 512 bytes ") + (at[1] ? "before" : "after") +
                          " where this file has its own: made for a ROM " + (at[1] ? "without" : "with") +
                          " a copier header, which applying accounts for.";
    } else if (checksumAt[0] != checksumAt[1] || at[0] != at[1]) {
        said += checksumAt[0] != checksumAt[1]
                    ? std::string(" Its SNES checksum says it was made for a ROM ") + (checksumAt[1] ? "with" : "without") +
                          " a copier header; this file's own checksum does not say whether it has one."
                    : std::string(" This file's SNES checksum says it has ") + (at[1] ? "a" : "no") +
                          " copier header; the patch writes no checksum that tells what it was made for.";
    }
    return {Fit::Fits, said};
}

bool IpsPatch::Blind(InputFile& file) const {
    const auto at = FileChecksumAt(file);
    return !checksumAt[0] && !checksumAt[1] && !at[0] && !at[1];
}

// A copier header one of them has and the other lacks, as their SNES
// checksums tell: applied as the patch was made, the file kept as it is.
std::optional<Stop> IpsPatch::PlanFor(HostServices&, InputFile& original, InputFile&, const std::string& originalPath,
                                      const EvidenceRule&, Plan& plan, std::string& note) const {
    const auto file = FileChecksumAt(original);
    if (checksumAt[0] == checksumAt[1] || file[0] == file[1]) return std::nullopt;
    if (file[1] && checksumAt[0]) {
        plan.skip = kCopierHeader;
        note = text::HeaderKept(originalPath, "copier", kCopierHeader);
    } else if (file[0] && checksumAt[1]) {
        plan.unshift = kCopierHeader;
        note = text::HeaderAssumed(originalPath);
    }
    return std::nullopt;
}

std::string IpsPatch::InfoLines() const {
    return "\nRecords: " + std::to_string(records) + " (" + std::to_string(runs) +
           (runs == 1 ? " run of one byte)" : " runs of one byte)") + "\nBytes written: " + std::to_string(writtenBytes) +
           "\nFarthest record end: " + std::to_string(maxEnd) +
           "\nTruncated to: " + (truncation ? std::to_string(*truncation) + " bytes" : std::string("no"));
}

// Making ---------------------------------------------------------------------

// Runs of changed bytes become records: plain, or runs of one byte where
// that is shorter, none longer than IPS allows and none starting where it
// would read as the EOF mark.
class RecordWriter final : public DiffSink {
public:
    RecordWriter(OutputFile& patch, InputFile& changed) : patch_(patch), changed_(changed) {}

    void RunBegin(std::uint64_t offset) override {
        start_ = offset;
        bytes_.clear();
    }
    void RunBytes(std::span<const std::uint8_t> changed) override {
        for (const std::uint8_t b : changed) {
            bytes_.push_back(b);
            // Long runs go out as they grow: no record is longer than this.
            if (bytes_.size() == 4 * kMaxRecord) Flush(false);
        }
    }
    void RunEnd() override { Flush(true); }

private:
    // Writes the collected bytes; unless `all`, the last run of one byte is
    // kept back, since it may go on in the next piece.
    void Flush(bool all) {
        std::size_t limit = bytes_.size();
        if (!all)
            while (limit > 0 && bytes_[limit - 1] == bytes_.back()) --limit;
        if (limit == 0) {  // one byte all along: a run now, another later if it goes on
            Run(start_, bytes_.size(), bytes_.back());
            start_ += bytes_.size();
            bytes_.clear();
            return;
        }
        std::size_t plainFrom = 0;
        for (std::size_t i = 0; i < limit;) {
            std::size_t j = i + 1;
            while (j < limit && bytes_[j] == bytes_[i]) ++j;
            // A run is cheaper as its own record when it saves more than the
            // header of the plain record it splits off.
            const bool atEdge = i == plainFrom || (all && j == limit);
            if (j - i > kRunRecord + (atEdge ? 0 : kRecordHeader)) {
                Plain(plainFrom, i);
                Run(start_ + i, j - i, bytes_[i]);
                plainFrom = j;
            }
            i = j;
        }
        Plain(plainFrom, limit);
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(limit));
        start_ += limit;
    }
    // The byte just before the EOF mark's offset: a record that would start
    // there starts one byte earlier, with it.
    std::uint8_t BeforeEof() {
        std::uint8_t before = 0;
        changed_.ReadExactly(kEof - 1, {&before, 1});
        return before;
    }
    void Plain(std::size_t from, std::size_t to) {
        while (from < to) {
            std::uint64_t offset = start_ + from;
            std::size_t n = std::min(to - from, kMaxRecord);
            if (offset == kEof) {
                const std::uint8_t before = BeforeEof();
                n = std::min(n, kMaxRecord - 1);
                Header(kEof - 1, n + 1);
                patch_.Append({&before, 1});
            } else {
                Header(offset, n);
            }
            patch_.Append({bytes_.data() + from, n});
            from += n;
        }
    }
    void Run(std::uint64_t offset, std::uint64_t length, std::uint8_t byte) {
        while (length > 0) {
            if (offset == kEof) {
                Header(kEof - 1, 2);
                const std::uint8_t two[2] = {BeforeEof(), byte};
                patch_.Append(two);
                ++offset;
                --length;
                continue;
            }
            const std::uint64_t n = std::min<std::uint64_t>(length, kMaxRecord);
            Header(offset, 0);
            std::uint8_t run[3] = {0, 0, byte};
            PutBe(run, n, 2);
            patch_.Append(run);
            offset += n;
            length -= n;
        }
    }
    void Header(std::uint64_t offset, std::uint64_t size) {
        if (offset > kMaxOffset) throw FileError(text::IpsCannotAddress(patch_.Path(), offset));
        std::uint8_t header[5];
        PutBe(header, offset, 3);
        PutBe(header + 3, size, 2);
        patch_.Append(header);
    }

    OutputFile& patch_;
    InputFile& changed_;
    std::uint64_t start_ = 0;
    std::vector<std::uint8_t> bytes_;
};

// Writes an IPS patch from `original` to `changed`, or throws FileError
// (naming the patch's path) for a change IPS cannot address: a record past
// 16 MiB, a shorter result of 16 MiB or more.
void WritePatchFile(InputFile& original, InputFile& changed, OutputFile& patch, const BufferSizes& sizes) {
    const std::uint64_t n = original.Size(), m = changed.Size();
    if (m < n && m > kMaxOffset) throw FileError(text::IpsCannotAddress(patch.Path(), m));
    patch.Append({reinterpret_cast<const std::uint8_t*>("PATCH"), 5});
    RecordWriter records(patch, changed);
    ScanFilesAndTail(original, changed, sizes.scan, records);
    patch.Append({reinterpret_cast<const std::uint8_t*>("EOF"), 3});
    if (m < n) {
        std::uint8_t length[3];
        PutBe(length, m, 3);
        patch.Append(length);
    }
}

// EBP's metadata: the comment as the description, JSON-escaped.
std::string EbpMetadata(const std::string& comment) {
    std::string json = R"({"patcher":"EBPatcher","author":"","title":"","description":")";
    for (const char c : comment) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (c == '\n') {
            json += "\\n";
        } else if (c == '\r') {
            json += "\\r";
        } else if (c == '\t') {
            json += "\\t";
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            json += escaped;
        } else {
            json += c;
        }
    }
    return json + "\"}";
}

class Ips final : public PatchFormat {
public:
    Ips(bool wide) : wide_(wide) {}
    std::string_view Name() const override { return wide_ ? "IPS32" : "IPS"; }
    std::string_view Key() const override { return wide_ ? "ips32" : "ips"; }
    std::string_view Summary() const override {
        return wide_ ? "IPS with 4-byte offsets"
                     : "records of new bytes at offsets in the first 16 MiB; no checksum, no comment";
    }
    bool Recognises(std::span<const std::uint8_t> head) const override { return StartsWith(head, wide_ ? "IPS32" : "PATCH"); }
    std::unique_ptr<LoadedPatch> Read(InputFile& patch, std::size_t bufferSize) const override {
        return ReadForeign(std::make_unique<IpsPatch>(*this, wide_), patch, bufferSize);
    }
    // IPS32 is read, not made: IPS reaches what most tools expect, and a
    // larger change asks for BPS.
    bool Makes() const override { return !wide_; }
    bool KeepsComment() const override { return false; }
    std::string Make(HostServices& host, const MakeRequest&, const MakeFiles& files) const override {
        WritePatchFile(files.original, files.changed, files.patch, host.Buffers());
        return {};
    }

private:
    bool wide_;
};

// Read as IPS (the same magic), which finds the JSON; made as IPS with it.
class Ebp final : public PatchFormat {
public:
    std::string_view Name() const override { return "EBP"; }
    std::string_view Key() const override { return "ebp"; }
    std::string_view Summary() const override { return "IPS with the comment as its description; never shorter"; }
    bool Recognises(std::span<const std::uint8_t>) const override { return false; }
    std::unique_ptr<LoadedPatch> Read(InputFile& patch, std::size_t bufferSize) const override {
        return IpsFormat().Read(patch, bufferSize);
    }
    bool Makes() const override { return true; }
    std::string Make(HostServices& host, const MakeRequest& request, const MakeFiles& files) const override {
        // The JSON follows the EOF mark, where a length to cut to would stand.
        if (files.changed.Size() < files.original.Size())
            throw FileError(text::CannotShorten(files.patch.Path(), "EBP"));
        WritePatchFile(files.original, files.changed, files.patch, host.Buffers());
        const std::string json = EbpMetadata(request.comment);
        files.patch.Append({reinterpret_cast<const std::uint8_t*>(json.data()), json.size()});
        return {};
    }
};

}  // namespace

const PatchFormat& IpsFormat() {
    static const Ips format(false);
    return format;
}

const PatchFormat& Ips32Format() {
    static const Ips format(true);
    return format;
}

const PatchFormat& EbpFormat() {
    static const Ebp format;
    return format;
}

std::string text::NoEndMark(std::string_view mark) { return "it ends without its " + std::string(mark) + " mark: it is cut short"; }

std::string text::BytesAfterEndMark(std::uint64_t count, std::string_view mark) {
    return CountOf(count) + " follow its " + std::string(mark) + " mark, which is neither nothing nor a length";
}

std::string text::IpsCannotAddress(const std::string& patchPath, std::uint64_t offset) {
    return "Cannot write " + patchPath + ": an IPS patch reaches only the first 16 MiB, and this change lies at " +
           Offset(offset) + "; a .bps patch can describe it";
}

}  // namespace zelk
