#include "engine/formats/vcdiff.h"

#include <algorithm>
#include <array>
#include <memory>
#include <cstring>
#include <vector>

#include "engine/byte_reader.h"
#include "engine/file_window.h"
#include "engine/formats/foreign.h"
#include "engine/formats/vcdiff_code.h"
#include "engine/formats/vcdiff_maker.h"
#include "engine/formats/vcdiff_secondary.h"
#include "engine/user_texts.h"
#include "host/crc32.h"

namespace zelk {

namespace {

constexpr std::uint64_t kMagic = 4;  // D6 C3 C4 00
// A window is made whole in memory: larger ones are refused by name.
constexpr std::uint64_t kMaxWindow = 64 << 20;
// What one section may hold, compressed or not.
constexpr std::uint64_t kMaxSection = 2 * kMaxWindow;
// A code table's delta is far smaller than this.
constexpr std::uint64_t kMaxCodeTable = 1 << 20;
// Copies from the original this long are read straight into the window.
constexpr std::size_t kDirectRead = 64 << 10;

using namespace vcdiff;

std::string At(std::uint64_t at) { return " at byte " + std::to_string(at); }

// A number as VCDIFF writes it: seven bits a byte, the highest first, every
// byte but the last with its top bit set.
template <class NextByte>
std::uint64_t Varint(NextByte&& next, std::uint64_t at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 10; ++i) {
        const std::uint8_t byte = next();
        if (value > (kMaxExactSize >> 7)) throw Damage{text::NumberTooLarge(at)};
        value = value << 7 | (byte & 0x7Fu);
        if ((byte & 0x80) == 0) return value;
    }
    throw Damage{text::NumberTooLarge(at)};
}

std::uint64_t ReadVarint(ByteReader& reader, std::uint64_t end) {
    const std::uint64_t at = reader.Position();
    return Varint(
        [&] {
            if (reader.Position() >= end) throw Damage{"it is cut short" + At(at)};
            return ReadByte(reader);
        },
        at);
}

std::uint8_t ReadOne(ByteReader& reader, std::uint64_t end) {
    if (reader.Position() >= end) throw Damage{"it is cut short" + At(reader.Position())};
    return ReadByte(reader);
}

// The table as a patch may state its own: each field of the pairs in turn.
constexpr std::size_t kTableString = 6 * 256;
std::vector<std::uint8_t> TableString(const CodeTable& table) {
    std::vector<std::uint8_t> out(kTableString);
    for (std::size_t i = 0; i < 256; ++i)
        for (std::size_t half = 0; half < 2; ++half) {
            out[half * 256 + i] = table[i][half].type;
            out[512 + half * 256 + i] = table[i][half].size;
            out[1024 + half * 256 + i] = table[i][half].mode;
        }
    return out;
}

// How a patch's instructions are coded.
struct Coding {
    std::shared_ptr<const CodeTable> table;  // null: the default one
    std::size_t near = kNearSize, same = kSameSize;  // the sizes of the address caches
    int compressor = kNoCompressor;
    const CodeTable& Table() const { return table ? *table : DefaultTable(); }
};

// What a window's header says, as read in the first pass and again in the second.
struct Window {
    std::uint64_t at = 0;  // where it starts in the patch
    std::uint8_t indicator = 0;
    std::uint64_t segmentLength = 0;
    std::uint64_t segmentPosition = 0;
    std::uint64_t targetLength = 0;
    std::uint8_t deltaIndicator = 0;
    std::uint64_t sections[3] = {};  // data, instructions, addresses
    std::optional<std::uint32_t> adler;
    std::uint64_t end = 0;  // where the next one starts
};

class VcdiffPatch final : public ForeignPatch {
public:
    explicit VcdiffPatch(const PatchFormat& format) : ForeignPatch(format) {}

    Coding coding;
    std::uint64_t appHeaderAt = 0, appHeaderSize = 0;
    std::string sourceName;   // from xdelta3's application header
    ExpectedOriginal ExpectedKeys() const override { return {std::nullopt, std::nullopt, std::nullopt, sourceName}; }
    std::uint64_t bodyStart = 0;
    std::uint64_t windows = 0;
    std::uint64_t targetSize = 0;
    std::uint64_t sourceFrom = 0, sourceTo = 0;  // the span of the original its windows read
    bool readsSource = false;
    bool allChecksummed = true;

    void ReadWhole(InputFile& patch, std::size_t bufferSize) override;

protected:
    std::uint32_t Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                        const BufferSizes& sizes) const override;
    std::uint64_t ResultSize(std::uint64_t, const Plan&) const override { return targetSize; }
    bool CheckedWhole() const override { return false; }
    Verdict Compare(InputFile& file, InputFile& patch, std::size_t bufferSize) const override;
    std::string InfoLines() const override;
    bool Blind(InputFile&) const override { return !allChecksummed; }
    std::optional<Stop> PlanFor(HostServices& host, InputFile& original, InputFile& patch,
                                const std::string& originalPath, const EvidenceRule& rule, Plan& plan,
                                std::string& note) const override;

private:
    friend class Decoder;
    bool Holds(InputFile& file, InputFile& patch, std::size_t bufferSize, std::uint64_t windows) const;
    void ReadHeader(ByteReader& reader, std::uint64_t end, InputFile& patch);
    void ReadCodeTable(std::span<const std::uint8_t> bytes, const std::string& path);
};

Window ReadWindow(ByteReader& reader, std::uint64_t end, std::uint64_t targetSoFar) {
    Window w;
    w.at = reader.Position();
    w.indicator = ReadOne(reader, end);
    if (w.indicator & ~(kSourceSegment | kTargetSegment | kChecksum))
        throw Damage{"window" + At(w.at) + " has an indicator it cannot have"};
    if ((w.indicator & kSourceSegment) && (w.indicator & kTargetSegment))
        throw Damage{"window" + At(w.at) + " copies from both files"};
    if (w.indicator & (kSourceSegment | kTargetSegment)) {
        w.segmentLength = ReadVarint(reader, end);
        w.segmentPosition = ReadVarint(reader, end);
        if (w.segmentPosition > kMaxExactSize - w.segmentLength) throw Damage{text::NumberTooLarge(w.at)};
        if ((w.indicator & kTargetSegment) && w.segmentPosition + w.segmentLength > targetSoFar)
            throw Damage{"window" + At(w.at) + " copies from result bytes not made yet"};
    }
    const std::uint64_t deltaLength = ReadVarint(reader, end);
    const std::uint64_t deltaStart = reader.Position();
    if (deltaLength > end - deltaStart) throw Damage{"window" + At(w.at) + " is cut short"};
    const std::uint64_t deltaEnd = deltaStart + deltaLength;
    w.targetLength = ReadVarint(reader, deltaEnd);
    if (w.targetLength > kMaxWindow)
        throw Damage{"window" + At(w.at) + " makes " + text::CountOf(w.targetLength) +
                     ", more than the 64 MiB a window may make here"};
    w.deltaIndicator = ReadOne(reader, deltaEnd);
    if (w.deltaIndicator & ~(kDataCompressed | kInstCompressed | kAddrCompressed))
        throw Damage{"window" + At(w.at) + " has a delta indicator it cannot have"};
    std::uint64_t total = 0;
    for (std::uint64_t& section : w.sections) {
        section = ReadVarint(reader, deltaEnd);
        if (section > kMaxSection) throw Damage{"a section of window" + At(w.at) + " is larger than any window needs"};
        total += section;
    }
    if (w.indicator & kChecksum) {
        std::uint8_t sum[4];
        for (std::uint8_t& b : sum) b = ReadOne(reader, deltaEnd);
        w.adler = static_cast<std::uint32_t>(sum[0]) << 24 | sum[1] << 16 | sum[2] << 8 | sum[3];
    }
    if (total != deltaEnd - reader.Position()) throw Damage{"the sections of window" + At(w.at) + " do not fill it"};
    w.end = deltaEnd;
    reader.Seek(deltaEnd);
    return w;
}

void VcdiffPatch::ReadHeader(ByteReader& reader, std::uint64_t end, InputFile& patch) {
    if (end < kMagic + 1) throw Damage{text::CutShort()};
    reader.Seek(kMagic);
    const std::uint8_t indicator = ReadOne(reader, end);
    if (indicator & ~(kDecompress | kCodeTable | kAppHeader)) throw Damage{"its header has an indicator it cannot have"};
    if (indicator & kDecompress) {
        coding.compressor = ReadOne(reader, end);
        if (!SectionDecoderFor(coding.compressor))
            throw Damage{"its sections are compressed by an unknown method (" + std::to_string(coding.compressor) + ")"};
    }
    if (indicator & kCodeTable) {
        const std::uint64_t length = ReadVarint(reader, end);
        const std::uint64_t at = reader.Position();
        if (length > end - at) throw Damage{"its code table runs past the end of the file"};
        if (length < 3 || length > kMaxCodeTable) throw Damage{"its code table has a length it cannot have"};
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
        patch.ReadExactly(at, bytes);
        ReadCodeTable(bytes, patch.Path());
        reader.Seek(at + length);
    }
    if (indicator & kAppHeader) {
        appHeaderSize = ReadVarint(reader, end);
        appHeaderAt = reader.Position();
        if (appHeaderSize > end - appHeaderAt) throw Damage{"its application header runs past the end of the file"};
        // xdelta3 names the files in it: "TARGET//SOURCE/".
        if (appHeaderSize <= 4096) {
            std::string header(static_cast<std::size_t>(appHeaderSize), '\0');
            patch.ReadExactly(appHeaderAt, {reinterpret_cast<std::uint8_t*>(header.data()), header.size()});
            const std::size_t split = header.find("//");
            if (split != std::string::npos && header.size() > split + 2 && header.back() == '/')
                sourceName = header.substr(split + 2, header.size() - split - 3);
        }
        reader.Seek(appHeaderAt + appHeaderSize);
    }
}

void VcdiffPatch::ReadWhole(InputFile& patch, std::size_t bufferSize) {
    const std::uint64_t end = patch.Size();
    ByteReader reader(patch, 0, bufferSize);
    ReadHeader(reader, end, patch);
    bodyStart = reader.Position();
    while (reader.Position() < end) {
        const Window w = ReadWindow(reader, end, targetSize);
        if (w.deltaIndicator != 0 && coding.compressor == kNoCompressor)
            throw Damage{"window" + At(w.at) + " says its sections are compressed, and the patch names no method"};
        if (w.indicator & kSourceSegment) {
            sourceFrom = readsSource ? std::min(sourceFrom, w.segmentPosition) : w.segmentPosition;
            sourceTo = std::max(sourceTo, w.segmentPosition + w.segmentLength);
            readsSource = true;
        }
        allChecksummed = allChecksummed && w.adler.has_value();
        if (w.targetLength > kMaxExactSize - targetSize) throw Damage{text::NumberTooLarge(w.at)};
        targetSize += w.targetLength;
        ++windows;
    }
}

// Bytes that are written before they are read: never cleared first.
class Buffer {
public:
    std::span<std::uint8_t> Resize(std::size_t size) {
        if (size > capacity_) {
            data_.reset(new std::uint8_t[size]);  // left as it is: every byte is written before it is read
            capacity_ = size;
        }
        size_ = size;
        return {data_.get(), size_};
    }
    std::uint8_t* data() { return data_.get(); }
    const std::uint8_t* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    std::uint8_t& operator[](std::size_t i) { return data_[i]; }
    operator std::span<const std::uint8_t>() const { return {data_.get(), size_}; }

private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

// The bytes of one section, read from the front.
struct Section {
    Buffer bytes;
    std::size_t pos = 0;
    std::uint64_t at = 0;  // where it starts in the patch, for messages
    const char* name = "";
    std::uint8_t Byte() {
        if (pos >= bytes.size()) throw Damage{std::string("the ") + name + " section" + At(at) + " is cut short"};
        return bytes[pos++];
    }
    std::uint64_t Number() { return Varint([&] { return Byte(); }, at); }
    std::span<const std::uint8_t> Take(std::uint64_t count) {
        if (count > bytes.size() - pos) throw Damage{std::string("the ") + name + " section" + At(at) + " is cut short"};
        pos += static_cast<std::size_t>(count);
        return {bytes.data() + pos - count, static_cast<std::size_t>(count)};
    }
};

// A window whose result does not have its checksum: the wrong original.
class WrongWindow final : public FileError {
public:
    using FileError::FileError;
};

// Applies (or, with no output, only checks) the windows one after another.
class Decoder {
public:
    // The windows from `start` on; with no output, only checked. The
    // output's result starts at `outputBase` (behind a header kept).
    Decoder(const Coding& coding, const std::string& sourceName, InputFile& original, InputFile& patch,
            std::uint64_t start, OutputFile* output, std::size_t bufferSize, std::uint64_t outputBase = 0)
        : coding_(coding), sourceName_(sourceName), original_(original), patch_(patch), output_(output), outputBase_(outputBase),
          reader_(patch, start, bufferSize), source_(original, bufferSize), cache_(coding.near, coding.same) {
        for (int kind = 0; kind < 3; ++kind) secondary_[kind] = SectionDecoderFor(coding.compressor);
    }

    // Every window in turn (the first `limit`); one whose checksum fails
    // stops it. `kept` receives what they make, where it is wanted in memory.
    void Run(std::vector<std::uint8_t>* kept = nullptr, std::uint64_t limit = UINT64_MAX) {
        std::uint64_t made = 0;
        for (std::uint64_t n = 0; n < limit && reader_.Position() < patch_.Size(); ++n) {
            const Window w = ReadWindow(reader_, patch_.Size(), made);
            // The segment lies within the original: one declared past its end
            // was made from a longer file, even where no copy reaches that far.
            if ((w.indicator & kSourceSegment) && w.segmentPosition + w.segmentLength > original_.Size())
                throw WrongWindow(text::ReadsPastTheFile(original_.Path()) + " (window at byte " +
                                  std::to_string(w.at) + ")");
            Decode(w);
            if (w.adler && Adler32(1, target_) != *w.adler) throw WrongOriginal(w, made);
            if (output_ != nullptr) output_->Append(target_);
            if (kept != nullptr) kept->insert(kept->end(), target_.data(), target_.data() + target_.size());
            made += target_.size();
        }
    }

private:
    WrongWindow WrongOriginal(const Window& w, std::uint64_t made) const {
        std::string said = original_.Path() + " is not the file this xdelta patch was made for: the result's bytes " +
                           std::to_string(made) + " to " + std::to_string(made + w.targetLength) +
                           " (window at byte " + std::to_string(w.at) + ") do not have the checksum the patch gives";
        if (!sourceName_.empty()) said += "; it was made from a file called " + sourceName_;
        // The patch carries no checksum of its own: damage looks the same.
        return WrongWindow(said + " (unless the patch itself is damaged)");
    }

    void ReadSection(const Window& w, int kind, std::uint64_t at, Section& section) {
        static const char* const kNames[] = {"data", "instructions", "addresses"};
        const bool compressed = (w.deltaIndicator & (1 << kind)) != 0;
        Section& raw = compressed ? compressed_ : section;
        for (Section* s : {&raw, &section}) {
            s->name = kNames[kind];
            s->at = at;
            s->pos = 0;
        }
        patch_.ReadExactly(at, raw.bytes.Resize(static_cast<std::size_t>(w.sections[kind])));
        if (!compressed) {
            if (secondary_[kind]) secondary_[kind]->Skipped(raw.bytes);
            return;
        }
        if (!secondary_[kind])
            throw Damage{"window" + At(w.at) + " says its sections are compressed, and names no method"};
        const std::uint64_t size = raw.Number();
        if (size > kMaxSection) throw Damage{"a compressed section" + At(at) + " states a length larger than any window needs"};
        secondary_[kind]->Decode(std::span<const std::uint8_t>(raw.bytes).subspan(raw.pos),
                                 section.bytes.Resize(static_cast<std::size_t>(size)), at);
    }

    void Decode(const Window& w) {
        std::uint64_t at = w.end - w.sections[0] - w.sections[1] - w.sections[2];
        for (int kind = 0; kind < 3; ++kind) {
            ReadSection(w, kind, at, sections_[kind]);
            at += w.sections[kind];
        }
        target_.Resize(static_cast<std::size_t>(w.targetLength));
        std::size_t out = 0;
        cache_.Reset();
        const CodeTable& table = coding_.Table();
        Section& instructions = sections_[1];
        while (instructions.pos < instructions.bytes.size()) {
            const auto& pair = table[instructions.Byte()];
            for (const Instruction& inst : pair) {
                if (inst.type == kNoop) continue;
                const std::uint64_t size = inst.size != 0 ? inst.size : instructions.Number();
                if (size > target_.size() - out) throw Damage{"window" + At(w.at) + " makes more than its length"};
                Execute(w, inst, static_cast<std::size_t>(size), out);
                out += static_cast<std::size_t>(size);
            }
        }
        if (out != target_.size()) throw Damage{"window" + At(w.at) + " makes less than its length"};
        if (sections_[0].pos != sections_[0].bytes.size() || sections_[2].pos != sections_[2].bytes.size())
            throw Damage{"window" + At(w.at) + " leaves bytes of its sections unused"};
    }

    void Execute(const Window& w, const Instruction& inst, std::size_t size, std::size_t out) {
        if (inst.type == kAdd) {
            const auto bytes = sections_[0].Take(size);
            if (size > 0) std::memcpy(target_.data() + out, bytes.data(), size);
            return;
        }
        if (inst.type == kRun) {
            std::fill_n(target_.data() + out, size, sections_[0].Byte());
            return;
        }
        const std::uint64_t here = w.segmentLength + out;
        const std::uint64_t address = Address(inst.mode, here, w.at);
        if (address >= here) throw Damage{"a copy in window" + At(w.at) + " reads from where it writes or beyond"};
        std::uint8_t* to = target_.data() + out;
        if (address < w.segmentLength) {
            // From the segment, as far as it reaches; what follows comes from this window.
            const std::uint64_t fromSegment = std::min<std::uint64_t>(size, w.segmentLength - address);
            ReadSegment(w, address, {to, static_cast<std::size_t>(fromSegment)});
            for (std::size_t i = static_cast<std::size_t>(fromSegment); i < size; ++i) to[i] = target_[i - fromSegment];
            return;
        }
        const std::size_t from = static_cast<std::size_t>(address - w.segmentLength);
        for (std::size_t i = 0; i < size; ++i) to[i] = target_[from + i];  // may overlap what it writes
    }

    void ReadSegment(const Window& w, std::uint64_t address, std::span<std::uint8_t> into) {
        const std::uint64_t position = w.segmentPosition + address;
        if (w.indicator & kTargetSegment) {
            if (output_ == nullptr)
                throw FileError("Cannot check " + patch_.Path() +
                                ": it copies from its own result, which only applying it makes");
            output_->ReadBack(outputBase_ + position, into);
            return;
        }
        if (position + into.size() > original_.Size()) throw FileError(text::ReadsPastTheFile(original_.Path()));
        // Long stretches straight from the file; short ones through the window.
        if (into.size() >= kDirectRead) {
            original_.ReadExactly(position, into);
            return;
        }
        for (std::size_t done = 0; done < into.size();) {
            const auto piece = source_.At(position + done, into.size() - done);
            std::memcpy(into.data() + done, piece.data(), piece.size());
            done += piece.size();
        }
    }

    std::uint64_t Address(std::uint8_t mode, std::uint64_t here, std::uint64_t windowAt) {
        Section& addresses = sections_[2];
        std::uint64_t address = 0;
        if (mode == 0) {
            address = addresses.Number();
        } else if (mode == 1) {
            const std::uint64_t back = addresses.Number();
            if (back > here) throw Damage{"a copy in window" + At(windowAt) + " reaches before its start"};
            address = here - back;
        } else if (mode < 2 + cache_.Near().size()) {
            address = cache_.Near()[mode - 2] + addresses.Number();
        } else {
            const std::size_t slot = (mode - 2 - cache_.Near().size()) * 256 + addresses.Byte();
            if (slot >= cache_.Same().size()) throw Damage{"a copy in window" + At(windowAt) + " has a mode it cannot have"};
            address = cache_.Same()[slot];
        }
        cache_.Update(address);
        return address;
    }

    const Coding& coding_;
    const std::string& sourceName_;
    InputFile& original_;
    InputFile& patch_;
    OutputFile* output_;
    std::uint64_t outputBase_;
    ByteReader reader_;
    FileWindow source_;
    std::unique_ptr<SectionDecoder> secondary_[3];
    Section sections_[3];
    Section compressed_;  // a section as it stands in the patch, before inflating
    Buffer target_;
    AddressCache cache_;
};

// Bytes in memory read as a file.
class MemoryInput final : public InputFile {
public:
    MemoryInput(std::vector<std::uint8_t> bytes, const std::string& path) : bytes_(std::move(bytes)), path_(path) {}
    std::uint64_t Size() const override { return bytes_.size(); }
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        if (offset >= bytes_.size() || buffer.empty()) return 0;
        const std::size_t count = std::min<std::size_t>(buffer.size(), bytes_.size() - static_cast<std::size_t>(offset));
        std::memcpy(buffer.data(), bytes_.data() + offset, count);
        return count;
    }
    const std::string& Path() const override { return path_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::string path_;
};

// The table is given as one window that makes its string from the default
// table's, coded with the default table itself.
void VcdiffPatch::ReadCodeTable(std::span<const std::uint8_t> bytes, const std::string& path) {
    coding.near = bytes[0];
    coding.same = bytes[1];
    if (2 + coding.near + coding.same > 256) throw Damage{"its code table has more address modes than a byte can name"};
    if (bytes[2] & kTargetSegment) throw Damage{"its code table copies from the result"};
    MemoryInput dflt(TableString(DefaultTable()), path);
    MemoryInput delta({bytes.begin() + 2, bytes.end()}, path);
    std::vector<std::uint8_t> made;
    try {
        Decoder(Coding{}, sourceName, dflt, delta, 0, nullptr, 4096).Run(&made);
    } catch (const Damage& damage) {
        throw Damage{"its code table cannot be read: " + damage.what};
    } catch (const FileError&) {
        throw Damage{"its code table cannot be read"};
    }
    if (made.size() != kTableString) throw Damage{"its code table is not " + std::to_string(kTableString) + " bytes long"};
    auto table = std::make_shared<CodeTable>();
    for (std::size_t i = 0; i < 256; ++i)
        for (std::size_t half = 0; half < 2; ++half) {
            Instruction& inst = (*table)[i][half];
            inst = {made[half * 256 + i], made[512 + half * 256 + i], made[1024 + half * 256 + i]};
            // A mode past the caches is refused only where a copy uses it.
            if (inst.type > kCopy)
                throw Damage{"its code table has an instruction it cannot have (code " + std::to_string(i) + ")"};
        }
    coding.table = std::move(table);
}

std::uint32_t VcdiffPatch::Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                                 const BufferSizes& sizes) const {
    Decoder(coding, sourceName, original, patch, bodyStart, &output, sizes.stream, plan.skip).Run();
    return 0;
}

// Whether the first `windows` windows made of `file` have their Adler-32s:
// any other failure is left to the writing, which tells it.
bool VcdiffPatch::Holds(InputFile& file, InputFile& patch, std::size_t bufferSize, std::uint64_t windows) const {
    try {
        Decoder(coding, sourceName, file, patch, bodyStart, nullptr, bufferSize).Run(nullptr, windows);
    } catch (const WrongWindow&) {
        return false;
    } catch (const Damage&) {
    } catch (const FileError&) {
    }
    return true;
}

// The first window's Adler-32 tells whether the file is the original as it
// is, or behind a header or in another N64 byte order; every window is held
// to its own as it is written.
std::optional<Stop> VcdiffPatch::PlanFor(HostServices& host, InputFile& original, InputFile& patch,
                                         const std::string& originalPath, const EvidenceRule&, Plan& plan,
                                         std::string& note) const {
    if (!allChecksummed || windows == 0) return std::nullopt;
    const std::size_t bufferSize = host.Buffers().stream;
    const auto fits = [&](InputFile& file) { return Holds(file, patch, bufferSize, 1); };
    if (fits(original)) return std::nullopt;
    if (const auto view = FirstView(original, fits)) Take(*view, originalPath, plan, note);
    return std::nullopt;
}

// Decoded without writing: the checksums decide.
Verdict VcdiffPatch::Compare(InputFile& file, InputFile& patch, std::size_t bufferSize) const {
    if (!allChecksummed)
        return {Fit::Fits, text::NoChecksum("xdelta") + ": it was made without them (xdelta3 -n)."};
    try {
        Decoder(coding, sourceName, file, patch, bodyStart, nullptr, bufferSize).Run();
    } catch (const WrongWindow& wrong) {
        const auto view = FirstView(file, [&](InputFile& viewed) { return Holds(viewed, patch, bufferSize, UINT64_MAX); });
        if (view) return {Fit::Fits, ViewEvidence(*view, "what the patch makes of it has every window's Adler-32, as has what it makes")};
        return {Fit::DoesNotFit, wrong.what() + std::string(".")};
    } catch (const Damage& damage) {
        throw FileError(text::DamagedPatch(patch.Path(), damage.what));
    }
    return {Fit::Fits, "Every window's Adler-32 is that of the result the patch makes of this file."};
}

std::string VcdiffPatch::InfoLines() const {
    std::string said = "\nSecondary compression: ";
    said += CompressorName(coding.compressor);
    if (coding.table) said += "\nCode table: its own";
    said += "\nApplication header: ";
    said += appHeaderSize == 0 ? std::string("(none)") : sourceName.empty() ? text::CountOf(appHeaderSize) : "made from " + sourceName;
    said += "\nWindows: " + std::to_string(windows);
    said += "\nTarget: " + text::CountOf(targetSize);
    said += "\nSource read: " +
            (readsSource ? "bytes " + std::to_string(sourceFrom) + " to " + std::to_string(sourceTo) : std::string("none"));
    said += std::string("\nChecksums: ") + (allChecksummed ? "an Adler-32 for every window" : "not for every window");
    return said;
}

class Vcdiff : public PatchFormat {
public:
    std::string_view Name() const override { return "xdelta (VCDIFF)"; }
    std::string_view Key() const override { return "xdelta"; }
    std::string_view Summary() const override {
        return "made with its sections as they are, which every xdelta reader applies; read with them compressed"
               " with LZMA, DJW, FGK or not at all; held to each window's Adler-32";
    }
    std::vector<std::string_view> Extensions() const override { return {"xdelta", "vcdiff", "delta"}; }
    bool Recognises(std::span<const std::uint8_t> head) const override {
        return StartsWith(head, std::string_view("\xD6\xC3\xC4\x00", 4));
    }
    std::unique_ptr<LoadedPatch> Read(InputFile& patch, std::size_t bufferSize) const override {
        return ReadForeign(std::make_unique<VcdiffPatch>(VcdiffFormat()), patch, bufferSize);
    }
    bool Makes() const override { return true; }
    // The original's index, then the scan.
    unsigned MakePasses() const override { return 2; }
    bool KeepsComment() const override { return false; }
    std::string Make(HostServices& host, const MakeRequest& request, const MakeFiles& files) const override {
        WriteVcdiff(request, files, Compressed(), host.Buffers());
        return {};
    }

protected:
    // Whether the sections are compressed with LZMA.
    virtual bool Compressed() const { return false; }
};

// The same, its sections compressed: asked for by key, never recognised
// apart (its patches are read as any xdelta patch).
class VcdiffLzma final : public Vcdiff {
public:
    std::string_view Name() const override { return "xdelta (VCDIFF, LZMA)"; }
    std::string_view Key() const override { return "xdelta-lzma"; }
    std::string_view Summary() const override {
        return "the same, its sections compressed with LZMA as xdelta3 writes them by default: smaller, applied by"
               " xdelta3 3.0.11 and later";
    }
    bool Recognises(std::span<const std::uint8_t>) const override { return false; }

protected:
    bool Compressed() const override { return true; }
};

}  // namespace

const PatchFormat& VcdiffFormat() {
    static const Vcdiff format;
    return format;
}

const PatchFormat& VcdiffLzmaFormat() {
    static const VcdiffLzma format;
    return format;
}

}  // namespace zelk
