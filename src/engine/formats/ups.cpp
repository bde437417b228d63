#include "engine/formats/ups.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/byte_reader.h"
#include "engine/diff_scanner.h"
#include "engine/file_window.h"
#include "engine/formats/checksummed.h"
#include "engine/formats/foreign.h"
#include "engine/formats/target_writer.h"
#include "engine/user_texts.h"
#include "host/crc32.h"

namespace zelk {

namespace {

constexpr std::uint64_t kMagic = 4;  // "UPS1"

class UpsPatch final : public ForeignPatch {
public:
    explicit UpsPatch(const PatchFormat& format) : ForeignPatch(format) {
        reversible = true;
        headerAware = true;
    }
    std::uint64_t bodyStart = 0;  // the first change
    std::uint64_t bodyEnd = 0;    // the footer
    std::uint32_t patchCrc = 0;

    void ReadWhole(InputFile& patch, std::size_t bufferSize) override;

protected:
    std::uint32_t Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                        const BufferSizes& sizes) const override;
    std::string InfoLines() const override { return "\nPatch CRC-32: " + text::Crc(patchCrc); }
    std::uint64_t ResultSize(std::uint64_t, const Plan& plan) const override {
        return plan.reverse ? stated->sourceSize : stated->targetSize;
    }
};

// The changes: stretches left as they are, and bytes that change by XOR,
// each run closed by a zero that stands for one more byte left as it is.
// Every position of the longer file is visited once, in order.
template <class Visit>
void Walk(ByteReader& reader, const UpsPatch& p, Visit& visit) {
    const Stated& s = *p.stated;
    const std::uint64_t limit = std::max(s.sourceSize, s.targetSize);
    std::uint64_t pos = 0;
    const auto room = [&] { return limit - std::min(pos, limit); };
    while (reader.Position() < p.bodyEnd) {
        const std::uint64_t at = reader.Position();
        const std::uint64_t skip = checksummed::ReadNumber(reader, p.bodyEnd);
        if (skip > room()) throw Damage{text::ChangePastTheEnd(at)};
        visit.Same(pos, skip);
        pos += skip;
        for (bool closed = false; !closed;) {
            if (reader.Position() >= p.bodyEnd) throw Damage{text::CutShortAt(at)};
            const std::uint64_t from = reader.Position();
            const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(p.bodyEnd - from, kChunk)));
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

struct Checking {
    void Same(std::uint64_t, std::uint64_t) {}
    void Xor(std::uint64_t, std::span<const std::uint8_t>) {}
};

// Applying: the input's bytes (zeros past its end), changed by XOR where
// the patch says, as far as the output reaches.
struct Writing {
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

std::uint32_t UpsPatch::Write(InputFile& source, InputFile& patch, const Plan& plan, OutputFile& output,
                              const BufferSizes& sizes) const {
    ByteReader reader(patch, bodyStart, sizes.stream);
    FileWindow window(source, sizes.stream);
    TargetWriter target(output, plan.skip, 0);
    const std::uint64_t outSize = ResultSize(source.Size(), plan);
    Writing writer{window, source.Size(), outSize, target};
    Walk(reader, *this, writer);
    if (target.Size() != outSize) throw ChangedWhileRead(patch);
    return target.Crc();
}

void UpsPatch::ReadWhole(InputFile& patch, std::size_t bufferSize) {
    ByteReader reader(patch, kMagic, bufferSize);
    const checksummed::Head head = checksummed::ReadHead(patch, reader, bufferSize);
    stated = head.stated;
    patchCrc = head.patchCrc;
    bodyEnd = head.bodyEnd;
    bodyStart = reader.Position();
    Checking checking;
    Walk(reader, *this, checking);
}

// `count` bytes of `file` from `at` into `into`, zeros past its end; the
// bytes that are the file's go into its CRC-32.
void Fill(InputFile& file, std::uint64_t at, std::vector<std::uint8_t>& into, std::size_t count, std::uint32_t& crc) {
    const std::size_t got = at < file.Size() ? static_cast<std::size_t>(std::min<std::uint64_t>(count, file.Size() - at)) : 0;
    file.ReadExactly(at, {into.data(), got});
    crc = Crc32(crc, {into.data(), got});
    std::fill(into.begin() + static_cast<std::ptrdiff_t>(got), into.begin() + static_cast<std::ptrdiff_t>(count), 0);
}

// The files read side by side once: each run of changed bytes as XOR, after
// the count of bytes left as they are since the last run, closed by a zero
// for the byte after it. Past the shorter file's end its bytes count as
// zeros, so that the patch turns either file into the other.
void WriteUps(InputFile& source, InputFile& target, OutputFile& patch, std::size_t chunk) {
    const std::uint64_t limit = std::max(source.Size(), target.Size());
    checksummed::Writer out(patch);
    out.Put({reinterpret_cast<const std::uint8_t*>("UPS1"), kMagic});
    out.Number(source.Size());
    out.Number(target.Size());
    source.ExpectSequential();
    target.ExpectSequential();
    std::vector<std::uint8_t> a(chunk), b(chunk);
    std::uint32_t sourceCrc = 0, targetCrc = 0;
    std::uint64_t kept = 0;  // where the bytes left as they are began
    bool inRun = false;
    const std::uint8_t close = 0;
    for (std::uint64_t at = 0; at < limit;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, limit - at));
        Fill(source, at, a, count, sourceCrc);
        Fill(target, at, b, count, targetCrc);
        for (std::size_t i = 0; i < count;) {
            if (!inRun) {
                i = FirstDifference(a.data(), b.data(), i, count);
                if (i == count) break;
                out.Number(at + i - kept);
                inRun = true;
            }
            const std::size_t end = FirstEqual(a.data(), b.data(), i, count);
            for (std::size_t t = i; t < end; ++t) a[t] ^= b[t];
            out.Put({a.data() + i, end - i});
            i = end;
            if (end == count) break;
            out.Put({&close, 1});
            kept = at + end + 1;
            inRun = false;
            ++i;
        }
        at += count;
    }
    if (inRun) out.Put({&close, 1});
    out.Footer(sourceCrc, targetCrc);
}

class Ups final : public PatchFormat {
public:
    std::string_view Name() const override { return "UPS"; }
    std::string_view Key() const override { return "ups"; }
    std::string_view Summary() const override {
        return "sizes and CRC-32s of both files, turns the result back too; no comment";
    }
    bool Recognises(std::span<const std::uint8_t> head) const override { return StartsWith(head, "UPS1"); }
    std::unique_ptr<LoadedPatch> Read(InputFile& patch, std::size_t bufferSize) const override {
        return ReadForeign(std::make_unique<UpsPatch>(*this), patch, bufferSize);
    }
    bool ReadsOriginalFirst() const override { return true; }
    bool Makes() const override { return true; }
    // No room for a comment.
    bool KeepsComment() const override { return false; }
    std::string Make(HostServices& host, const MakeRequest&, const MakeFiles& files) const override {
        WriteUps(files.original, files.changed, files.patch, std::max<std::size_t>(host.Buffers().scan, kChunk));
        return {};
    }
};

}  // namespace

const PatchFormat& UpsFormat() {
    static const Ups format;
    return format;
}

std::string text::ChangePastTheEnd(std::uint64_t at) {
    return "the change at byte " + std::to_string(at) + " lies past the end of both files";
}

}  // namespace zelk
