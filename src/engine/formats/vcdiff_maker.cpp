#include "engine/formats/vcdiff_maker.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <memory>
#include <vector>

#include "engine/copy_matcher.h"
#include "engine/file_names.h"
#include "engine/formats/vcdiff_code.h"
#include "engine/formats/vcdiff_secondary.h"
#include "host/crc32.h"

namespace zelk {

namespace {

using namespace vcdiff;

// A window makes at most 8 MiB of the result, as xdelta3's own windows
// do: every reader takes that (xdelta3 up to 16 MiB), a reader that holds a
// window whole needs little, and so does the maker, which holds one
// window's bytes until its header, which states the sections' lengths, is
// written. Halving it cost 0.03% more patch (headers, and address caches
// that start afresh); copies from the result reach back only within a
// window, as xdelta3 reads no copies from earlier windows.
constexpr std::uint64_t kWindow = 8 << 20;
// The stretch of the original one window copies from is at most this long:
// xdelta3 counts a window's addresses (that stretch, then the window) in 32
// bits, and other readers in signed ones. A copy that would stretch it
// further starts the next window.
constexpr std::uint64_t kMaxSegment = 1 << 30;
// A window whose instructions grow this many ends early, which bounds what
// is held of them.
constexpr std::size_t kMaxOps = 1 << 18;
// The original's index: enough for a 256 MiB original to be sampled every
// 128 bytes, and for the whole maker to stay within 64 MiB at any size.
constexpr std::uint64_t kIndexBytes = 16 << 20;
// Sections shorter than this gain nothing from LZMA: they stay as they are.
constexpr std::size_t kMinCompressed = 16;

// Whether LZMA may make `bytes` smaller: not where each byte value is
// about as common as any other (new bytes that are random, or already
// compressed), where it would only spend time. Such a section is stored as
// it is, and the encoder, which never sees it, stays in step with the
// reader, which skips it too.
bool Compressible(std::span<const std::uint8_t> bytes) {
    std::array<std::uint64_t, 256> counts{};
    for (const std::uint8_t b : bytes) ++counts[b];
    double bits = 0;
    const auto n = static_cast<double>(bytes.size());
    for (const std::uint64_t c : counts)
        if (c != 0) bits -= static_cast<double>(c) * std::log2(static_cast<double>(c) / n);
    return bits < n * 7.9;
}

// The default table's codes by what they hold.
class Codes {
public:
    Codes() {
        for (auto& sizes : sized_)
            for (auto& modes : sizes) modes.fill(-1);
        for (auto& sizes : addCopy_)
            for (auto& modes : sizes) modes.fill(-1);
        for (auto& modes : copyAdd_) modes.fill(-1);
        const CodeTable& table = DefaultTable();
        for (int code = 0; code < 256; ++code) {
            const Instruction& a = table[code][0];
            const Instruction& b = table[code][1];
            if (b.type == kNoop) {
                if (a.size == 0) unsized_[a.type][a.mode] = static_cast<std::uint8_t>(code);
                else sized_[a.type][a.size][a.mode] = static_cast<std::int16_t>(code);
            } else if (a.type == kAdd) {
                addCopy_[a.size][b.size][b.mode] = static_cast<std::int16_t>(code);
            } else if (b.size == 1) {
                copyAdd_[a.size][a.mode] = static_cast<std::int16_t>(code);
            }
        }
    }
    // One instruction alone: its code, followed by its size where the code
    // does not hold it.
    void Single(std::vector<std::uint8_t>& out, std::uint8_t type, std::uint64_t size, std::uint8_t mode) const {
        if (size < kSizes && sized_[type][size][mode] >= 0) {
            out.push_back(static_cast<std::uint8_t>(sized_[type][size][mode]));
            return;
        }
        out.push_back(unsized_[type][mode]);
        AppendVarint(out, size);
    }
    // An add of `add` bytes and then a copy, or a copy and then an add of
    // one byte, in one code; -1 where the table has none.
    int AddCopy(std::uint64_t add, std::uint64_t copy, std::uint8_t mode) const {
        return add < 5 && copy < kSizes ? addCopy_[add][copy][mode] : -1;
    }
    int CopyAdd(std::uint64_t copy, std::uint8_t mode) const { return copy < kSizes ? copyAdd_[copy][mode] : -1; }

private:
    static constexpr std::size_t kSizes = 19, kModes = 9;
    std::array<std::array<std::uint8_t, kModes>, 4> unsized_{};
    std::array<std::array<std::array<std::int16_t, kModes>, kSizes>, 4> sized_{};
    std::array<std::array<std::array<std::int16_t, kModes>, kSizes>, 5> addCopy_{};
    std::array<std::array<std::int16_t, kModes>, kSizes> copyAdd_{};
};

const Codes& DefaultCodes() {
    static const Codes codes;
    return codes;
}

// One instruction of a window before its addresses are known.
struct Op {
    std::uint64_t from = 0;  // a copy's first byte, in the original or the result
    std::uint32_t size = 0;
    std::uint8_t type = kAdd;
    bool fromSource = false;
};

// Collects what the matcher finds into windows and writes each once it is
// whole: its header, then its data, instructions and addresses.
class WindowWriter final : public CopySink {
public:
    WindowWriter(InputFile& target, OutputFile& patch, bool lzma) : target_(target), patch_(patch) {
        if (lzma)
            for (auto& encoder : encoders_) encoder = std::make_unique<LzmaSectionEncoder>();
    }

    void NewBytes(std::uint64_t from, std::uint64_t to) override {
        while (from < to) {
            const std::uint64_t n = std::min(to - from, MakeRoom());
            AddBytes(n);
            from += n;
        }
    }

    void FromSource(std::uint64_t from, std::uint64_t, std::uint64_t length) override {
        while (length > 0) {
            const std::uint64_t n = std::min(length, MakeRoom());
            const std::uint64_t lo = hasSource_ ? std::min(segmentFrom_, from) : from;
            const std::uint64_t hi = hasSource_ ? std::max(segmentTo_, from + n) : from + n;
            if (hi - lo > kMaxSegment) {
                Close();
                continue;
            }
            segmentFrom_ = lo, segmentTo_ = hi, hasSource_ = true;
            Push({from, static_cast<std::uint32_t>(n), kCopy, true});
            from += n;
            length -= n;
        }
    }

    void FromTarget(std::uint64_t from, std::uint64_t at, std::uint64_t length) override {
        const bool run = from + 1 == at;
        while (length > 0) {
            const std::uint64_t n = std::min(length, MakeRoom());
            if (run) Push({0, static_cast<std::uint32_t>(n), kRun, false});
            // Split at a window's start, a copy may begin before it: its
            // bytes are written as they are.
            else if (from >= windowStart_) Push({from, static_cast<std::uint32_t>(n), kCopy, false});
            else AddBytes(n);
            from += n;
            length -= n;
        }
    }

    std::uint64_t TargetFloor() const override { return windowStart_; }

    void Finish() { Close(); }

private:
    // How much the window can still make; a full one is written first.
    std::uint64_t MakeRoom() {
        if (made_ == kWindow || ops_.size() >= kMaxOps) Close();
        return kWindow - made_;
    }
    void Push(const Op& op) {
        ops_.push_back(op);
        made_ += op.size;
    }
    void AddBytes(std::uint64_t n) {
        if (!ops_.empty() && ops_.back().type == kAdd) {
            ops_.back().size += static_cast<std::uint32_t>(n);
            made_ += n;
        } else {
            Push({0, static_cast<std::uint32_t>(n), kAdd, false});
        }
    }

    // A copy's address, in the mode that takes the fewest bytes; the
    // caches then learn it, as the reader's do.
    std::uint8_t Address(const Op& op, std::uint64_t here, std::uint64_t segmentLength) {
        const std::uint64_t address = op.fromSource ? op.from - segmentFrom_ : segmentLength + (op.from - windowStart_);
        std::uint8_t mode = 0;
        std::uint64_t value = address;
        std::size_t cost = VarintSize(address);
        const auto consider = [&](std::uint8_t m, std::uint64_t v) {
            if (VarintSize(v) < cost) mode = m, value = v, cost = VarintSize(v);
        };
        consider(1, here - address);
        for (std::size_t i = 0; i < cache_.Near().size(); ++i)
            if (address >= cache_.Near()[i]) consider(static_cast<std::uint8_t>(2 + i), address - cache_.Near()[i]);
        const std::size_t slot = address % cache_.Same().size();
        if (cache_.Same()[slot] == address) {
            addresses_.push_back(static_cast<std::uint8_t>(slot % 256));
            mode = static_cast<std::uint8_t>(2 + cache_.Near().size() + slot / 256);
        } else {
            AppendVarint(addresses_, value);
        }
        cache_.Update(address);
        return mode;
    }

    // Whether the window's `size` bytes from `at` are one byte repeated: a
    // run says so in one byte, where a copy needs its address (padding
    // copied from the original, most often).
    bool OneByte(std::uint64_t at, std::uint64_t size) const {
        const std::uint8_t* p = window_.data() + at;
        return std::all_of(p + 1, p + size, [&](std::uint8_t b) { return b == *p; });
    }

    // The instructions, paired where the table has a code for the pair.
    void Encode(std::uint64_t segmentLength) {
        const Codes& codes = DefaultCodes();
        cache_.Reset();
        data_.clear(), instructions_.clear(), addresses_.clear();
        std::uint64_t at = 0;  // in the window
        const auto add = [&](const Op& op) {
            data_.insert(data_.end(), window_.begin() + static_cast<std::ptrdiff_t>(at),
                         window_.begin() + static_cast<std::ptrdiff_t>(at + op.size));
            at += op.size;
        };
        for (std::size_t i = 0; i < ops_.size(); ++i) {
            const Op& op = ops_[i];
            const Op* next = i + 1 < ops_.size() ? &ops_[i + 1] : nullptr;
            if (op.type == kRun || (op.type == kCopy && OneByte(at, op.size))) {
                data_.push_back(window_[static_cast<std::size_t>(at)]);
                codes.Single(instructions_, kRun, op.size, 0);
                at += op.size;
            } else if (op.type == kAdd) {
                add(op);
                if (next == nullptr || next->type != kCopy || op.size > 4 || OneByte(at, next->size)) {
                    codes.Single(instructions_, kAdd, op.size, 0);
                    continue;
                }
                const std::uint8_t mode = Address(*next, segmentLength + at, segmentLength);
                const int pair = codes.AddCopy(op.size, next->size, mode);
                if (pair >= 0) {
                    instructions_.push_back(static_cast<std::uint8_t>(pair));
                } else {
                    codes.Single(instructions_, kAdd, op.size, 0);
                    codes.Single(instructions_, kCopy, next->size, mode);
                }
                at += next->size;
                ++i;
            } else {
                const std::uint8_t mode = Address(op, segmentLength + at, segmentLength);
                at += op.size;
                const int pair = next != nullptr && next->type == kAdd && next->size == 1 ? codes.CopyAdd(op.size, mode) : -1;
                if (pair >= 0) {
                    instructions_.push_back(static_cast<std::uint8_t>(pair));
                    add(*next);
                    ++i;
                } else {
                    codes.Single(instructions_, kCopy, op.size, mode);
                }
            }
        }
    }

    // Writes the window made so far and starts the next.
    void Close() {
        if (made_ > 0) Write();
        ops_.clear();
        windowStart_ += made_;
        made_ = 0;
        hasSource_ = false;
    }

    void Write() {
        window_.resize(static_cast<std::size_t>(made_));
        target_.ReadExactly(windowStart_, window_);
        const std::uint64_t segmentLength = hasSource_ ? segmentTo_ - segmentFrom_ : 0;
        Encode(segmentLength);
        std::uint8_t deltaIndicator = 0;
        const std::vector<std::uint8_t>* sections[3] = {&data_, &instructions_, &addresses_};
        for (int kind = 0; kind < 3; ++kind) {
            if (!encoders_[kind] || sections[kind]->size() < kMinCompressed || !Compressible(*sections[kind])) continue;
            packed_[kind].clear();
            AppendVarint(packed_[kind], sections[kind]->size());
            encoders_[kind]->Encode(*sections[kind], packed_[kind]);
            sections[kind] = &packed_[kind];
            deltaIndicator |= static_cast<std::uint8_t>(1 << kind);
        }
        std::vector<std::uint8_t> delta;
        AppendVarint(delta, made_);
        delta.push_back(deltaIndicator);
        for (const auto* section : sections) AppendVarint(delta, section->size());
        const std::uint32_t adler = Adler32(1, window_);
        for (int shift = 24; shift >= 0; shift -= 8) delta.push_back(static_cast<std::uint8_t>(adler >> shift));
        std::uint64_t deltaLength = delta.size();
        for (const auto* section : sections) deltaLength += section->size();

        std::vector<std::uint8_t> header{static_cast<std::uint8_t>(kChecksum | (hasSource_ ? kSourceSegment : 0))};
        if (hasSource_) {
            AppendVarint(header, segmentLength);
            AppendVarint(header, segmentFrom_);
        }
        AppendVarint(header, deltaLength);
        patch_.Append(header);
        patch_.Append(delta);
        for (const auto* section : sections) patch_.Append(*section);
    }

    InputFile& target_;
    OutputFile& patch_;
    std::unique_ptr<LzmaSectionEncoder> encoders_[3];
    std::vector<Op> ops_;
    std::uint64_t windowStart_ = 0, made_ = 0;
    std::uint64_t segmentFrom_ = 0, segmentTo_ = 0;
    bool hasSource_ = false;
    AddressCache cache_{kNearSize, kSameSize};
    std::vector<std::uint8_t> window_, data_, instructions_, addresses_, packed_[3];
};

}  // namespace

void WriteVcdiff(const MakeRequest& request, const MakeFiles& files, bool lzma, const BufferSizes& sizes) {
    CopyMatcher matcher(files.original, files.changed, kIndexBytes);
    files.original.ExpectSequential();
    matcher.IndexSource(sizes.stream);
    files.changed.ExpectSequential();

    std::vector<std::uint8_t> header{0xD6, 0xC3, 0xC4, 0x00, static_cast<std::uint8_t>(kAppHeader | (lzma ? kDecompress : 0))};
    if (lzma) header.push_back(kLzma);
    // Named as xdelta3 names them: the result, its compression (none),
    // the original, its compression.
    const std::string names = BaseName(request.changedPath) + "//" + BaseName(request.originalPath) + "/";
    AppendVarint(header, names.size());
    header.insert(header.end(), names.begin(), names.end());
    files.patch.Append(header);

    WindowWriter writer(files.changed, files.patch, lzma);
    matcher.Scan(writer);
    writer.Finish();
}

}  // namespace zelk
