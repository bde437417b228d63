#include <boost/crc.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "engine/byte_order.h"
#include "engine/formats/foreign.h"
#include "engine/user_texts.h"

#include "engine/formats/aps.h"

namespace zelk {

namespace {

constexpr std::string_view kName = "APS (GBA)";
constexpr std::uint64_t kHeader = 12;
constexpr std::size_t kBlock = 0x10000;
constexpr std::uint64_t kRecord = 8 + kBlock;  // offset, two CRC16s, the block's XOR

// CRC-16/CCITT-FALSE (polynomial 0x1021, from 0xFFFF, bits not reflected).
std::uint16_t Crc16(std::span<const std::uint8_t> bytes) {
    boost::crc_optimal<16, 0x1021, 0xFFFF, 0, false, false> crc;
    crc.process_bytes(bytes.data(), bytes.size());
    return crc.checksum();
}

std::string Crc16Text(std::uint16_t crc) {
    std::uint8_t two[2];
    PutBe(two, crc, 2);
    return text::Hex(two);
}

// The 64 KiB of `file` from `offset`; past its end, zeros.
void ReadBlock(InputFile& file, std::uint64_t offset, std::span<std::uint8_t> block) {
    const std::size_t got = offset < file.Size() ? file.ReadAt(offset, block) : 0;
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(got), block.end(), std::uint8_t{0});
}

struct Record {
    std::uint64_t offset = 0;
    std::uint16_t sourceCrc = 0, targetCrc = 0;
};

Record RecordAt(InputFile& patch, std::uint64_t index) {
    std::uint8_t field[8];
    patch.ReadExactly(kHeader + index * kRecord, field);
    return {ReadLe32(field), ReadLe16(field + 4), ReadLe16(field + 6)};
}

// What a file is to the patch, by its size and its blocks' CRC16s: the
// first block that is not the original's, where there is one.
struct Blocks {
    bool source = false, target = false;
    std::uint64_t size = 0;
    std::optional<std::uint64_t> wrongAt;
    std::uint16_t expected = 0, got = 0;
};

class ApsGbaPatch final : public ForeignPatch {
public:
    explicit ApsGbaPatch(const PatchFormat& format) : ForeignPatch(format) {}

    std::uint64_t sourceSize = 0, targetSize = 0, records = 0;

    void ReadWhole(InputFile& patch, std::size_t bufferSize) override;
    std::string Expected() const override {
        return text::CountOf(sourceSize) + " and the CRC16s of the " + std::to_string(records) +
               (records == 1 ? " 64 KiB block" : " 64 KiB blocks") + " it changes";
    }

protected:
    std::uint32_t Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                        const BufferSizes& sizes) const override;
    std::uint64_t ResultSize(std::uint64_t, const Plan& plan) const override {
        return plan.reverse ? sourceSize : targetSize;
    }
    Verdict Compare(InputFile& file, InputFile& patch, std::size_t bufferSize) const override;
    std::optional<Stop> PlanFor(HostServices& host, InputFile& original, InputFile& patch,
                                const std::string& originalPath, const EvidenceRule& rule, Plan& plan,
                                std::string& note) const override;
    std::string InfoLines() const override;

private:
    Blocks Identify(InputFile& file, InputFile& patch) const;
    std::string Problem(const Blocks& found, const std::string& path) const;
};

void ApsGbaPatch::ReadWhole(InputFile& patch, std::size_t) {
    if (patch.Size() < kHeader) throw Damage{text::CutShort()};
    std::uint8_t head[kHeader];
    patch.ReadExactly(0, head);
    sourceSize = ReadLe32(head + 4);
    targetSize = ReadLe32(head + 8);
    const std::uint64_t body = patch.Size() - kHeader;
    records = body / kRecord;
    if (body % kRecord != 0) throw Damage{text::RecordCutShort(records, kHeader + records * kRecord)};
    const std::uint64_t reach = std::max(sourceSize, targetSize);
    std::uint64_t end = 0;
    for (std::uint64_t i = 0; i < records; ++i) {
        const std::uint64_t offset = RecordAt(patch, i).offset, at = kHeader + i * kRecord;
        if (offset >= reach)
            throw Damage{"record " + std::to_string(i + 1) + " at byte " + std::to_string(at) + " lies past both files (at " +
                         text::Offset(offset) + ")"};
        if (offset < end)
            throw Damage{"record " + std::to_string(i + 1) + " at byte " + std::to_string(at) +
                         " overlaps the block before it (at " + text::Offset(offset) + ")"};
        end = offset + kBlock;
    }
}

Blocks ApsGbaPatch::Identify(InputFile& file, InputFile& patch) const {
    Blocks found;
    found.size = file.Size();
    found.source = found.size == sourceSize;
    found.target = found.size == targetSize;
    std::vector<std::uint8_t> block(kBlock);
    for (std::uint64_t i = 0; i < records && (found.source || found.target); ++i) {
        const Record record = RecordAt(patch, i);
        ReadBlock(file, record.offset, block);
        const std::uint16_t crc = Crc16(block);
        if (found.source && crc != record.sourceCrc) {
            found.wrongAt = record.offset;
            found.expected = record.sourceCrc;
            found.got = crc;
        }
        found.source = found.source && crc == record.sourceCrc;
        found.target = found.target && crc == record.targetCrc;
    }
    return found;
}

std::string ApsGbaPatch::Problem(const Blocks& found, const std::string& path) const {
    std::string said = path + " is not the file this APS (GBA) patch was made for: the patch expects ";
    if (found.size != sourceSize) return said + text::CountOf(sourceSize) + "; this file has " + text::CountOf(found.size);
    return said + "CRC16 " + Crc16Text(found.expected) + " for the 64 KiB block at " + text::Offset(*found.wrongAt) +
           "; this file's is " + Crc16Text(found.got);
}

std::optional<Stop> ApsGbaPatch::PlanFor(HostServices&, InputFile& original, InputFile& patch,
                                         const std::string& originalPath, const EvidenceRule& rule, Plan& plan,
                                         std::string& note) const {
    const Blocks found = Identify(original, patch);
    if (found.source) return std::nullopt;
    if (found.target) {
        plan.reverse = true;
        note = text::TurnedBack(originalPath, kName);
        return std::nullopt;
    }
    if (const auto view = FirstView(original, [&](InputFile& viewed) { return Identify(viewed, patch).source; })) {
        Take(*view, originalPath, plan, note);
        return std::nullopt;
    }
    const std::string problem = Problem(found, originalPath) + LackedHeader(original, sourceSize);
    return rule.Before(problem);
}

Verdict ApsGbaPatch::Compare(InputFile& file, InputFile& patch, std::size_t) const {
    const Blocks found = Identify(file, patch);
    const std::string blocks = std::to_string(records) + (records == 1 ? " block" : " blocks");
    if (found.source)
        return {Fit::Fits, "Its size and the CRC16s of the " + blocks + " the patch changes are those of the file it was made from."};
    if (found.target)
        return {Fit::AlreadyApplied, "Its size and the CRC16s of the " + blocks +
                                         " the patch changes are those of the file it makes, which the patch turns back."};
    if (const auto view = FirstView(file, [&](InputFile& viewed) { return Identify(viewed, patch).source; }))
        return {Fit::Fits, ViewEvidence(*view, "its size and CRC16s are those")};
    return {Fit::DoesNotFit, Problem(found, file.Path()) + "." + LackedHeader(file, sourceSize)};
}

// The original's bytes, each record's block XORed with its own, each block
// held to the CRC16 the patch gives it before it is written.
std::uint32_t ApsGbaPatch::Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                                 const BufferSizes&) const {
    const std::uint64_t in = original.Size(), out = plan.reverse ? sourceSize : targetSize;
    const std::uint64_t base = output.Size();
    std::uint64_t at = 0;
    const auto copyTo = [&](std::uint64_t to) {
        to = std::min(to, out);
        if (at < std::min(to, in)) output.AppendFrom(original, at, std::min(to, in) - at);
        if (to > at) output.ExtendTo(base + to);
        at = std::max(at, to);
    };
    std::vector<std::uint8_t> block(kBlock), change(kBlock);
    // The first block that does not hold, and how many do not: one refusal
    // or one warning for them all.
    std::string first;
    std::uint64_t wrong = 0;
    for (std::uint64_t i = 0; i < records; ++i) {
        const Record record = RecordAt(patch, i);
        copyTo(record.offset);
        ReadBlock(original, record.offset, block);
        patch.ReadExactly(kHeader + i * kRecord + 8, change);
        for (std::size_t b = 0; b < kBlock; ++b) block[b] ^= change[b];
        const std::uint16_t crc = Crc16(block), expected = plan.reverse ? record.sourceCrc : record.targetCrc;
        if (crc != expected && wrong++ == 0)
            first = "The result's 64 KiB block at " + text::Offset(record.offset) + " has CRC16 " + Crc16Text(crc) +
                    " where the APS (GBA) patch expects " + Crc16Text(expected);
        if (record.offset < out) {
            const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, out - record.offset));
            output.Append({block.data(), size});
            at = record.offset + size;
        }
    }
    copyTo(out);
    if (wrong > 0)
        plan.rule->During(first + (wrong > 1 ? "; " + std::to_string(wrong) + " blocks in all differ" : ""),
                          first + "; nothing was replaced");
    return 0;
}

std::string ApsGbaPatch::InfoLines() const {
    return "\nOriginal: " + text::CountOf(sourceSize) + "\nResult: " + text::CountOf(targetSize) +
           "\nBlocks: " + std::to_string(records) + " of 64 KiB, each with its CRC16 before and after";
}

class ApsGba final : public PatchFormat {
public:
    std::string_view Name() const override { return kName; }
    std::string_view Key() const override { return "aps-gba"; }
    std::string_view Summary() const override {
        return "APS's GBA form: the CRC16 of each 64 KiB block, turns the result back too; no comment";
    }
    std::vector<std::string_view> Extensions() const override { return {"aps"}; }
    // The N64 form starts "APS10" and its patch type and encoding method.
    bool Recognises(std::span<const std::uint8_t> head) const override {
        return StartsWith(head, "APS1") && !ApsFormat().Recognises(head);
    }
    std::unique_ptr<LoadedPatch> Read(InputFile& patch, std::size_t bufferSize) const override {
        return ReadForeign(std::make_unique<ApsGbaPatch>(*this), patch, bufferSize);
    }
    bool ReadsOriginalFirst() const override { return true; }
    bool Makes() const override { return true; }
    bool KeepsComment() const override { return false; }
    std::string Make(HostServices&, const MakeRequest&, const MakeFiles& files) const override {
        WriteApsGba(files.original, files.changed, files.patch);
        return {};
    }
};

}  // namespace

// A record for each 64 KiB block that differs, the shorter file read as if
// zeros followed it.
void WriteApsGba(InputFile& original, InputFile& changed, OutputFile& patch) {
    const std::uint64_t n = original.Size(), m = changed.Size();
    if (n > 0xFFFFFFFF || m > 0xFFFFFFFF) throw FileError(text::ApsCannotAddress(patch.Path()));
    std::uint8_t head[kHeader] = {'A', 'P', 'S', '1'};
    PutLe32(head + 4, n);
    PutLe32(head + 8, m);
    patch.Append(head);
    original.ExpectSequential();
    changed.ExpectSequential();
    std::vector<std::uint8_t> before(kBlock), after(kBlock);
    for (std::uint64_t offset = 0; offset < std::max(n, m); offset += kBlock) {
        ReadBlock(original, offset, before);
        ReadBlock(changed, offset, after);
        if (before == after) continue;
        std::uint8_t field[8];
        PutLe32(field, offset);
        const std::uint16_t crcs[2] = {Crc16(before), Crc16(after)};
        for (int i = 0; i < 2; ++i) PutLe(field + 4 + 2 * i, crcs[i], 2);
        for (std::size_t b = 0; b < kBlock; ++b) after[b] ^= before[b];
        patch.Append(field);
        patch.Append(after);
    }
}

bool IsGbaRom(InputFile& file) {
    // The fixed byte of a GBA cartridge header, and the start of its logo.
    std::uint8_t header[0xC0] = {};
    if (file.ReadAt(0, header) != sizeof header) return false;
    return header[0xB2] == 0x96 && header[4] == 0x24 && header[5] == 0xFF && header[6] == 0xAE && header[7] == 0x51;
}

const PatchFormat& ApsGbaFormat() {
    static const ApsGba format;
    return format;
}

}  // namespace zelk
