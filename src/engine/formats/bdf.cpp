#include "engine/formats/bdf.h"

#include <bzlib.h>

#include <algorithm>
#include <array>
#include <new>
#include <vector>

#include "engine/byte_order.h"
#include "engine/byte_reader.h"
#include "engine/file_window.h"
#include "engine/formats/foreign.h"
#include "engine/user_texts.h"

namespace zelk {

namespace {

constexpr std::uint64_t kHeader = 32;  // "BSDIFF40", then three numbers
constexpr std::string_view kName = "BDF";

// bsdiff's numbers: eight bytes, low first, the top bit of the last the sign.
std::int64_t Number(const std::uint8_t* b) {
    const std::uint64_t magnitude = ReadLe(b, 8) & ~(std::uint64_t{1} << 63);
    if (magnitude > kMaxExactSize) return b[7] & 0x80 ? -static_cast<std::int64_t>(kMaxExactSize) - 1 : static_cast<std::int64_t>(kMaxExactSize) + 1;
    return b[7] & 0x80 ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
}

std::string Named(const char* stream, std::uint64_t at) {
    return std::string("its ") + stream + " stream at byte " + std::to_string(at);
}

// One of the three streams, decompressed as it is read.
class Stream {
public:
    Stream(InputFile& patch, std::uint64_t from, std::uint64_t to, const char* name, std::size_t bufferSize)
        : patch_(patch), at_(from), from_(from), to_(to), name_(name), in_(std::max<std::size_t>(bufferSize, 4096)) {
        if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK) throw std::bad_alloc();
    }
    ~Stream() { BZ2_bzDecompressEnd(&stream_); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Fills `out`, or throws the stream's damage.
    void Read(std::span<std::uint8_t> out) {
        stream_.next_out = reinterpret_cast<char*>(out.data());
        stream_.avail_out = static_cast<unsigned>(out.size());
        while (stream_.avail_out > 0) {
            if (ended_) throw Damage{Named(name_, from_) + " ends before the result is made"};
            Step();
        }
    }
    // Reads on to the stream's end, which holds its checksum: nothing more
    // may come out of it, and nothing may follow it.
    void Finish() {
        std::uint8_t more = 0;
        while (!ended_) {
            stream_.next_out = reinterpret_cast<char*>(&more);
            stream_.avail_out = 1;
            Step();
            if (stream_.avail_out == 0) throw Damage{Named(name_, from_) + " holds more than the result needs"};
        }
        if (stream_.avail_in > 0 || at_ < to_) throw Damage{Named(name_, from_) + " is followed by bytes it does not use"};
    }

private:
    // Decompresses what it can, its input refilled from the patch.
    void Step() {
        if (stream_.avail_in == 0 && at_ < to_) {
            const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(in_.size(), to_ - at_));
            patch_.ReadExactly(at_, {in_.data(), size});
            at_ += size;
            stream_.next_in = reinterpret_cast<char*>(in_.data());
            stream_.avail_in = static_cast<unsigned>(size);
        }
        const unsigned in = stream_.avail_in, out = stream_.avail_out;
        const int ret = BZ2_bzDecompress(&stream_);
        if (ret == BZ_MEM_ERROR) throw std::bad_alloc();
        if (ret == BZ_STREAM_END) ended_ = true;
        else if (ret != BZ_OK) throw Damage{Named(name_, from_) + " cannot be decompressed"};
        else if (stream_.avail_in == in && stream_.avail_out == out) throw Damage{Named(name_, from_) + " is cut short"};
    }

    InputFile& patch_;
    std::uint64_t at_, from_, to_;
    const char* name_;
    std::vector<std::uint8_t> in_;
    bz_stream stream_{};
    bool ended_ = false;
};

class BdfPatch final : public ForeignPatch {
public:
    // No checksum, no bytes of the original: nothing tells what it was made for.
    bool Blind(InputFile&) const override { return true; }
    explicit BdfPatch(const PatchFormat& format) : ForeignPatch(format) {}
    std::uint64_t controlSize = 0, diffSize = 0, extraSize = 0, newSize = 0;

    void ReadWhole(InputFile& patch, std::size_t bufferSize) override;

protected:
    std::uint32_t Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                        const BufferSizes& sizes) const override;
    std::uint64_t ResultSize(std::uint64_t, const Plan&) const override { return newSize; }
    // The streams are read whole only while applying.
    bool CheckedWhole() const override { return false; }
    std::string InfoLines() const override {
        return "\nResult: " + text::CountOf(newSize) + "\nControl stream: " + text::CountOf(controlSize) +
               "\nDiff stream: " + text::CountOf(diffSize) + "\nExtra stream: " + text::CountOf(extraSize);
    }
};

void BdfPatch::ReadWhole(InputFile& patch, std::size_t) {
    const std::uint64_t size = patch.Size();
    if (size < kHeader) throw Damage{text::CutShort()};
    std::uint8_t head[kHeader];
    patch.ReadExactly(0, head);
    const std::int64_t control = Number(head + 8), diff = Number(head + 16), result = Number(head + 24);
    if (control < 0 || diff < 0 || result < 0 || result > static_cast<std::int64_t>(kMaxExactSize))
        throw Damage{"its header states a negative or impossible length"};
    controlSize = static_cast<std::uint64_t>(control);
    diffSize = static_cast<std::uint64_t>(diff);
    newSize = static_cast<std::uint64_t>(result);
    if (controlSize > size - kHeader || diffSize > size - kHeader - controlSize)
        throw Damage{"its streams run past the end of the file"};
    extraSize = size - kHeader - controlSize - diffSize;
}

std::uint32_t BdfPatch::Write(InputFile& original, InputFile& patch, const Plan&, OutputFile& output,
                              const BufferSizes& sizes) const {
    const std::uint64_t diffAt = kHeader + controlSize, extraAt = diffAt + diffSize;
    Stream control(patch, kHeader, diffAt, "control", sizes.stream);
    Stream diff(patch, diffAt, extraAt, "diff", sizes.stream);
    Stream extra(patch, extraAt, patch.Size(), "extra", sizes.stream);
    FileWindow old(original, sizes.stream);
    const auto oldSize = static_cast<std::int64_t>(original.Size());
    std::vector<std::uint8_t> bytes(kChunk);
    std::uint64_t made = 0;
    std::int64_t oldAt = 0;
    while (made < newSize) {
        std::array<std::uint8_t, 24> triple{};
        control.Read(triple);
        const std::int64_t add = Number(triple.data()), copy = Number(triple.data() + 8), seek = Number(triple.data() + 16);
        if (add < 0 || copy < 0 || static_cast<std::uint64_t>(add) > newSize - made ||
            static_cast<std::uint64_t>(copy) > newSize - made - static_cast<std::uint64_t>(add) ||
            seek < -static_cast<std::int64_t>(kMaxExactSize) || seek > static_cast<std::int64_t>(kMaxExactSize))
            throw Damage{Named("control", kHeader) + " says to write past the result's " + text::CountOf(newSize)};
        // The differences, added to the original's bytes where it has them.
        for (std::uint64_t left = static_cast<std::uint64_t>(add); left > 0;) {
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, bytes.size()));
            diff.Read({bytes.data(), count});
            for (std::size_t i = 0; i < count;) {
                const std::int64_t at = oldAt + static_cast<std::int64_t>(i);
                if (at >= oldSize) break;
                if (at < 0) {  // before the original: the differences are the bytes
                    i += static_cast<std::size_t>(std::min<std::int64_t>(-at, static_cast<std::int64_t>(count - i)));
                    continue;
                }
                const auto piece = old.At(static_cast<std::uint64_t>(at),
                                          std::min<std::uint64_t>(count - i, static_cast<std::uint64_t>(oldSize - at)));
                for (std::size_t k = 0; k < piece.size(); ++k) bytes[i + k] = static_cast<std::uint8_t>(bytes[i + k] + piece[k]);
                i += piece.size();
            }
            output.Append({bytes.data(), count});
            oldAt += static_cast<std::int64_t>(count);
            left -= count;
        }
        made += static_cast<std::uint64_t>(add);
        for (std::uint64_t left = static_cast<std::uint64_t>(copy); left > 0;) {
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, bytes.size()));
            extra.Read({bytes.data(), count});
            output.Append({bytes.data(), count});
            left -= count;
        }
        made += static_cast<std::uint64_t>(copy);
        oldAt += seek;
        if (oldAt < -static_cast<std::int64_t>(kMaxExactSize) || oldAt > static_cast<std::int64_t>(kMaxExactSize))
            throw Damage{Named("control", kHeader) + " moves outside any file"};
    }
    for (Stream* stream : {&control, &diff, &extra}) stream->Finish();
    return 0;
}

class Bdf final : public PatchFormat {
public:
    std::string_view Name() const override { return kName; }
    std::string_view Key() const override { return "bdf"; }
    std::string_view Summary() const override { return "bsdiff 4: states only the size it makes"; }
    std::vector<std::string_view> Extensions() const override { return {"bdf", "bsdiff", "bsd"}; }
    bool Recognises(std::span<const std::uint8_t> head) const override { return StartsWith(head, "BSDIFF40"); }
    std::unique_ptr<LoadedPatch> Read(InputFile& patch, std::size_t bufferSize) const override {
        return ReadForeign(std::make_unique<BdfPatch>(*this), patch, bufferSize);
    }
};

}  // namespace

const PatchFormat& BdfFormat() {
    static const Bdf format;
    return format;
}

}  // namespace zelk
