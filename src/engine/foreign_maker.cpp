#include "engine/foreign_maker.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "engine/diff_scanner.h"
#include "engine/file_window.h"
#include "engine/foreign_patch.h"
#include "engine/user_texts.h"
#include "host/crc32.h"

namespace zelk {

namespace {

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
class BpsWriter {
public:
    explicit BpsWriter(OutputFile& out) : out_(out) {}
    void Put(std::span<const std::uint8_t> bytes) {
        crc_ = Crc32(crc_, bytes);
        out_.Append(bytes);
    }
    void Number(std::uint64_t v) {
        std::uint8_t bytes[10];
        std::size_t n = 0;
        for (;;) {
            const auto x = static_cast<std::uint8_t>(v & 0x7F);
            v >>= 7;
            if (v == 0) {
                bytes[n++] = 0x80 | x;
                break;
            }
            bytes[n++] = x;
            --v;
        }
        Put({bytes, n});
    }
    void Le32(std::uint32_t v) {
        const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                       static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
        Put(bytes);
    }
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
    std::uint32_t Crc() const { return crc_; }

private:
    OutputFile& out_;
    std::uint32_t crc_ = 0;
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

}  // namespace

BpsIndexShape BpsIndexFor(std::uint64_t size) {
    constexpr std::uint64_t kEntry = 8;
    constexpr std::uint64_t kMinStep = 8;
    const std::uint64_t budget = std::max<std::uint64_t>(size / 8, 32 << 20);
    const std::uint64_t slots =
        std::min(std::bit_floor(budget / kEntry), std::bit_ceil(std::max<std::uint64_t>(1, size / kMinStep)));
    return {std::max(kMinStep, (size + slots - 1) / slots), slots};
}

void WriteBps(InputFile& source, InputFile& target, const std::string& metadata, OutputFile& patch,
              const BufferSizes& sizes) {
    const std::uint64_t S = source.Size(), T = target.Size();
    const BpsIndexShape shape = BpsIndexFor(S);
    PositionIndex sourceIndex(shape.slots, shape.step);
    PositionIndex targetIndex(std::min(kTargetSlots, std::bit_ceil(std::max<std::uint64_t>(1, T / kTargetStep))),
                              kTargetStep);
    source.ExpectSequential();
    const std::uint32_t sourceCrc = IndexSource(source, sourceIndex, sizes.stream);
    target.ExpectSequential();
    const std::uint32_t targetCrc = CrcOfFirst(target, T, sizes.stream);

    BpsWriter out(patch);
    out.Put({reinterpret_cast<const std::uint8_t*>("BPS1"), 4});
    out.Number(S);
    out.Number(T);
    out.Number(metadata.size());
    out.Put({reinterpret_cast<const std::uint8_t*>(metadata.data()), metadata.size()});

    FileWindow targetAhead(target, kWindow, kBehind);  // where the scan is
    FileWindow sourceAlong(source, kWindow, kBehind);  // the same stretch at the last copy's distance
    FileWindow sourceProbe(source, kProbe, kMaxBack);  // candidates anywhere in the source
    FileWindow targetProbe(target, kProbe, kMaxBack);  // candidates earlier in the target
    std::vector<std::uint8_t> scratch(64 << 10);

    std::uint64_t t = 0;        // the scan's position in the target
    std::uint64_t pending = 0;  // new bytes from here to t wait to be written
    std::int64_t distance = 0;  // source position minus target position of the last copy from the source
    const auto flushTo = [&](std::uint64_t to) {
        out.Literal(target, pending, to, scratch);
        pending = to;
    };
    while (t < T) {
        // The same distance as the last copy: moved data goes on moving,
        // unchanged data stays in place.
        const std::int64_t along = static_cast<std::int64_t>(t) + distance;
        if (along >= 0 && static_cast<std::uint64_t>(along) < S) {
            const auto s = static_cast<std::uint64_t>(along);
            if (targetAhead.At(t, 1)[0] == sourceAlong.At(s, 1)[0]) {
                const std::uint64_t same = Agree(targetAhead, t, sourceAlong, s, std::min(T - t, S - s));
                if (same >= kMinContinue || (same == T - t)) {
                    flushTo(t);
                    out.FromSource(s, t, same);
                    t = pending = t + same;
                    continue;
                }
            }
        }
        const auto here = targetAhead.At(t, kHashBytes);
        // A run of one byte: copied from the byte before it.
        if (t > 0 && here.size() == kHashBytes && std::all_of(here.begin(), here.end(), [&](std::uint8_t b) { return b == here[0]; })) {
            const std::uint64_t run = Agree(targetAhead, t, targetProbe, t - 1, T - t);
            if (run >= kMinRun && targetProbe.At(t - 1, 1)[0] == here[0]) {
                flushTo(t);
                out.FromTarget(t - 1, run);
                t = pending = t + run;
                continue;
            }
        }
        if (here.size() == kHashBytes) {
            const std::uint64_t hash = HashAt(here.data());
            std::uint64_t bestLength = 0, bestBack = 0, bestFrom = 0;
            bool bestInSource = true;
            // Each candidate: forward as far as it agrees, then back into the new bytes.
            const auto consider = [&](std::int64_t found, FileWindow& probe, std::uint64_t size, bool inSource) {
                if (found < 0) return;
                const auto from = static_cast<std::uint64_t>(found);
                if (!inSource && from >= t) return;
                const std::uint64_t forward = Agree(targetAhead, t, probe, from, std::min(T - t, size - from));
                if (forward < kHashBytes) return;
                const auto mine = targetAhead.Before(t, static_cast<std::size_t>(std::min<std::uint64_t>(t - pending, kMaxBack)));
                probe.At(from, 1);
                const auto theirs = probe.Before(from, mine.size());
                std::uint64_t back = 0;
                while (back < theirs.size() && mine[mine.size() - 1 - back] == theirs[theirs.size() - 1 - back]) ++back;
                if (forward + back > bestLength + bestBack) {
                    bestLength = forward;
                    bestBack = back;
                    bestFrom = from;
                    bestInSource = inSource;
                }
            };
            consider(sourceIndex.Find(hash), sourceProbe, S, true);
            consider(targetIndex.Find(hash), targetProbe, T, false);
            if (t % kTargetStep == 0) targetIndex.Add(t, hash);
            if (bestLength > 0) {
                const std::uint64_t start = t - bestBack, from = bestFrom - bestBack, length = bestLength + bestBack;
                flushTo(start);
                if (bestInSource) {
                    out.FromSource(from, start, length);
                    distance = static_cast<std::int64_t>(from) - static_cast<std::int64_t>(start);
                } else {
                    out.FromTarget(from, length);
                }
                t = pending = start + length;
                continue;
            }
        }
        ++t;
    }
    flushTo(T);
    out.Le32(sourceCrc);
    out.Le32(targetCrc);
    out.Le32(out.Crc());
}

namespace {

constexpr std::uint64_t kIpsMaxOffset = 0xFFFFFF;
constexpr std::uint64_t kIpsEof = 0x454F46;  // "EOF": no record may start here
constexpr std::size_t kIpsMaxRecord = 0xFFFF;
constexpr std::size_t kIpsRecordHeader = 5;
constexpr std::size_t kIpsRunRecord = kIpsRecordHeader + 3;

// Runs of changed bytes become records: plain, or runs of one byte where
// that is shorter, none longer than IPS allows and none starting where it
// would read as the EOF mark.
class IpsWriter final : public DiffSink {
public:
    IpsWriter(OutputFile& patch, InputFile& changed) : patch_(patch), changed_(changed) {}

    void RunBegin(std::uint64_t offset) override {
        start_ = offset;
        bytes_.clear();
    }
    void RunBytes(std::span<const std::uint8_t> changed) override {
        for (const std::uint8_t b : changed) {
            bytes_.push_back(b);
            // Long runs go out as they grow: no record is longer than this.
            if (bytes_.size() == 4 * kIpsMaxRecord) Flush(false);
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
            if (j - i > kIpsRunRecord + (atEdge ? 0 : kIpsRecordHeader)) {
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
    void Plain(std::size_t from, std::size_t to) {
        while (from < to) {
            std::uint64_t offset = start_ + from;
            std::size_t n = std::min(to - from, kIpsMaxRecord);
            if (offset == kIpsEof) {
                // One byte earlier, with the byte that stands there.
                std::uint8_t before = 0;
                changed_.ReadExactly(kIpsEof - 1, {&before, 1});
                n = std::min(n, kIpsMaxRecord - 1);
                Header(kIpsEof - 1, n + 1);
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
            if (offset == kIpsEof) {
                std::uint8_t before = 0;
                changed_.ReadExactly(kIpsEof - 1, {&before, 1});
                Header(kIpsEof - 1, 2);
                const std::uint8_t two[2] = {before, byte};
                patch_.Append(two);
                ++offset;
                --length;
                continue;
            }
            const std::uint64_t n = std::min<std::uint64_t>(length, kIpsMaxRecord);
            Header(offset, 0);
            const std::uint8_t run[3] = {static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n), byte};
            patch_.Append(run);
            offset += n;
            length -= n;
        }
    }
    void Header(std::uint64_t offset, std::uint64_t size) {
        if (offset > kIpsMaxOffset) throw FileError(text::IpsCannotAddress(patch_.Path(), offset));
        const std::uint8_t header[5] = {static_cast<std::uint8_t>(offset >> 16), static_cast<std::uint8_t>(offset >> 8),
                                        static_cast<std::uint8_t>(offset), static_cast<std::uint8_t>(size >> 8),
                                        static_cast<std::uint8_t>(size)};
        patch_.Append(header);
    }

    OutputFile& patch_;
    InputFile& changed_;
    std::uint64_t start_ = 0;
    std::vector<std::uint8_t> bytes_;
};

}  // namespace

void WriteIps(InputFile& original, InputFile& changed, OutputFile& patch, const BufferSizes& sizes) {
    const std::uint64_t n = original.Size(), m = changed.Size();
    if (m < n && m > kIpsMaxOffset) throw FileError(text::IpsCannotAddress(patch.Path(), m));
    patch.Append({reinterpret_cast<const std::uint8_t*>("PATCH"), 5});
    IpsWriter records(patch, changed);
    ScanFiles(original, changed, std::min(n, m), sizes.scan, records);
    if (m > n) {
        // The tail: every byte is new.
        records.RunBegin(n);
        std::vector<std::uint8_t> tail(std::max<std::size_t>(sizes.scan, 1));
        for (std::uint64_t at = n; at < m; at += tail.size()) {
            const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(tail.size(), m - at));
            changed.ReadExactly(at, {tail.data(), size});
            records.RunBytes({tail.data(), size});
        }
        records.RunEnd();
    }
    patch.Append({reinterpret_cast<const std::uint8_t*>("EOF"), 3});
    if (m < n) {
        const std::uint8_t length[3] = {static_cast<std::uint8_t>(m >> 16), static_cast<std::uint8_t>(m >> 8),
                                        static_cast<std::uint8_t>(m)};
        patch.Append(length);
    }
}

}  // namespace zelk
