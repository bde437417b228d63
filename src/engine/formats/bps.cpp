#include "engine/formats/bps.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "engine/diff_scanner.h"
#include "engine/file_window.h"
#include "engine/formats/foreign.h"
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
};

// A cursor moves by a signed number: its magnitude, its sign in the low bit.
std::uint64_t MoveCursor(std::uint64_t cursor, std::uint64_t number, std::uint64_t at) {
    const std::uint64_t magnitude = number >> 1;
    if (number & 1) {
        if (magnitude > cursor) throw Damage{text::CursorBeforeStart(at)};
        return cursor - magnitude;
    }
    if (magnitude > kMaxSize - cursor) throw Damage{text::NumberTooLarge(at)};
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

std::string BpsPatch::InfoLines() const {
    std::string said = "\nPatch CRC-32: " + text::Crc(patchCrc);
    if (metadataSize == 0) said += "\nComment: (none)";
    else if (!metadataIsText) said += "\nComment: (" + std::to_string(metadataSize) + " bytes of metadata, not text)";
    return said;
}

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

// Bytes hashed to find where a stretch of the target came from. A match
// this long or longer anywhere in the source is found where the source's
// sampled positions fall inside it.
constexpr std::size_t kHashBytes = 16;
// An unbroken stretch at the last copy's distance is worth a command of
// its own from this length on; shorter ones stay inside the new bytes.
constexpr std::uint64_t kMinContinue = 8;
// A run of one byte repeated is copied from the byte before it from here on.
constexpr std::uint64_t kMinRun = 16;
// Backward from a match found by its hash, at most this far.
constexpr std::size_t kMaxBack = 256;
constexpr std::size_t kWindow = 4 << 20;
constexpr std::size_t kBehind = 64 << 10;
constexpr std::size_t kProbe = 256 << 10;
// Positions of the new bytes, for repeats within the target: a fixed index.
constexpr std::uint64_t kTargetSlots = 1 << 20;
constexpr std::uint64_t kTargetStep = 16;

std::uint64_t Load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

std::uint64_t HashAt(const std::uint8_t* p) {
    std::uint64_t h = Load64(p) * 0x9E3779B97F4A7C15ull ^ std::rotl(Load64(p + 8) * 0xC2B2AE3D27D4EB4Full, 29);
    h ^= h >> 32;
    return h * 0xD6E8FEB86659FD93ull;
}

// A lossy table of positions by hash: the newest position wins its slot. An
// entry is the position's index plus one (0: empty) and 32 bits of its hash,
// which spare most reads of a wrong candidate.
class PositionIndex {
public:
    PositionIndex(std::uint64_t slots, std::uint64_t step) : slots_(static_cast<std::size_t>(slots)), step_(step) {}
    void Add(std::uint64_t position, std::uint64_t hash) {
        slots_[Slot(hash)] = (hash << 32) | ((position / step_ + 1) & 0xFFFFFFFFu);
    }
    // A position whose bytes may hash to `hash`, or -1.
    std::int64_t Find(std::uint64_t hash) const {
        const std::uint64_t entry = slots_[Slot(hash)];
        if ((entry & 0xFFFFFFFFu) == 0 || (entry >> 32) != (hash & 0xFFFFFFFFu)) return -1;
        return static_cast<std::int64_t>(((entry & 0xFFFFFFFFu) - 1) * step_);
    }
    std::uint64_t Step() const { return step_; }

private:
    std::size_t Slot(std::uint64_t hash) const { return static_cast<std::size_t>((hash >> 32) & (slots_.size() - 1)); }
    std::vector<std::uint64_t> slots_;
    std::uint64_t step_;
};

// How many bytes of the source one index entry stands for, and how many
// entries the index has (a power of two), for a source of `size` bytes:
// at most an eighth of its size (32 MiB for any source up to 256 MiB).
PositionIndex SourceIndexFor(std::uint64_t size) {
    constexpr std::uint64_t kEntry = 8;
    constexpr std::uint64_t kMinStep = 8;
    const std::uint64_t budget = std::max<std::uint64_t>(size / 8, 32 << 20);
    const std::uint64_t slots =
        std::min(std::bit_floor(budget / kEntry), std::bit_ceil(std::max<std::uint64_t>(1, size / kMinStep)));
    return PositionIndex(slots, std::max(kMinStep, (size + slots - 1) / slots));
}

// How far `a` from `ap` and `b` from `bp` agree, up to `limit` bytes.
std::uint64_t Agree(FileWindow& a, std::uint64_t ap, FileWindow& b, std::uint64_t bp, std::uint64_t limit) {
    std::uint64_t same = 0;
    // Most candidates part soon: a little first, more as they keep agreeing.
    for (std::size_t step = 256; same < limit; step = std::min(step * 2, kProbe / 2)) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(limit - same, step));
        const auto x = a.At(ap + same, want);
        const auto y = b.At(bp + same, want);
        const std::size_t n = std::min(x.size(), y.size());
        const std::size_t equal = FirstDifference(x.data(), y.data(), 0, n);
        same += equal;
        if (equal < n || n == 0) break;
    }
    return same;
}

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

// Indexes the source a step at a time and returns its CRC-32, in one read.
std::uint32_t IndexSource(InputFile& source, PositionIndex& index, std::size_t bufferSize) {
    const std::uint64_t size = source.Size();
    const std::uint64_t step = index.Step();
    std::vector<std::uint8_t> buffer(std::max<std::size_t>(bufferSize, 64 << 10) + kHashBytes);
    std::uint32_t crc = 0;
    std::uint64_t next = 0;  // the next position to index
    for (std::uint64_t at = 0; at < size;) {
        const auto fresh = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, buffer.size() - kHashBytes));
        // The bytes a hash at the piece's end needs come along, unCRCed.
        const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, fresh + kHashBytes));
        source.ReadExactly(at, {buffer.data(), got});
        crc = Crc32(crc, {buffer.data(), fresh});
        for (; next < at + fresh && next + kHashBytes <= at + got; next += step)
            index.Add(next, HashAt(buffer.data() + (next - at)));
        at += fresh;
    }
    return crc;
}

// One scan of the target, front to back: at each position, the longest of
// what the last copy's distance, a run, or the two indexes offer, else a
// new byte that waits to be written with its neighbours.
class Maker {
public:
    Maker(InputFile& source, InputFile& target, OutputFile& patch)
        : source_(source), target_(target), S_(source.Size()), T_(target.Size()), sourceIndex_(SourceIndexFor(S_)),
          targetIndex_(std::min(kTargetSlots, std::bit_ceil(std::max<std::uint64_t>(1, T_ / kTargetStep))), kTargetStep),
          out_(patch) {}

    void Write(const std::string& metadata, const BufferSizes& sizes) {
        source_.ExpectSequential();
        const std::uint32_t sourceCrc = IndexSource(source_, sourceIndex_, sizes.stream);
        target_.ExpectSequential();
        const std::uint32_t targetCrc = CrcOfFirst(target_, T_, sizes.stream);
        out_.Put({reinterpret_cast<const std::uint8_t*>("BPS1"), kMagic});
        out_.Number(S_);
        out_.Number(T_);
        out_.Number(metadata.size());
        out_.Put({reinterpret_cast<const std::uint8_t*>(metadata.data()), metadata.size()});
        while (t_ < T_) {
            if (Along()) continue;
            // The bytes here, once for both searches: a search moves the window.
            const auto ahead = targetAhead_.At(t_, kHashBytes);
            if (ahead.size() < kHashBytes) {
                ++t_;
                continue;
            }
            Hashed here;
            std::memcpy(here.data(), ahead.data(), kHashBytes);
            if (!Run(here) && !Match(here)) ++t_;
        }
        FlushTo(T_);
        out_.Footer(sourceCrc, targetCrc);
    }

private:
    void FlushTo(std::uint64_t to) {
        out_.Literal(target_, pending_, to, scratch_);
        pending_ = to;
    }
    // The same distance as the last copy: moved data goes on moving,
    // unchanged data stays in place.
    bool Along() {
        const std::int64_t along = static_cast<std::int64_t>(t_) + distance_;
        if (along < 0 || static_cast<std::uint64_t>(along) >= S_) return false;
        const auto s = static_cast<std::uint64_t>(along);
        if (targetAhead_.At(t_, 1)[0] != sourceAlong_.At(s, 1)[0]) return false;
        const std::uint64_t same = Agree(targetAhead_, t_, sourceAlong_, s, std::min(T_ - t_, S_ - s));
        if (same < kMinContinue && same != T_ - t_) return false;
        FlushTo(t_);
        out_.FromSource(s, t_, same);
        t_ = pending_ = t_ + same;
        return true;
    }
    using Hashed = std::array<std::uint8_t, kHashBytes>;
    // A run of one byte: copied from the byte before it.
    bool Run(const Hashed& here) {
        if (t_ == 0 || !std::all_of(here.begin(), here.end(), [&](std::uint8_t b) { return b == here[0]; }))
            return false;
        const std::uint64_t run = Agree(targetAhead_, t_, targetProbe_, t_ - 1, T_ - t_);
        if (run < kMinRun || targetProbe_.At(t_ - 1, 1)[0] != here[0]) return false;
        FlushTo(t_);
        out_.FromTarget(t_ - 1, run);
        t_ = pending_ = t_ + run;
        return true;
    }
    struct Candidate {
        std::uint64_t length = 0, back = 0, from = 0;
        bool inSource = true;
    };
    // A candidate: forward as far as it agrees, then back into the new bytes.
    void Consider(std::int64_t found, FileWindow& probe, std::uint64_t size, bool inSource, Candidate& best) {
        if (found < 0) return;
        const auto from = static_cast<std::uint64_t>(found);
        if (!inSource && from >= t_) return;
        const std::uint64_t forward = Agree(targetAhead_, t_, probe, from, std::min(T_ - t_, size - from));
        if (forward < kHashBytes) return;
        const auto mine = targetAhead_.Before(t_, static_cast<std::size_t>(std::min<std::uint64_t>(t_ - pending_, kMaxBack)));
        probe.At(from, 1);
        const auto theirs = probe.Before(from, mine.size());
        std::uint64_t back = 0;
        while (back < theirs.size() && mine[mine.size() - 1 - back] == theirs[theirs.size() - 1 - back]) ++back;
        if (forward + back > best.length + best.back) best = {forward, back, from, inSource};
    }
    // Where the indexes say these bytes stood before.
    bool Match(const Hashed& here) {
        const std::uint64_t hash = HashAt(here.data());
        Candidate best;
        Consider(sourceIndex_.Find(hash), sourceProbe_, S_, true, best);
        Consider(targetIndex_.Find(hash), targetProbe_, T_, false, best);
        if (t_ % kTargetStep == 0) targetIndex_.Add(t_, hash);
        if (best.length == 0) return false;
        const std::uint64_t start = t_ - best.back, from = best.from - best.back, length = best.length + best.back;
        FlushTo(start);
        if (best.inSource) {
            out_.FromSource(from, start, length);
            distance_ = static_cast<std::int64_t>(from) - static_cast<std::int64_t>(start);
        } else {
            out_.FromTarget(from, length);
        }
        t_ = pending_ = start + length;
        return true;
    }

    InputFile& source_;
    InputFile& target_;
    const std::uint64_t S_, T_;
    PositionIndex sourceIndex_;
    PositionIndex targetIndex_;
    CommandWriter out_;
    FileWindow targetAhead_{target_, kWindow, kBehind};  // where the scan is
    FileWindow sourceAlong_{source_, kWindow, kBehind};  // the same stretch at the last copy's distance
    FileWindow sourceProbe_{source_, kProbe, kMaxBack};  // candidates anywhere in the source
    FileWindow targetProbe_{target_, kProbe, kMaxBack};  // candidates earlier in the target
    std::vector<std::uint8_t> scratch_ = std::vector<std::uint8_t>(64 << 10);
    std::uint64_t t_ = 0;        // the scan's position in the target
    std::uint64_t pending_ = 0;  // new bytes from here to t_ wait to be written
    std::int64_t distance_ = 0;  // source position minus target position of the last copy from the source
};

class Bps final : public PatchFormat {
public:
    std::string_view Name() const override { return "BPS"; }
    std::string_view Key() const override { return "bps"; }
    bool Recognises(std::span<const std::uint8_t> head) const override { return StartsWith(head, "BPS1"); }
    std::unique_ptr<ReadPatch> Read(InputFile& patch, std::size_t bufferSize) const override {
        return ReadForeign(std::make_unique<BpsPatch>(*this), patch, bufferSize);
    }
    bool ReadsOriginalFirst() const override { return true; }
    bool Makes() const override { return true; }
    // The inputs' checksums (and the source's index), then the scan.
    unsigned MakePasses() const override { return 2; }
    // The comment goes in as the metadata, UTF-8 text as it is.
    std::optional<Stop> Make(HostServices& host, const MakeRequest& request) const override {
        return MakeForeign(host, request, *this, true, [&](InputFile& original, InputFile& changed, OutputFile& patch) {
            Maker(original, changed, patch).Write(request.comment, host.Buffers());
        });
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
