#include "engine/foreign_patch.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/byte_reader.h"
#include "engine/file_window.h"
#include "engine/fit_check.h"
#include "engine/user_texts.h"
#include "host/crc32.h"

namespace zelk {

namespace {

// Larger sizes and offsets are no file's on any system we run on, and the
// page counts bytes in doubles, exact up to here.
constexpr std::uint64_t kMaxSize = (std::uint64_t{1} << 53) - 1;
constexpr std::uint64_t kFooterSize = 12;  // UPS and BPS: three CRC-32s
constexpr std::size_t kChunk = 64 * 1024;
// The newest bytes of a BPS result, kept for the copies from it, which most
// often reach back only a little.
constexpr std::size_t kRecentOutput = 4 << 20;

// Found while reading a patch: what is wrong with it.
struct Damage {
    std::string what;
};

std::uint32_t ReadLe32(const std::uint8_t* b) {
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

std::uint8_t ReadByte(ByteReader& reader) {
    std::uint8_t byte = 0;
    reader.Read({&byte, 1});
    return byte;
}

// A number in the form UPS and BPS share: seven bits a byte, low first, the
// last byte marked by its top bit, each longer form starting where the
// shorter ones end.
std::uint64_t ReadNumber(ByteReader& reader, std::uint64_t end) {
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

// A BPS cursor moves by a signed number: its magnitude, its sign in the low bit.
std::uint64_t MoveCursor(std::uint64_t cursor, std::uint64_t number, std::uint64_t at) {
    const std::uint64_t magnitude = number >> 1;
    if (number & 1) {
        if (magnitude > cursor) throw Damage{text::CursorBeforeStart(at)};
        return cursor - magnitude;
    }
    if (magnitude > kMaxSize - cursor) throw Damage{text::NumberTooLarge(at)};
    return cursor + magnitude;
}

// The commands of a BPS patch, each checked against the sizes it gives;
// `visit` sees each one that is sound.
template <class Visit>
void WalkBps(ByteReader& reader, const ForeignSummary& s, Visit& visit) {
    std::uint64_t out = 0, sourceCursor = 0, targetCursor = 0;
    while (reader.Position() < s.bodyEnd) {
        const std::uint64_t at = reader.Position();
        const std::uint64_t command = ReadNumber(reader, s.bodyEnd);
        const std::uint64_t length = (command >> 2) + 1;
        if (length > s.targetSize - out) throw Damage{text::WritesPastResult(at)};
        switch (command & 3) {
            case 0:  // SourceRead: the original's bytes at the same place
                if (out + length > s.sourceSize) throw Damage{text::ReadsOutside(at, "original")};
                visit.Source(out, length);
                break;
            case 1:  // TargetRead: bytes from the patch
                if (length > s.bodyEnd - reader.Position()) throw Damage{text::CutShortAt(at)};
                visit.Patch(reader, length);
                break;
            case 2:  // SourceCopy: the original's bytes from anywhere
                sourceCursor = MoveCursor(sourceCursor, ReadNumber(reader, s.bodyEnd), at);
                if (sourceCursor + length > s.sourceSize) throw Damage{text::ReadsOutside(at, "original")};
                visit.Source(sourceCursor, length);
                sourceCursor += length;
                break;
            default:  // TargetCopy: the result's own bytes, written before
                targetCursor = MoveCursor(targetCursor, ReadNumber(reader, s.bodyEnd), at);
                if (targetCursor >= out) throw Damage{text::ReadsOutside(at, "result as written so far")};
                visit.Target(targetCursor, length);
                targetCursor += length;
                break;
        }
        out += length;
    }
    if (out != s.targetSize) throw Damage{text::MakesTooFew(out, s.targetSize)};
}

// The changes of a UPS patch: stretches left as they are, and bytes that
// change by XOR, each run closed by a zero that stands for one more byte
// left as it is. Every position of the longer file is visited once, in order.
template <class Visit>
void WalkUps(ByteReader& reader, const ForeignSummary& s, Visit& visit) {
    const std::uint64_t limit = std::max(s.sourceSize, s.targetSize);
    std::uint64_t pos = 0;
    const auto room = [&] { return limit - std::min(pos, limit); };
    while (reader.Position() < s.bodyEnd) {
        const std::uint64_t at = reader.Position();
        const std::uint64_t skip = ReadNumber(reader, s.bodyEnd);
        if (skip > room()) throw Damage{text::ChangePastTheEnd(at)};
        visit.Same(pos, skip);
        pos += skip;
        for (bool closed = false; !closed;) {
            if (reader.Position() >= s.bodyEnd) throw Damage{text::CutShortAt(at)};
            const std::uint64_t from = reader.Position();
            const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(s.bodyEnd - from, kChunk)));
            const auto* zero = static_cast<const std::uint8_t*>(std::memchr(piece.data(), 0, piece.size()));
            const std::size_t run = zero ? static_cast<std::size_t>(zero - piece.data()) : piece.size();
            if (run > room()) throw Damage{text::ChangePastTheEnd(at)};
            visit.Xor(pos, piece.first(run));
            pos += run;
            if (zero) {
                reader.Seek(from + run + 1);
                if (pos < limit) visit.Same(pos, 1);
                ++pos;
                closed = true;
            }
        }
    }
    if (pos < limit) visit.Same(pos, limit - pos);
}

// The records of an IPS patch, up to its EOF mark; the truncation length
// after it, if any.
template <class Visit>
void WalkIps(ByteReader& reader, ForeignSummary& s, Visit& visit) {
    const bool wide = s.kind == PatchKind::Ips32;
    const std::size_t width = wide ? 4 : 3;
    const std::uint64_t endMark = wide ? 0x45454F46u : 0x454F46u;  // "EEOF", "EOF"
    const auto bigEndian = [&](std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) value = value << 8 | ReadByte(reader);
        return value;
    };
    const auto left = [&] { return s.fileLength - reader.Position(); };
    for (std::uint64_t index = 0;; ++index) {
        const std::uint64_t at = reader.Position();
        if (left() < width) throw Damage{text::NoEndMark(wide ? "EEOF" : "EOF")};
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
    s.bodyEnd = reader.Position() - width;
    const std::uint64_t rest = left();
    if (rest == width)
        s.truncation = bigEndian(width);
    else if (rest != 0)
        throw Damage{text::BytesAfterEndMark(rest, wide ? "EEOF" : "EOF")};
}

// Reading only checks; the counts are kept for info and check.
struct Counting {
    ForeignSummary& s;
    std::uint64_t previousEnd = 0;
    void Source(std::uint64_t, std::uint64_t) {}
    void Target(std::uint64_t, std::uint64_t) { ++s.targetCopies; }
    void Patch(ByteReader& reader, std::uint64_t length) { reader.Skip(length); }
    void Same(std::uint64_t, std::uint64_t) {}
    void Xor(std::uint64_t, std::span<const std::uint8_t>) {}
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
        reader.Skip(size);
        Record(offset, size);
    }
};

// UTF-8 without NUL, checked a piece at a time.
class TextCheck {
public:
    void Feed(std::span<const std::uint8_t> bytes) {
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
    bool Text() const { return ok_ && needed_ == 0; }

private:
    int needed_ = 0;
    bool ok_ = true;
};

void ReadChecksummed(InputFile& patch, ForeignSummary& s, std::size_t bufferSize) {
    const std::uint64_t magic = 4;
    if (s.fileLength < magic + 2 + kFooterSize) throw Damage{text::CutShort()};
    std::uint8_t footer[kFooterSize];
    patch.ReadExactly(s.fileLength - kFooterSize, footer);
    s.sourceCrc = ReadLe32(footer);
    s.targetCrc = ReadLe32(footer + 4);
    s.patchCrc = ReadLe32(footer + 8);
    // The patch's own checksum first: a damaged or cut file says so plainly.
    const std::uint32_t crc = CrcOfFirst(patch, s.fileLength - 4, bufferSize);
    if (crc != s.patchCrc) throw Damage{text::PatchCrcWrong(crc, s.patchCrc)};

    s.bodyEnd = s.fileLength - kFooterSize;
    ByteReader reader(patch, magic, bufferSize);
    s.sourceSize = ReadNumber(reader, s.bodyEnd);
    s.targetSize = ReadNumber(reader, s.bodyEnd);
    Counting counting{s};
    if (s.kind == PatchKind::Bps) {
        s.metadataSize = ReadNumber(reader, s.bodyEnd);
        s.metadataStart = reader.Position();
        if (s.metadataSize > s.bodyEnd - s.metadataStart) throw Damage{text::MetadataPastTheEnd()};
        TextCheck text;
        for (std::uint64_t left = s.metadataSize; left > 0;) {
            const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk)));
            text.Feed(piece);
            left -= piece.size();
        }
        s.metadataIsText = text.Text();
        s.bodyStart = reader.Position();
        WalkBps(reader, s, counting);
    } else {
        s.bodyStart = reader.Position();
        WalkUps(reader, s, counting);
    }
}

// The original past a copier header, which the result keeps in front.
class ShiftedInput final : public InputFile {
public:
    ShiftedInput(InputFile& file, std::uint64_t skip) : file_(file), skip_(std::min(skip, file.Size())) {}
    std::uint64_t Size() const override { return file_.Size() - skip_; }
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        return file_.ReadAt(offset + skip_, buffer);
    }
    const std::string& Path() const override { return file_.Path(); }

private:
    InputFile& file_;
    std::uint64_t skip_;
};

// The result of a UPS or BPS patch, written front to back with its CRC-32,
// and readable again for the copies a BPS patch makes from it.
class TargetWriter {
public:
    TargetWriter(OutputFile& output, std::uint64_t base, std::size_t recent)
        : output_(output), base_(base), recent_(recent), scratch_(kChunk) {}

    void Put(std::span<const std::uint8_t> bytes) {
        crc_ = Crc32(crc_, bytes);
        output_.Append(bytes);
        if (!recent_.empty()) Remember(bytes);
        size_ += bytes.size();
    }

    // Copies `length` bytes from `from`, before the end: where they overlap
    // what the copy writes, the bytes between repeat.
    void Copy(std::uint64_t from, std::uint64_t length) {
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

    std::uint64_t Size() const { return size_; }
    std::uint32_t Crc() const { return crc_; }
    std::vector<std::uint8_t>& Scratch() { return scratch_; }

private:
    // The byte at result position p lives at recent_[p % size].
    void Remember(std::span<const std::uint8_t> bytes) {
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
    void Recall(std::uint64_t from, std::span<std::uint8_t> into) {
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

    OutputFile& output_;
    std::uint64_t base_;
    std::vector<std::uint8_t> recent_;
    std::vector<std::uint8_t> scratch_;
    std::uint64_t size_ = 0;
    std::uint32_t crc_ = 0;
};

// Applying a BPS patch: each command's bytes go to the result.
struct BpsWriter {
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
        while (length > 0) {
            const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(length, kChunk)));
            target.Put(piece);
            length -= piece.size();
        }
    }
    void Target(std::uint64_t from, std::uint64_t length) { target.Copy(from, length); }
};

// Applying a UPS patch: the input's bytes (zeros past its end), changed by
// XOR where the patch says, as far as the output reaches.
struct UpsWriter {
    FileWindow& source;
    std::uint64_t inSize;
    std::uint64_t outSize;
    TargetWriter& target;
    void Same(std::uint64_t pos, std::uint64_t length) { Emit(pos, length, {}); }
    void Xor(std::uint64_t pos, std::span<const std::uint8_t> mask) { Emit(pos, mask.size(), mask); }
    void Emit(std::uint64_t pos, std::uint64_t length, std::span<const std::uint8_t> mask) {
        if (pos >= outSize) return;
        length = std::min(length, outSize - pos);
        std::vector<std::uint8_t>& scratch = target.Scratch();
        for (std::uint64_t done = 0; done < length;) {
            const std::uint64_t at = pos + done;
            std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, scratch.size()));
            if (at < inSize) {
                const auto piece = source.At(at, std::min<std::uint64_t>(count, inSize - at));
                if (mask.empty()) {
                    target.Put(piece);
                    done += piece.size();
                    continue;
                }
                count = piece.size();
                std::memcpy(scratch.data(), piece.data(), count);
            } else {
                std::fill_n(scratch.begin(), count, 0);
            }
            const auto from = static_cast<std::size_t>(done);
            for (std::size_t i = 0; i < count && from + i < mask.size(); ++i) scratch[i] ^= mask[from + i];
            target.Put({scratch.data(), count});
            done += count;
        }
    }
};

// IPS records in ascending order: one pass, the original's bytes between
// them (long stretches copied by the system), cut at the result's size.
struct IpsInOrder {
    InputFile& original;
    FileWindow window;
    OutputFile& output;
    const BufferSizes& sizes;
    std::uint64_t result;
    std::uint64_t at = 0;
    std::vector<std::uint8_t> scratch = std::vector<std::uint8_t>(kChunk);

    void FillTo(std::uint64_t to) {
        to = std::min(to, result);
        if (to <= at) return;
        const std::uint64_t n = original.Size();
        if (to - at >= sizes.copyGap) {
            if (at < n) output.AppendFrom(original, at, std::min(to, n) - at);
            output.ExtendTo(to);
            at = to;
            return;
        }
        while (at < to) {
            if (at < n) {
                const auto piece = window.At(at, std::min(to, n) - at);
                output.Append(piece);
                at += piece.size();
            } else {
                const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(to - at, scratch.size()));
                std::fill_n(scratch.begin(), count, 0);
                output.Append({scratch.data(), count});
                at += count;
            }
        }
    }
    std::uint64_t Kept(std::uint64_t offset, std::uint64_t length) const {
        return offset < result ? std::min(length, result - offset) : 0;
    }
    void Data(std::uint64_t offset, std::uint64_t size, ByteReader& reader) {
        FillTo(offset);
        const std::uint64_t kept = Kept(offset, size);
        for (std::uint64_t left = kept; left > 0;) {
            const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk)));
            output.Append(piece);
            left -= piece.size();
        }
        reader.Skip(size - kept);
        at = std::max(at, offset + kept);
    }
    void Run(std::uint64_t offset, std::uint64_t count, std::uint8_t byte) {
        FillTo(offset);
        const std::uint64_t kept = Kept(offset, count);
        std::fill_n(scratch.begin(), std::min<std::uint64_t>(kept, scratch.size()), byte);
        for (std::uint64_t left = kept; left > 0;) {
            const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, scratch.size()));
            output.Append({scratch.data(), piece});
            left -= piece;
        }
        at = std::max(at, offset + kept);
    }
};

// IPS records in any other order: over a copy of the original, later
// records winning.
struct IpsAnyOrder {
    OutputFile& output;
    std::uint64_t result;
    std::vector<std::uint8_t> scratch = std::vector<std::uint8_t>(kChunk);

    void Data(std::uint64_t offset, std::uint64_t size, ByteReader& reader) {
        for (std::uint64_t done = 0; done < size;) {
            const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(size - done, kChunk)));
            const std::uint64_t at = offset + done;
            if (at < result)
                output.WriteAt(at, piece.first(static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), result - at))));
            done += piece.size();
        }
    }
    void Run(std::uint64_t offset, std::uint64_t count, std::uint8_t byte) {
        std::fill(scratch.begin(), scratch.end(), byte);
        for (std::uint64_t at = offset; at < std::min(offset + count, result);) {
            const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(std::min(offset + count, result) - at, kChunk));
            output.WriteAt(at, {scratch.data(), piece});
            at += piece;
        }
    }
};

// Holding an IPS patch's bytes against a file.
struct IpsCompare {
    FileWindow& window;
    std::uint64_t size;
    IpsComparison& found;
    void Compare(std::uint64_t offset, std::span<const std::uint8_t> data) {
        for (std::uint64_t i = 0; i < data.size();) {
            if (offset + i >= size) return;
            const auto piece = window.At(offset + i, std::min<std::uint64_t>(data.size() - i, size - offset - i));
            for (std::size_t k = 0; k < piece.size(); ++k) found.alreadyNew += piece[k] == data[i + k];
            i += piece.size();
        }
    }
    void Data(std::uint64_t offset, std::uint64_t length, ByteReader& reader) {
        found.patchedBytes += length;
        for (std::uint64_t done = 0; done < length;) {
            const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(length - done, kChunk)));
            Compare(offset + done, piece);
            done += piece.size();
        }
    }
    void Run(std::uint64_t offset, std::uint64_t count, std::uint8_t byte) {
        found.patchedBytes += count;
        for (std::uint64_t done = 0; done < count && offset + done < size;) {
            const auto piece = window.At(offset + done, std::min(count - done, size - offset - done));
            for (const std::uint8_t b : piece) found.alreadyNew += b == byte;
            done += piece.size();
        }
    }
};

}  // namespace

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

std::uint64_t ForeignSummary::IpsResultSize(std::uint64_t originalSize) const {
    return truncation ? *truncation : std::max(originalSize, maxEnd);
}

ForeignSummary ReadForeignPatch(InputFile& patch, PatchKind kind, std::size_t bufferSize) {
    ForeignSummary s;
    s.kind = kind;
    s.fileLength = patch.Size();
    try {
        if (s.HasChecksums()) {
            ReadChecksummed(patch, s, bufferSize);
        } else {
            s.bodyStart = 5;  // "PATCH", "IPS32"
            ByteReader reader(patch, s.bodyStart, bufferSize);
            Counting counting{s};
            WalkIps(reader, s, counting);
        }
    } catch (const Damage& damage) {
        s.damage = damage.what;
    }
    return s;
}

FileIdentity IdentifyFile(InputFile& file, const ForeignSummary& s, std::size_t bufferSize) {
    FileIdentity id;
    id.size = file.Size();
    const bool behindHeader = id.size >= kCopierHeader && id.size - kCopierHeader == s.sourceSize;
    std::uint32_t crcBehind = 0;
    ByteReader reader(file, 0, bufferSize);
    for (std::uint64_t at = 0; at < id.size;) {
        const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(id.size - at, bufferSize)));
        id.crc = Crc32(id.crc, piece);
        if (behindHeader && at + piece.size() > kCopierHeader)
            crcBehind = Crc32(crcBehind, piece.subspan(static_cast<std::size_t>(at < kCopierHeader ? kCopierHeader - at : 0)));
        at += piece.size();
    }
    if (id.size == s.sourceSize && id.crc == s.sourceCrc)
        id.match = Match::Source;
    else if (behindHeader && crcBehind == s.sourceCrc)
        id.match = Match::SourceBehindHeader;
    else if (id.size == s.targetSize && id.crc == s.targetCrc)
        id.match = Match::Target;
    return id;
}

std::uint32_t WriteForeign(InputFile& original, InputFile& patch, const ForeignSummary& summary, const ForeignPlan& plan,
                           OutputFile& output, const BufferSizes& sizes) {
    ShiftedInput source(original, plan.skip);
    ByteReader reader(patch, summary.bodyStart, sizes.stream);
    // The patch was found sound: anything else now means it changed meanwhile.
    try {
        if (summary.kind == PatchKind::Bps) {
            FileWindow window(source, sizes.stream);
            // Without copies from the result, nothing of it need be kept.
            const std::uint64_t recent = summary.targetCopies > 0 ? std::min<std::uint64_t>(kRecentOutput, summary.targetSize) : 0;
            TargetWriter target(output, plan.skip, static_cast<std::size_t>(recent));
            BpsWriter writer{window, source.Size(), target};
            WalkBps(reader, summary, writer);
            return target.Crc();
        }
        if (summary.kind == PatchKind::Ups) {
            FileWindow window(source, sizes.stream);
            TargetWriter target(output, plan.skip, 0);
            const std::uint64_t outSize = plan.reverse ? summary.sourceSize : summary.targetSize;
            UpsWriter writer{window, source.Size(), outSize, target};
            WalkUps(reader, summary, writer);
            if (target.Size() != outSize) throw ChangedWhileRead(patch);
            return target.Crc();
        }
        ForeignSummary s = summary;
        const std::uint64_t result = s.IpsResultSize(source.Size());
        if (s.ascending) {
            IpsInOrder writer{source, FileWindow(source, sizes.stream), output, sizes, result};
            WalkIps(reader, s, writer);
            writer.FillTo(result);
        } else {
            output.AppendFrom(source, 0, std::min(source.Size(), result));
            output.ExtendTo(result);
            IpsAnyOrder writer{output, result};
            WalkIps(reader, s, writer);
        }
        if (output.Size() != result) throw ChangedWhileRead(patch);
        return 0;
    } catch (const Damage&) {
        throw ChangedWhileRead(patch);
    }
}

IpsComparison CompareIps(InputFile& file, InputFile& patch, const ForeignSummary& summary, std::size_t bufferSize) {
    IpsComparison found;
    ForeignSummary s = summary;
    ByteReader reader(patch, s.bodyStart, bufferSize);
    FileWindow window(file, bufferSize);
    IpsCompare compare{window, file.Size(), found};
    try {
        WalkIps(reader, s, compare);
    } catch (const Damage&) {
        throw ChangedWhileRead(patch);
    }
    found.alreadyApplied = found.patchedBytes > 0 && found.alreadyNew == found.patchedBytes &&
                           (!s.truncation || *s.truncation == file.Size());
    return found;
}

Verdict CheckForeign(InputFile& file, InputFile& patch, const ForeignSummary& summary, std::size_t bufferSize) {
    file.ExpectSequential();
    if (summary.HasChecksums()) {
        const FileIdentity id = IdentifyFile(file, summary, bufferSize);
        const Fit fit = id.match == Match::Source || id.match == Match::SourceBehindHeader ? Fit::Fits
                        : id.match == Match::Target                                          ? Fit::AlreadyApplied
                                                                                             : Fit::DoesNotFit;
        return {fit, text::ChecksumEvidence(id, summary)};
    }
    const IpsComparison found = CompareIps(file, patch, summary, bufferSize);
    return {found.alreadyApplied ? Fit::AlreadyApplied : Fit::Fits, text::IpsEvidence(found, file.Size())};
}

namespace {

// UTF-8 metadata a slice at a time, each cut before a character's start.
class Metadata final : public CommentReader {
public:
    Metadata(InputFile& patch, std::uint64_t offset, std::uint64_t length)
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

void ShowMetadata(HostServices& host, InputFile& patch, const ForeignSummary& summary) {
    if (summary.kind != PatchKind::Bps || summary.metadataSize == 0 || !summary.metadataIsText) return;
    Metadata metadata(patch, summary.metadataStart, summary.metadataSize);
    host.ShowComment(metadata);
}

}  // namespace zelk
