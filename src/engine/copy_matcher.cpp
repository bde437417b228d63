#include "engine/copy_matcher.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/diff_scanner.h"
#include "host/crc32.h"

namespace zelk {

namespace {

// An unbroken stretch at the last copy's distance is worth a copy of its
// own from this length on; shorter ones stay inside the new bytes.
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

std::uint64_t HashAt(const std::uint8_t* p) {
    std::uint64_t h = Load64(p) * 0x9E3779B97F4A7C15ull ^ std::rotl(Load64(p + 8) * 0xC2B2AE3D27D4EB4Full, 29);
    h ^= h >> 32;
    return h * 0xD6E8FEB86659FD93ull;
}

// How many bytes of the source one index entry stands for, and how many
// entries the index has (a power of two), for a source of `size` bytes:
// at most an eighth of its size (32 MiB for any source up to 256 MiB), and
// at most `indexBytes`.
PositionIndex SourceIndexFor(std::uint64_t size, std::uint64_t indexBytes) {
    constexpr std::uint64_t kEntry = 8;
    constexpr std::uint64_t kMinStep = 8;
    const std::uint64_t budget = std::min(std::max<std::uint64_t>(size / 8, 32 << 20), std::max<std::uint64_t>(indexBytes, kEntry));
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

}  // namespace

CopyMatcher::CopyMatcher(InputFile& source, InputFile& target, std::uint64_t indexBytes)
    : source_(source), target_(target), S_(source.Size()), T_(target.Size()), sourceIndex_(SourceIndexFor(S_, indexBytes)),
      targetIndex_(std::min(kTargetSlots, std::bit_ceil(std::max<std::uint64_t>(1, T_ / kTargetStep))), kTargetStep),
      targetAhead_(target_, kWindow, kBehind), sourceAlong_(source_, kWindow, kBehind),
      sourceProbe_(source_, kProbe, kMaxBack), targetProbe_(target_, kProbe, kMaxBack) {}

std::uint32_t CopyMatcher::IndexSource(std::size_t bufferSize) {
    const std::uint64_t step = sourceIndex_.Step();
    std::vector<std::uint8_t> buffer(std::max<std::size_t>(bufferSize, 64 << 10) + kHashBytes);
    std::uint32_t crc = 0;
    std::uint64_t next = 0;  // the next position to index
    for (std::uint64_t at = 0; at < S_;) {
        const auto fresh = static_cast<std::size_t>(std::min<std::uint64_t>(S_ - at, buffer.size() - kHashBytes));
        // The bytes a hash at the piece's end needs come along, unCRCed.
        const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(S_ - at, fresh + kHashBytes));
        source_.ReadExactly(at, {buffer.data(), got});
        crc = Crc32(crc, {buffer.data(), fresh});
        for (; next < at + fresh && next + kHashBytes <= at + got; next += step)
            sourceIndex_.Add(next, HashAt(buffer.data() + (next - at)));
        at += fresh;
    }
    return crc;
}

// The search for each position inlined into one loop: it runs per byte of
// what is new.
[[gnu::flatten]] void CopyMatcher::Scan(CopySink& sink) {
    sink_ = &sink;
    while (t_ < T_) {
        if (Along()) continue;
        // The bytes here, once for both searches: a search moves the window.
        const auto ahead = targetAhead_.At(t_, kHashBytes);
        if (ahead.size() < kHashBytes) {
            ++t_;
            continue;
        }
        std::array<std::uint8_t, kHashBytes> here;
        std::memcpy(here.data(), ahead.data(), kHashBytes);
        if (!Run(here.data()) && !Match(here.data())) ++t_;
    }
    FlushTo(T_);
}

void CopyMatcher::FlushTo(std::uint64_t to) {
    if (to > pending_) sink_->NewBytes(pending_, to);
    pending_ = to;
}

// The same distance as the last copy: moved data goes on moving,
// unchanged data stays in place.
bool CopyMatcher::Along() {
    const std::int64_t along = static_cast<std::int64_t>(t_) + distance_;
    if (along < 0 || static_cast<std::uint64_t>(along) >= S_) return false;
    const auto s = static_cast<std::uint64_t>(along);
    if (targetAhead_.At(t_, 1)[0] != sourceAlong_.At(s, 1)[0]) return false;
    const std::uint64_t same = Agree(targetAhead_, t_, sourceAlong_, s, std::min(T_ - t_, S_ - s));
    if (same < kMinContinue && same != T_ - t_) return false;
    FlushTo(t_);
    sink_->FromSource(s, t_, same);
    t_ = pending_ = t_ + same;
    return true;
}

// A run of one byte: copied from the byte before it.
bool CopyMatcher::Run(const std::uint8_t* here) {
    if (t_ == 0 || !std::all_of(here, here + kHashBytes, [&](std::uint8_t b) { return b == here[0]; })) return false;
    const std::uint64_t run = Agree(targetAhead_, t_, targetProbe_, t_ - 1, T_ - t_);
    if (run < kMinRun || targetProbe_.At(t_ - 1, 1)[0] != here[0]) return false;
    FlushTo(t_);
    sink_->FromTarget(t_ - 1, t_, run);
    t_ = pending_ = t_ + run;
    return true;
}

// A candidate: forward as far as it agrees, then back into the new bytes.
void CopyMatcher::Consider(std::int64_t found, FileWindow& probe, std::uint64_t size, bool inSource,
                           Candidate& best) {
    if (found < 0) return;
    const auto from = static_cast<std::uint64_t>(found);
    const std::uint64_t floor = inSource ? 0 : sink_->TargetFloor();
    if (!inSource && (from >= t_ || from < floor)) return;
    const std::uint64_t forward = Agree(targetAhead_, t_, probe, from, std::min(T_ - t_, size - from));
    if (forward < kHashBytes) return;
    const auto mine = targetAhead_.Before(t_, static_cast<std::size_t>(std::min<std::uint64_t>(t_ - pending_, kMaxBack)));
    probe.At(from, 1);
    const auto theirs = probe.Before(from, static_cast<std::size_t>(std::min<std::uint64_t>(mine.size(), from - floor)));
    std::uint64_t back = 0;
    while (back < theirs.size() && mine[mine.size() - 1 - back] == theirs[theirs.size() - 1 - back]) ++back;
    if (forward + back > best.length + best.back) best = {forward, back, from, inSource};
}

// Where the indexes say these bytes stood before.
bool CopyMatcher::Match(const std::uint8_t* here) {
    const std::uint64_t hash = HashAt(here);
    Candidate best;
    Consider(sourceIndex_.Find(hash), sourceProbe_, S_, true, best);
    Consider(targetIndex_.Find(hash), targetProbe_, T_, false, best);
    if (t_ % kTargetStep == 0) targetIndex_.Add(t_, hash);
    if (best.length == 0) return false;
    const std::uint64_t start = t_ - best.back, from = best.from - best.back, length = best.length + best.back;
    FlushTo(start);
    if (best.inSource) {
        sink_->FromSource(from, start, length);
        distance_ = static_cast<std::int64_t>(from) - static_cast<std::int64_t>(start);
    } else {
        sink_->FromTarget(from, start, length);
    }
    t_ = pending_ = start + length;
    return true;
}

}  // namespace zelk
