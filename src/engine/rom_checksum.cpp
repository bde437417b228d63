#include "engine/rom_checksum.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <string_view>

#include "engine/formats/rom_views.h"
#include "engine/verdict.h"
#include "host/crc32.h"

namespace zelk {

namespace {

constexpr std::size_t kPiece = 1 << 16;
// Larger than any cartridge of the systems whose whole image is summed: a
// larger file whose bytes happen to look like such a header is none.
constexpr std::uint64_t kLargestCartridge = 32 << 20;

std::vector<std::uint8_t> Read(InputFile& file, std::uint64_t offset, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    file.ReadExactly(offset, bytes);
    return bytes;
}

// Hands `length` bytes of `file` from `offset` to `take`, a piece at a time.
void Each(InputFile& file, std::uint64_t offset, std::uint64_t length,
          const std::function<void(std::uint64_t, std::span<const std::uint8_t>)>& take) {
    std::vector<std::uint8_t> piece(kPiece);
    for (std::uint64_t at = offset; at < offset + length;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), offset + length - at));
        file.ReadExactly(at, {piece.data(), n});
        take(at, {piece.data(), n});
        at += n;
    }
}

std::string Hex(std::uint32_t value, int digits) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int k = digits - 1; k >= 0; --k, value >>= 4) text[static_cast<std::size_t>(k)] = kDigits[value & 15];
    return text;
}

std::vector<std::uint8_t> BigEndian(std::uint32_t value, int bytes) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(bytes));
    for (int k = bytes - 1; k >= 0; --k, value >>= 8) out[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(value);
    return out;
}

std::uint32_t FromBigEndian(std::span<const std::uint8_t> bytes) {
    std::uint32_t value = 0;
    for (const std::uint8_t b : bytes) value = value << 8 | b;
    return value;
}

ChecksumField Field(std::string name, std::uint64_t offset, std::vector<std::uint8_t> stated,
                    std::vector<std::uint8_t> computed, std::uint32_t statedValue, std::uint32_t computedValue,
                    int digits) {
    return {std::move(name), offset, std::move(stated), std::move(computed), Hex(statedValue, digits),
            Hex(computedValue, digits)};
}

// SNES ------------------------------------------------------------------

// Where the header of each mapping lies, and the map modes that say so.
struct SnesMap {
    std::uint64_t header;
    bool (*modeFits)(std::uint8_t);
};
constexpr SnesMap kSnesMaps[] = {
    {0x7FC0, [](std::uint8_t m) { return (m & 0xE0) == 0x20 && ((m & 0x0F) == 0 || (m & 0x0F) == 2 || (m & 0x0F) == 3); }},
    {0xFFC0, [](std::uint8_t m) { return (m & 0xE0) == 0x20 && ((m & 0x0F) == 1 || (m & 0x0F) == 0x0A); }},
    {0x40FFC0, [](std::uint8_t m) { return (m & 0xE0) == 0x20 && (m & 0x0F) == 5; }},
};

// The sum the hardware documentation gives: every byte of the image, the
// checksum and its complement counted as a matching pair (their four bytes
// always sum to 0x1FE); an image whose size is not a power of two counted
// as if mirrored up to the next one, its last part repeated.
std::uint32_t SnesSum(InputFile& file, std::uint64_t base, std::uint64_t size, std::uint64_t header) {
    const std::uint64_t fields = header + 0x1C;  // complement, then checksum: four bytes
    const auto plain = [&](std::uint64_t from, std::uint64_t length) {
        std::uint64_t sum = 0;
        Each(file, base + from, length, [&](std::uint64_t at, std::span<const std::uint8_t> bytes) {
            for (std::size_t k = 0; k < bytes.size(); ++k) {
                const std::uint64_t offset = at - base + k;
                if (offset >= fields && offset < fields + 4) continue;
                sum += bytes[k];
            }
        });
        if (fields >= from && fields + 4 <= from + length) sum += 0x1FE;
        return sum;
    };
    const std::function<std::uint64_t(std::uint64_t, std::uint64_t, std::uint64_t)> mirrored =
        [&](std::uint64_t from, std::uint64_t length, std::uint64_t target) -> std::uint64_t {
        if (length == 0) return 0;
        if (std::has_single_bit(length)) return plain(from, length) * (target / length);
        const std::uint64_t low = std::bit_floor(length);
        return (plain(from, low) + mirrored(from + low, length - low, low)) * (target / (2 * low));
    };
    const std::uint64_t whole = std::has_single_bit(size) ? plain(0, size)
                                                           : mirrored(0, size, 2 * std::bit_floor(size));
    return static_cast<std::uint32_t>(whole & 0xFFFF);
}

std::optional<InternalChecksum> Snes(InputFile& file) {
    const std::uint64_t base = file.Size() % 1024 == kCopierHeader ? kCopierHeader : 0;
    const std::uint64_t size = file.Size() - base;
    if (size > kLargestCartridge) return std::nullopt;
    std::optional<InternalChecksum> found;
    for (const SnesMap& map : kSnesMaps) {
        if (map.header + 0x20 > size) continue;
        const auto head = Read(file, base + map.header, 0x20);
        const std::uint32_t complement = head[0x1C] | head[0x1D] << 8, checksum = head[0x1E] | head[0x1F] << 8;
        if ((complement ^ checksum) != 0xFFFF || !map.modeFits(head[0x15]) || head[0x17] < 0x07 || head[0x17] > 0x0D)
            continue;
        const std::uint32_t sum = SnesSum(file, base, size, map.header);
        const std::uint32_t right = sum ^ 0xFFFF;
        InternalChecksum candidate{"SNES", {Field("SNES header checksum", base + map.header + 0x1C,
                                                  {head.begin() + 0x1C, head.end()},
                                                  {static_cast<std::uint8_t>(right), static_cast<std::uint8_t>(right >> 8),
                                                   static_cast<std::uint8_t>(sum), static_cast<std::uint8_t>(sum >> 8)},
                                                  checksum, sum, 4)}};
        // Of two headers that both look sound, the one the image bears out.
        if (candidate.Right()) return candidate;
        if (!found) found = std::move(candidate);
    }
    return found;
}

// Game Boy -----------------------------------------------------------------

// The logo every cartridge shows at start, which the boot ROM checks.
constexpr std::array<std::uint8_t, 48> kGameBoyLogo = {
    0xCE, 0xED, 0x66, 0x66, 0xCC, 0x0D, 0x00, 0x0B, 0x03, 0x73, 0x00, 0x83, 0x00, 0x0C, 0x00, 0x0D,
    0x00, 0x08, 0x11, 0x1F, 0x88, 0x89, 0x00, 0x0E, 0xDC, 0xCC, 0x6E, 0xE6, 0xDD, 0xDD, 0xD9, 0x99,
    0xBB, 0xBB, 0x67, 0x63, 0x6E, 0x0E, 0xEC, 0xCC, 0xDD, 0xDC, 0x99, 0x9F, 0xBB, 0xB9, 0x33, 0x3E};

std::optional<InternalChecksum> GameBoy(InputFile& file) {
    if (file.Size() < 0x150 || file.Size() > kLargestCartridge) return std::nullopt;
    const auto head = Read(file, 0x100, 0x50);
    if (!std::equal(kGameBoyLogo.begin(), kGameBoyLogo.end(), head.begin() + 4)) return std::nullopt;
    const std::string system = (head[0x43] & 0x80) != 0 ? "Game Boy Color" : "Game Boy";
    std::uint8_t header = 0;
    for (std::size_t k = 0x34; k <= 0x4C; ++k) header = static_cast<std::uint8_t>(header - head[k] - 1);
    // The global sum counts the header checksum as it will stand once right.
    std::uint32_t global = 0;
    Each(file, 0, file.Size(), [&](std::uint64_t at, std::span<const std::uint8_t> bytes) {
        for (std::size_t k = 0; k < bytes.size(); ++k)
            if (at + k < 0x14D || at + k > 0x14F) global += bytes[k];
    });
    global = (global + header) & 0xFFFF;
    const std::uint32_t statedGlobal = head[0x4E] << 8 | head[0x4F];
    return InternalChecksum{system, {Field(system + " header checksum", 0x14D, {head[0x4D]}, {header}, head[0x4D], header, 2),
                                     Field(system + " global checksum", 0x14E, {head[0x4E], head[0x4F]},
                                           BigEndian(global, 2), statedGlobal, global, 4)}};
}

// Game Boy Advance ---------------------------------------------------------

std::optional<InternalChecksum> GameBoyAdvance(InputFile& file) {
    if (file.Size() < 0xC0) return std::nullopt;
    const auto head = Read(file, 0, 0xC0);
    // A branch over the header as the first instruction, and the fixed byte.
    if (head[3] != 0xEA || head[0xB2] != 0x96) return std::nullopt;
    std::uint8_t complement = 0;
    for (std::size_t k = 0xA0; k <= 0xBC; ++k) complement = static_cast<std::uint8_t>(complement - head[k]);
    complement = static_cast<std::uint8_t>(complement - 0x19);
    return InternalChecksum{"Game Boy Advance", {Field("Game Boy Advance header complement", 0xBD, {head[0xBD]},
                                                       {complement}, head[0xBD], complement, 2)}};
}

// Mega Drive ---------------------------------------------------------------

std::optional<InternalChecksum> MegaDrive(InputFile& file) {
    if (file.Size() < 0x200 || file.Size() > kLargestCartridge) return std::nullopt;
    const auto head = Read(file, 0x100, 0x100);
    if (std::string_view(reinterpret_cast<const char*>(head.data()), 16).find("SEGA") == std::string_view::npos)
        return std::nullopt;
    // Big-endian words from 0x200 to the end; a last odd byte is a word's high half.
    std::uint32_t sum = 0;
    Each(file, 0x200, file.Size() - 0x200, [&](std::uint64_t at, std::span<const std::uint8_t> bytes) {
        for (std::size_t k = 0; k < bytes.size(); ++k) sum += (at + k) % 2 == 0 ? bytes[k] << 8 : bytes[k];
    });
    sum &= 0xFFFF;
    const std::uint32_t stated = head[0x8E] << 8 | head[0x8F];
    return InternalChecksum{"Mega Drive", {Field("Mega Drive checksum", 0x18E, {head[0x8E], head[0x8F]},
                                                 BigEndian(sum, 2), stated, sum, 4)}};
}

// Nintendo 64 --------------------------------------------------------------

// The boot chips, told by the CRC-32 of the boot code the image carries
// (0x40 to 0x1000), each with the seed its checksum starts from.
struct Cic {
    int chip;
    std::uint32_t bootCrc;
    std::uint32_t seed;
};
constexpr Cic kCics[] = {
    {6101, 0x6170A4A1, 0xF8CA4DDC}, {6102, 0x90BB6CB5, 0xF8CA4DDC}, {6103, 0x0B050EE0, 0xA3886759},
    {6105, 0x98BC2C86, 0xDF26F436}, {6106, 0xACC8580A, 0x1FEA617A},
};
constexpr std::uint64_t kN64Start = 0x1000, kN64Length = 0x100000;

std::optional<InternalChecksum> Nintendo64(InputFile& raw) {
    if (raw.Size() < kN64Start + kN64Length) return std::nullopt;
    std::uint8_t first[4] = {};
    raw.ReadExactly(0, first);
    const char* order = N64OrderOf(first);
    if (order == nullptr) return std::nullopt;
    const Reorder toZ64 = std::string_view(order) == ".v64"   ? Reorder::SwapPairs
                          : std::string_view(order) == ".n64" ? Reorder::ReverseWords
                                                              : Reorder::None;
    ViewedInput file(raw, View{0, "", toZ64, order, ".z64"});
    const auto boot = Read(file, 0x40, kN64Start - 0x40);
    const std::uint32_t bootCrc = Crc32(0, boot);
    const Cic* cic = nullptr;
    for (const Cic& known : kCics)
        if (known.bootCrc == bootCrc) cic = &known;
    if (cic == nullptr) return std::nullopt;
    std::uint32_t t1 = cic->seed, t2 = cic->seed, t3 = cic->seed, t4 = cic->seed, t5 = cic->seed, t6 = cic->seed;
    Each(file, kN64Start, kN64Length, [&](std::uint64_t at, std::span<const std::uint8_t> bytes) {
        for (std::size_t k = 0; k + 4 <= bytes.size(); k += 4) {
            const std::uint32_t d = FromBigEndian(bytes.subspan(k, 4));
            if (t6 + d < t6) ++t4;
            t6 += d;
            t3 ^= d;
            const std::uint32_t r = std::rotl(d, static_cast<int>(d & 0x1F));
            t5 += r;
            t2 ^= t2 > d ? r : t6 ^ d;
            if (cic->chip == 6105) {
                const std::size_t i = static_cast<std::size_t>((at + k - kN64Start) & 0xFF);
                t1 += FromBigEndian(std::span<const std::uint8_t>(boot).subspan(0x710 + i, 4)) ^ d;
            } else {
                t1 += t5 ^ d;
            }
        }
    });
    std::uint32_t crc1 = 0, crc2 = 0;
    if (cic->chip == 6103) {
        crc1 = (t6 ^ t4) + t3;
        crc2 = (t5 ^ t2) + t1;
    } else if (cic->chip == 6106) {
        crc1 = t6 * t4 + t3;
        crc2 = t5 * t2 + t1;
    } else {
        crc1 = t6 ^ t4 ^ t3;
        crc2 = t5 ^ t2 ^ t1;
    }
    // As the file holds them: in its own byte order.
    std::vector<std::uint8_t> stated = Read(raw, 0x10, 8), computed = BigEndian(crc1, 4);
    const std::vector<std::uint8_t> second = BigEndian(crc2, 4);
    computed.insert(computed.end(), second.begin(), second.end());
    ReorderWords(toZ64, computed);
    std::vector<std::uint8_t> statedZ64 = stated;
    ReorderWords(toZ64, statedZ64);
    const std::string name = "Nintendo 64 CRC (boot chip " + std::to_string(cic->chip) + ")";
    ChecksumField field{name, 0x10, std::move(stated), std::move(computed),
                        Hex(FromBigEndian(std::span(statedZ64).first(4)), 8) + " " +
                            Hex(FromBigEndian(std::span(statedZ64).subspan(4)), 8),
                        Hex(crc1, 8) + " " + Hex(crc2, 8)};
    return InternalChecksum{"Nintendo 64", {std::move(field)}};
}

// Each wrong field, as `say` words it, joined.
template <class Say>
std::string EachWrong(const InternalChecksum& checksum, Say&& say) {
    std::string said;
    for (const ChecksumField& f : checksum.fields)
        if (!f.Right()) said += (said.empty() ? "" : "; its ") + say(f);
    return said;
}

class ChecksumKept final : private OwnedOutput, public ForwardingOutput {
public:
    ChecksumKept(std::unique_ptr<OutputFile> output, HostServices& host, bool fix)
        : OwnedOutput{std::move(output)}, ForwardingOutput(*owned), host_(host), fix_(fix) {}
    void Commit() override {
        WrittenInput written(output_, output_.Path());
        std::string said;
        if (const auto after = ReadInternalChecksum(written); after && !after->Right()) {
            if (fix_ || host_.Ask(kFixChecksumQuestion)) {
                FixInternalChecksum(output_, *after);
                said = "Mended the result's " + EachWrong(*after, [](const ChecksumField& f) {
                    return f.name + ": " + f.statedText + " is now " + f.computedText;
                }) + "; nothing else changed.";
            } else {
                said = "The result's " + EachWrong(*after, [](const ChecksumField& f) {
                    return f.name + " is wrong (the header says " + f.statedText + ", the image sums to " +
                           f.computedText + ")";
                }) + ", where the original's was right: some emulators, flash carts and FPGA cores refuse or warn "
                     "about such a ROM. Yes to \"" + std::string(kFixChecksumQuestion) + "\" (apply --fix-checksum on "
                     "the command line) writes the right value.";
            }
        }
        output_.Commit();
        if (!said.empty()) host_.ShowMessage(said, MessageStyle::Plain);
    }

private:
    HostServices& host_;
    bool fix_;
};

}  // namespace

bool InternalChecksumRight(InputFile& original) {
    const auto checksum = ReadInternalChecksum(original);
    return checksum && checksum->Right();
}

std::unique_ptr<OutputFile> KeepInternalChecksum(HostServices& host, std::unique_ptr<OutputFile> output,
                                                 bool originalRight, bool fix) {
    if (!originalRight) return output;
    return std::make_unique<ChecksumKept>(std::move(output), host, fix);
}

bool InternalChecksum::Right() const {
    return std::all_of(fields.begin(), fields.end(), [](const ChecksumField& f) { return f.Right(); });
}

std::string InternalChecksum::Lines() const {
    std::string said;
    for (const ChecksumField& f : fields) {
        if (!said.empty()) said += "\n";
        said += f.name + (f.Right() ? ": right"
                                    : ": wrong: the header says " + f.statedText + ", the image sums to " + f.computedText);
    }
    return said;
}

std::optional<InternalChecksum> ReadInternalChecksum(InputFile& file) {
    for (const auto read : {Nintendo64, GameBoyAdvance, GameBoy, MegaDrive, Snes})
        if (auto found = read(file)) return found;
    return std::nullopt;
}

void FixInternalChecksum(OutputFile& output, const InternalChecksum& checksum) {
    for (const ChecksumField& f : checksum.fields) output.WriteAt(f.offset, f.computed);
}

}  // namespace zelk
