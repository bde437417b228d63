#include "engine/formats/vcdiff_secondary.h"

#include <lzma.h>

#include <algorithm>
#include <array>
#include <bit>
#include <new>
#include <stdexcept>
#include <numeric>
#include <string>
#include <vector>

#include "engine/formats/format.h"

namespace zelk::vcdiff {

namespace {

std::string Section(std::uint64_t at) { return "a compressed section at byte " + std::to_string(at); }

Damage Short(std::uint64_t at) { return Damage{Section(at) + " holds less than the length it states"}; }
Damage Long(std::uint64_t at) { return Damage{Section(at) + " holds more than the length it states"}; }
Damage Invalid(std::uint64_t at) { return Damage{Section(at) + " cannot be decompressed"}; }

// One stream for each kind of section, running on from window to window.
class Lzma final : public SectionDecoder {
public:
    ~Lzma() override {
        if (stream_.internal != nullptr) lzma_end(&stream_);
    }
    void Decode(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::uint64_t at) override {
        if (stream_.internal == nullptr && lzma_stream_decoder(&stream_, 64 << 20, 0) != LZMA_OK) throw std::bad_alloc();
        stream_.next_in = in.data();
        stream_.avail_in = in.size();
        stream_.next_out = out.data();
        stream_.avail_out = out.size();
        // On until the section's bytes are used up: its last ones may end a
        // block without making any.
        while (stream_.avail_in > 0) {
            const std::size_t before = stream_.avail_in + stream_.avail_out;
            const lzma_ret ret = lzma_code(&stream_, LZMA_RUN);
            if (ret == LZMA_MEM_ERROR) throw std::bad_alloc();
            if (ret != LZMA_OK && ret != LZMA_STREAM_END && ret != LZMA_BUF_ERROR) throw Invalid(at);
            if (ret != LZMA_OK || stream_.avail_in + stream_.avail_out == before) break;
        }
        if (stream_.avail_out > 0) throw Short(at);
        if (stream_.avail_in > 0) throw Long(at);
    }

private:
    lzma_stream stream_ = LZMA_STREAM_INIT;
};

// Bits as both Huffman coders write them: each byte from its lowest bit up.
class BitReader {
public:
    BitReader(std::span<const std::uint8_t> in, std::uint64_t at) : in_(in), at_(at) {}
    unsigned Bit() {
        if (bit_ == 8) {
            if (next_ == in_.size()) throw Short(at_);
            byte_ = in_[next_++];
            bit_ = 0;
        }
        return (byte_ >> bit_++) & 1u;
    }
    // A number of `count` bits, its highest first.
    unsigned Bits(int count) {
        unsigned value = 0;
        while (count-- > 0) value = value << 1 | Bit();
        return value;
    }
    // Every byte touched counts as read, the last one's spare bits included.
    bool AllRead() const { return next_ == in_.size(); }
    std::uint64_t At() const { return at_; }

private:
    std::span<const std::uint8_t> in_;
    std::uint64_t at_;
    std::size_t next_ = 0;
    unsigned byte_ = 0;
    unsigned bit_ = 8;
};

// ---- DJW -------------------------------------------------------------------
// A section is cut into sectors, each coded with one of up to 8 canonical
// prefix codes. The codes' lengths are themselves coded, after a
// move-to-front, with runs of the front value counted in bijective base 2.

constexpr unsigned kMaxLength = 20;       // of a byte's code
constexpr unsigned kLengthSymbols = 22;   // two run symbols, then move-to-front places 1..20
constexpr unsigned kMaxLengthLength = 15; // of a code length's code
constexpr unsigned kMaxSelectorLength = 7;
constexpr unsigned kMaxGroups = 8;

// Canonical: shorter codes first, and within a length in the order of the
// symbols, each one more than the last.
class PrefixCode {
public:
    PrefixCode() = default;
    PrefixCode(std::span<const std::uint8_t> lengths, unsigned maxLength, std::uint64_t at) : maxLength_(maxLength) {
        for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
            if (lengths[symbol] > maxLength) throw Invalid(at);
            ++count_[lengths[symbol]];
        }
        count_[0] = 0;
        for (unsigned length = 1; length <= maxLength; ++length)
            for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol)
                if (lengths[symbol] == length) symbols_.push_back(static_cast<std::uint16_t>(symbol));
    }
    unsigned Decode(BitReader& bits) const {
        unsigned code = 0, first = 0, index = 0;
        for (unsigned length = 1; length <= maxLength_; ++length) {
            code |= bits.Bit();
            if (code - first < count_[length]) return symbols_[index + code - first];
            index += count_[length];
            first = (first + count_[length]) << 1;
            code <<= 1;
        }
        throw Invalid(bits.At());
    }

private:
    unsigned maxLength_ = 0;
    std::array<unsigned, kMaxLength + 1> count_{};
    std::vector<std::uint16_t> symbols_;
};

// Fills `values` from move-to-front places. With `inherit`, a value whose
// counterpart `inherit` places back is zero is zero too, and is not coded.
void ReadRuns(BitReader& bits, const PrefixCode& code, std::span<std::uint8_t> order, std::span<std::uint8_t> values,
              std::size_t inherit) {
    std::uint64_t run = 0;
    unsigned shift = 0;
    std::size_t place = 0;  // a value decoded, not yet put
    for (std::size_t n = 0; n < values.size();) {
        if (inherit != 0 && n >= inherit && values[n - inherit] == 0) {
            values[n++] = 0;
        } else if (run > 0) {
            values[n++] = order[0];
            --run;
        } else if (place > 0) {
            std::rotate(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(place),
                        order.begin() + static_cast<std::ptrdiff_t>(place) + 1);
            values[n++] = order[0];
            place = 0;
        } else if (const unsigned symbol = code.Decode(bits); symbol <= 1) {
            if (shift > 40) throw Invalid(bits.At());
            run = static_cast<std::uint64_t>(symbol + 1) << shift++;
            if (run > values.size() - n) throw Invalid(bits.At());
        } else {
            place = symbol - 1;
            shift = 0;
            if (place >= order.size()) throw Invalid(bits.At());
        }
    }
    if (run != 0) throw Invalid(bits.At());
}

class Djw final : public SectionDecoder {
public:
    void Decode(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::uint64_t at) override {
        if (out.empty()) throw Invalid(at);
        BitReader bits(in, at);
        const unsigned groups = bits.Bits(3) + 1;
        const std::size_t sector = groups > 1 ? (bits.Bits(5) + 1) * 5 : out.size();
        const std::size_t sectors = 1 + (out.size() - 1) / sector;

        // The lengths of the code-length code: always the first seven, then as many as said.
        std::array<std::uint8_t, kLengthSymbols> lengthLengths{};
        const unsigned coded = bits.Bits(4) + 7;
        for (unsigned i = 0; i < coded; ++i) lengthLengths[i] = static_cast<std::uint8_t>(bits.Bits(4));
        const PrefixCode lengthCode(lengthLengths, kMaxLengthLength, at);
        // Where the move-to-front starts: the lengths likeliest first.
        std::array<std::uint8_t, 21> order = {0, 4, 5, 6, 7, 8, 9, 10, 3, 11, 2, 12, 13, 1, 14, 15, 16, 17, 18, 19, 20};
        std::vector<std::uint8_t> lengths(256 * groups);
        ReadRuns(bits, lengthCode, order, lengths, 256);
        std::vector<PrefixCode> codes;
        for (unsigned g = 0; g < groups; ++g)
            codes.emplace_back(std::span<const std::uint8_t>(lengths).subspan(256 * g, 256), kMaxLength, at);

        std::vector<std::uint8_t> selectors(sectors, 0);
        if (groups > 1) {
            std::array<std::uint8_t, kMaxGroups + 1> selectorLengths{};
            for (unsigned g = 0; g <= groups; ++g) selectorLengths[g] = static_cast<std::uint8_t>(bits.Bits(3));
            const PrefixCode selectorCode(std::span<const std::uint8_t>(selectorLengths).first(groups + 1), kMaxSelectorLength, at);
            std::array<std::uint8_t, kMaxGroups + 1> groupOrder{};
            std::iota(groupOrder.begin(), groupOrder.end(), std::uint8_t{0});
            ReadRuns(bits, selectorCode, std::span(groupOrder).first(groups + 1), selectors, 0);
        }
        std::size_t done = 0;
        for (const std::uint8_t group : selectors) {
            if (group >= groups) throw Invalid(at);
            const PrefixCode& code = codes[group];
            for (const std::size_t end = std::min(out.size(), done + sector); done < end;)
                out[done++] = static_cast<std::uint8_t>(code.Decode(bits));
        }
        if (!bits.AllRead()) throw Long(at);
    }
};

// ---- FGK -------------------------------------------------------------------
// Knuth's dynamic Huffman code ("Dynamic Huffman Coding", J. Algorithms 6),
// kept exactly as xdelta3's coder keeps it, for the decoder to follow the
// tree the coder built: the same nodes swapped, the same blocks formed.
//
// The 256 leaves are nodes 0..255 (a byte's leaf is its value), inner nodes
// are taken from 256 on. Leaves not seen yet hang in a list threaded
// through their child links; its head stands in the tree for all of them
// (weight 0). A byte seen for the first time is coded as the path to that
// head, then its place in the list. All nodes are also in one list in order
// of weight (`left` lighter, `right` heavier, the root last), cut into blocks
// of like weight, each led by its rightmost node.
class Fgk final : public SectionDecoder {
public:
    Fgk() {
        for (int i = 0; i < kLeaves; ++i) {
            nodes_[i].rightChild = i + 1 < kLeaves ? i + 1 : kNil;
            nodes_[i].leftChild = i >= 1 ? i - 1 : kNil;
        }
    }

    void Decode(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, std::uint64_t at) override {
        if (out.empty()) throw Invalid(at);
        std::size_t done = 0;
        for (std::size_t i = 0; i < in.size(); ++i) {
            for (unsigned bit = 0; bit < 8; ++bit) {
                if (!Step((in[i] >> bit) & 1u, at)) continue;
                out[done++] = static_cast<std::uint8_t>(Symbol(at));
                if (done == out.size()) {
                    if (i + 1 != in.size()) throw Long(at);
                    return;
                }
            }
        }
        throw Short(at);
    }
    // xdelta3 codes every section of 10 bytes or more before it decides
    // whether to keep the result, and its own decoder forgets this: it
    // cannot read back such patches of many windows. This one can.
    void Skipped(std::span<const std::uint8_t> in) override {
        if (in.size() < 10) return;
        for (const std::uint8_t b : in) Update(b, 0);
        at_ = root_;
    }

private:
    static constexpr int kLeaves = 256, kNodes = 2 * kLeaves - 1, kNil = -1;
    struct Node {
        std::uint32_t weight = 0;
        int parent = kNil, leftChild = kNil, rightChild = kNil;
        int left = kNil, right = kNil;  // in the order of weight
        int block = kNil;
    };

    // The bits of a place in the list of unseen leaves.
    unsigned PlaceBits() const { return static_cast<unsigned>(std::bit_width(unseenCount_ - 1)); }

    // One bit: whether it ends a code.
    bool Step(unsigned bit, std::uint64_t at) {
        if (nodes_[at_].weight == 0) {
            place_ = place_ << 1 | bit;
            return ++placeBits_ >= PlaceBits();
        }
        at_ = bit ? nodes_[at_].rightChild : nodes_[at_].leftChild;
        if (at_ == kNil) throw Invalid(at);
        if (nodes_[at_].leftChild != kNil) return false;
        return nodes_[at_].weight != 0 || unseenCount_ == 1;
    }

    // The byte a code ended on, the tree then updated for it.
    int Symbol(std::uint64_t at) {
        int symbol = at_;
        if (nodes_[at_].weight == 0) {
            if (unseenCount_ > 1 && place_ >= unseenCount_) throw Invalid(at);
            symbol = unseen_;
            for (std::uint32_t n = unseenCount_ == 1 ? 0 : place_; n > 0; --n) {
                symbol = nodes_[symbol].rightChild;
                if (symbol == kNil) throw Invalid(at);
            }
        }
        place_ = placeBits_ = 0;
        Update(symbol, at);
        at_ = root_;
        return symbol;
    }

    void Update(int symbol, std::uint64_t at) {
        int node = nodes_[symbol].weight == 0 ? FirstSeen(symbol, at) : symbol;
        while (node != root_) {
            MoveRight(node, at);
            Promote(node, at);
            ++nodes_[node].weight;
            node = nodes_[node].parent;
        }
        ++nodes_[root_].weight;
    }

    int NewBlock(int leader) {
        if (freeBlocks_.empty()) {
            leaders_.push_back(leader);
            return static_cast<int>(leaders_.size()) - 1;
        }
        const int block = freeBlocks_.back();
        freeBlocks_.pop_back();
        leaders_[static_cast<std::size_t>(block)] = leader;
        return block;
    }
    void FreeBlock(int block) { freeBlocks_.push_back(block); }
    int& Leader(int block) { return leaders_[static_cast<std::size_t>(block)]; }
    int& SlotOf(int child) {
        Node& parent = nodes_[nodes_[child].parent];
        return parent.rightChild == child ? parent.rightChild : parent.leftChild;
    }

    // A leaf seen for the first time: a new inner node takes the head's
    // place, with the head on its left and the leaf on its right.
    int FirstSeen(int leaf, std::uint64_t at) {
        Node& seen = nodes_[leaf];
        if (unseenCount_ == 1) {  // the last: it is the head, and stays where it is
            seen.rightChild = kNil;
            if (seen.right == kNil) throw Invalid(at);
            seen.block = nodes_[seen.right].weight == 1 ? nodes_[seen.right].block : NewBlock(leaf);
            unseen_ = kNil;
            return leaf;
        }
        const int head = unseen_;
        if (next_ >= kNodes) throw Invalid(at);
        const int inner = next_++;
        Node& fork = nodes_[inner];
        fork.parent = nodes_[head].parent;
        fork.right = nodes_[head].right;
        fork.weight = 0;
        fork.rightChild = leaf;
        fork.left = leaf;
        if (head == root_) {
            root_ = inner;
            seen.block = NewBlock(leaf);
            fork.block = NewBlock(inner);
        } else {
            nodes_[fork.right].left = inner;
            SlotOf(head) = inner;
            fork.block = nodes_[fork.right].weight == 1 ? nodes_[fork.right].block : NewBlock(inner);
            seen.block = fork.block;
        }
        Unlist(leaf);
        fork.leftChild = unseen_;
        seen.right = inner;
        seen.left = unseen_;
        seen.parent = inner;
        seen.leftChild = seen.rightChild = kNil;
        nodes_[unseen_].parent = inner;
        nodes_[unseen_].right = leaf;
        return leaf;
    }

    // Takes a leaf out of the list of unseen ones.
    void Unlist(int leaf) {
        --unseenCount_;
        Node& node = nodes_[leaf];
        if (node.leftChild == kNil) {
            unseen_ = node.rightChild;
            nodes_[unseen_].leftChild = kNil;
        } else if (node.rightChild == kNil) {
            nodes_[node.leftChild].rightChild = kNil;
        } else {
            nodes_[node.rightChild].leftChild = node.leftChild;
            nodes_[node.leftChild].rightChild = node.rightChild;
        }
    }

    // Swaps a node with the leader of its block, in the order and in the tree.
    void MoveRight(int node, std::uint64_t at) {
        const int leader = Leader(nodes_[node].block);
        if (node == leader || nodes_[node].parent == leader || nodes_[node].weight == 0) return;
        Node& a = nodes_[node];
        Node& b = nodes_[leader];
        if (b.right == kNil) throw Invalid(at);
        nodes_[b.right].left = node;
        if (a.left != kNil) nodes_[a.left].right = leader;
        const int afterA = a.right;
        a.right = b.right;
        if (afterA == leader) {
            b.right = node;
        } else {
            nodes_[afterA].left = leader;
            b.right = afterA;
        }
        const int beforeB = b.left;
        b.left = a.left;
        if (beforeB == node) {
            a.left = leader;
        } else {
            nodes_[beforeB].right = node;
            a.left = beforeB;
        }
        int& slotA = SlotOf(node);
        int& slotB = SlotOf(leader);
        std::swap(a.parent, b.parent);
        std::swap(slotA, slotB);
        Leader(a.block) = node;
    }

    // Moves a block's leader, about to gain weight, into the block it joins.
    void Promote(int node, std::uint64_t at) {
        Node& x = nodes_[node];
        if (x.weight == 0) return;
        const int right = x.right, left = x.left, block = x.block;
        if (right == kNil) throw Invalid(at);
        const bool joinsRight = x.weight + 1 == nodes_[right].weight && right != root_;
        // The parent of the unseen leaves, its right child beside it.
        if (left == x.rightChild && x.leftChild != kNil && nodes_[x.leftChild].weight == 0) {
            if (joinsRight) {
                FreeBlock(block);
                x.block = nodes_[right].block;
                nodes_[left].block = nodes_[right].block;
            }
            return;
        }
        if (left == unseen_) return;
        if (nodes_[left].block == block) Leader(block) = left;
        else FreeBlock(block);
        x.block = joinsRight ? nodes_[right].block : NewBlock(node);
    }

    std::array<Node, kNodes> nodes_{};
    std::vector<int> leaders_, freeBlocks_;
    int root_ = 0, at_ = 0, next_ = kLeaves;
    int unseen_ = 0;  // the head of the unseen leaves
    std::uint32_t unseenCount_ = kLeaves;
    std::uint32_t place_ = 0;
    unsigned placeBits_ = 0;
};

}  // namespace

const char* CompressorName(int compressor) {
    switch (compressor) {
        case kLzma: return "LZMA";
        case kDjw: return "DJW";
        case kFgk: return "FGK";
        default: return "none";
    }
}

std::unique_ptr<SectionDecoder> SectionDecoderFor(int compressor) {
    switch (compressor) {
        case kLzma: return std::make_unique<Lzma>();
        case kDjw: return std::make_unique<Djw>();
        case kFgk: return std::make_unique<Fgk>();
        default: return nullptr;
    }
}

// What the sections of a window are: mostly short numbers and the bytes
// the change brought, which seldom repeat far away; a dictionary of 1 MiB
// keeps the three encoders within a few tens of MiB together.
constexpr std::uint32_t kEncoderDictionary = 1 << 20;
constexpr std::uint32_t kEncoderPreset = 6;

struct LzmaSectionEncoder::Stream {
    lzma_stream lzma = LZMA_STREAM_INIT;
    ~Stream() { lzma_end(&lzma); }
};

LzmaSectionEncoder::LzmaSectionEncoder() : stream_(std::make_unique<Stream>()) {
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, kEncoderPreset)) throw std::logic_error("LZMA preset");
    options.dict_size = kEncoderDictionary;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    const lzma_ret ret = lzma_stream_encoder(&stream_->lzma, filters, LZMA_CHECK_NONE);
    if (ret == LZMA_MEM_ERROR) throw std::bad_alloc();
    if (ret != LZMA_OK) throw std::logic_error("LZMA encoder");
}

LzmaSectionEncoder::~LzmaSectionEncoder() = default;

void LzmaSectionEncoder::Encode(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
    lzma_stream& s = stream_->lzma;
    s.next_in = in.data();
    s.avail_in = in.size();
    const std::size_t start = out.size();
    std::size_t used = start;
    for (;;) {
        // Room for the section as it is and then some: more only for
        // bytes that do not compress.
        if (out.size() - used < 4096) out.resize(used + std::max<std::size_t>(in.size() / 2, 64 << 10));
        s.next_out = out.data() + used;
        s.avail_out = out.size() - used;
        const lzma_ret ret = lzma_code(&s, LZMA_SYNC_FLUSH);
        used = out.size() - s.avail_out;
        if (ret == LZMA_STREAM_END) break;
        if (ret == LZMA_MEM_ERROR) throw std::bad_alloc();
        if (ret != LZMA_OK) throw std::logic_error("LZMA encoder");
    }
    out.resize(used);
}

}  // namespace zelk::vcdiff
