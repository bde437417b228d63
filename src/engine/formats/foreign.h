// What the formats ROM hacks are published in have in common, written once:
// a patch read whole and checked before anything is written; held, where it
// carries checksums, to the original's before and to the result's after; its
// comment shown, its result written through the durable output; and the
// pieces several formats build from (their numbers, a result that copies
// from itself).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/byte_reader.h"
#include "engine/file_window.h"
#include "engine/formats/format.h"

namespace zelk {

// Found while reading a patch: what is wrong with it, in the words that
// follow "Damaged patch file PATH: ".
struct Damage {
    std::string what;
};

// The files a patch was made between, as it states them.
struct Stated {
    std::uint64_t sourceSize = 0;
    std::uint64_t targetSize = 0;
    std::uint32_t sourceCrc = 0;
    std::uint32_t targetCrc = 0;
};

// The byte orders N64 images come in (.z64 big-endian, .v64 with the bytes
// of each pair swapped, .n64 little-endian words), and the conversion
// between two of them, each its own inverse.
enum class Reorder { None, SwapPairs, ReverseWords, SwapHalves };
// Converts the whole 4-byte words of `bytes`.
void ReorderWords(Reorder how, std::span<std::uint8_t> bytes);

// Another way to read a file that may be the patch's original: behind the
// header it starts with (kept in front of the result), or converted to
// another N64 byte order (the result converted back).
struct View {
    std::uint64_t skip = 0;
    std::string header;  // "iNES", "FDS", "Lynx", "copier"
    Reorder order = Reorder::None;
    std::string from, to;  // the file's byte order and the one read: ".v64", ".z64"
};
// The other views a file allows, by its first bytes and its size.
std::vector<View> OtherViews(InputFile& file);
// Where `file` is `expectedSize` bytes short of a header's length: a
// sentence naming the header it likely lacks; otherwise nothing.
std::string LackedHeader(InputFile& file, std::uint64_t expectedSize);

// The evidence of a check that found the original in `view`: `found` says
// what matched ("its MD5 is that").
std::string ViewEvidence(const View& view, std::string_view found);

// `file` read through a view.
class ViewedInput final : public InputFile {
public:
    ViewedInput(InputFile& file, const View& view);
    std::uint64_t Size() const override;
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override;
    const std::string& Path() const override { return file_.Path(); }
    void ExpectSequential() override { file_.ExpectSequential(); }

private:
    InputFile& file_;
    View view_;
    std::vector<std::uint8_t> scratch_;
};

// The first of the file's other views through which `fits` finds it the
// patch's original, or nothing.
template <class Fits>
std::optional<View> FirstView(InputFile& file, Fits&& fits) {
    for (const View& view : OtherViews(file)) {
        ViewedInput viewed(file, view);
        if (fits(static_cast<InputFile&>(viewed))) return view;
    }
    return std::nullopt;
}

// What a patch that states checksums makes of a file, by its size and CRC-32.
enum class Match {
    Source,        // the patch's original
    SourceInView,  // the patch's original behind a header or in another byte order
    Target,        // the file the patch makes
    Neither,
};
struct FileIdentity {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    Match match = Match::Neither;
    View view;
    std::string lacked;  // the header it likely lacks, in a sentence
};
// Reads the file once, and again through each other view of the
// original's size, where `viewsToo`.
FileIdentity IdentifyFile(InputFile& file, const Stated& stated, bool viewsToo, std::size_t bufferSize);

// How to apply: from which byte of the original (past a header, which is
// kept in front), in which byte order, and which way.
struct Plan {
    std::uint64_t skip = 0;
    // The patch's offsets count a copier header the original lacks: the
    // result is made as if it were there, and it is left out again.
    std::uint64_t unshift = 0;
    Reorder order = Reorder::None;
    bool reverse = false;
    std::size_t part = 0;  // which of the files a patch of several describes
    // Where the user asked to apply all the same: what a result's own
    // checksum finds wrong is a warning here, not the end.
    HostServices* warnTo = nullptr;
};

// A patch in one of those formats, read whole. Each format fills in what it
// states and how its bytes are written; applying, checking and describing
// are alike for all.
class ForeignPatch : public ReadPatch {
public:
    explicit ForeignPatch(const PatchFormat& format) : format_(&format) {}

    std::string damage;             // empty for a sound patch
    std::optional<Stated> stated;   // where the format carries checksums
    bool reversible = false;        // applied to its result, it gives back its original
    bool headerAware = false;       // its original is also found behind a header or in another byte order

    std::optional<Stop> Refusal(const std::string& patchPath) const override;
    Verdict Check(InputFile& file, InputFile& patch, std::size_t bufferSize) const override;
    std::string ApplyDone() const override;
    std::string Expected() const override;
    std::optional<Stop> Apply(HostServices& host, Inputs& in, const std::string& outputPath,
                              const ApplyOptions& options) const override;
    void ShowInfo(HostServices& host, std::unique_ptr<InputFile> patch) const override;

    // Reads the whole patch and checks it, or throws its Damage.
    virtual void ReadWhole(InputFile& patch, std::size_t bufferSize) = 0;

protected:
    // Writes the result of applying the patch to `original` (already past
    // any header) at the end of `output`, and returns its CRC-32 where the
    // patch states one. A patch that reads past the original's end stops
    // with a FileError. A Damage now means the patch changed meanwhile,
    // unless the format finds some damage only while writing (CheckedWhole).
    virtual std::uint32_t Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                                const BufferSizes& sizes) const = 0;
    // The size of what Write makes of an original of `originalSize` bytes
    // (past any header).
    virtual std::uint64_t ResultSize(std::uint64_t originalSize, const Plan& plan) const = 0;
    // Whether reading found every damage the patch may have; where it did
    // not (a format whose instructions are found only while decoding), a
    // damage found while writing is told as such.
    virtual bool CheckedWhole() const { return true; }
    // For a patch without checksums: what its bytes tell of `file`.
    virtual Verdict Compare(InputFile& file, InputFile& patch, std::size_t bufferSize) const;
    // What info says after the format's name, each line after a newline.
    virtual std::string InfoLines() const = 0;
    // The patch's comment, where it has one that is text.
    virtual std::unique_ptr<CommentReader> Comment(InputFile&, FileServices&) const { return nullptr; }
    // Refuses a wrong original, or decides how to apply to it: by the
    // stated checksums where the patch has them.
    virtual std::optional<Stop> PlanFor(HostServices& host, InputFile& original, InputFile& patch,
                                        const std::string& originalPath, const ApplyOptions& options, Plan& plan,
                                        std::string& note) const;

    // What reading found it to be: a variant of the format it was read as.
    void Become(const PatchFormat& format) { format_ = &format; }
    // The plan and the note for a file that is the patch's original in `view`.
    void Take(const View& view, const std::string& originalPath, Plan& plan, std::string& note) const;


private:
    const PatchFormat* format_;
};

// `read` filled in from `patch`: sound, or with its damage.
std::unique_ptr<ReadPatch> ReadForeign(std::unique_ptr<ForeignPatch> read, InputFile& patch, std::size_t bufferSize);

// A result written front to back with its CRC-32, and readable again for
// the copies a patch makes from it.
class TargetWriter {
public:
    // `recent`: how many of the newest bytes are kept in memory for copies
    // (0 where the patch never copies from its result); older ones are read
    // back from the output, from `base` on.
    TargetWriter(OutputFile& output, std::uint64_t base, std::size_t recent);
    void Put(std::span<const std::uint8_t> bytes);
    // Copies `length` bytes from `from`, before the end: where they overlap
    // what the copy writes, the bytes between repeat.
    void Copy(std::uint64_t from, std::uint64_t length);
    std::uint64_t Size() const { return size_; }
    std::uint32_t Crc() const { return crc_; }
    std::vector<std::uint8_t>& Scratch() { return scratch_; }

private:
    void Remember(std::span<const std::uint8_t> bytes);
    void Recall(std::uint64_t from, std::span<std::uint8_t> into);

    OutputFile& output_;
    std::uint64_t base_;
    std::vector<std::uint8_t> recent_;
    std::vector<std::uint8_t> scratch_;
    std::uint64_t size_ = 0;
    std::uint32_t crc_ = 0;
};

// Writers of a result from records of new bytes at offsets (IPS, PPF, APS):
// each record's bytes are taken from the patch's reader, a run repeats one
// byte; the result is cut at `result` bytes and padded with zeros.
//
// Records in ascending order: one pass, the original's bytes between them
// (long stretches copied by the system). Call FillTo(result) at the end.
class InOrderRecords {
public:
    InOrderRecords(InputFile& original, OutputFile& output, const BufferSizes& sizes, std::uint64_t result);
    void FillTo(std::uint64_t to);
    void Data(std::uint64_t offset, std::uint64_t size, ByteReader& reader);
    void Run(std::uint64_t offset, std::uint64_t count, std::uint8_t byte);

private:
    std::uint64_t Kept(std::uint64_t offset, std::uint64_t length) const;
    InputFile& original_;
    FileWindow window_;
    OutputFile& output_;
    std::uint64_t base_;  // where the result starts in the output (behind a header kept)
    const BufferSizes& sizes_;
    std::uint64_t result_;
    std::uint64_t at_ = 0;
    std::vector<std::uint8_t> scratch_;
};
// Records in any other order: over a copy of the original already in
// `output`, later records winning.
class AnyOrderRecords {
public:
    AnyOrderRecords(OutputFile& output, std::uint64_t base, std::uint64_t result);
    void Data(std::uint64_t offset, std::uint64_t size, ByteReader& reader);
    void Run(std::uint64_t offset, std::uint64_t count, std::uint8_t byte);

private:
    OutputFile& output_;
    std::uint64_t base_;
    std::uint64_t result_;
    std::vector<std::uint8_t> scratch_;
};

// What reading a patch's records counts, as their visitor: how many, the
// farthest end, and whether each starts at or after the one before ends.
struct RecordCounts {
    std::uint64_t records = 0, maxEnd = 0;
    bool ascending = true;
    void Data(std::uint64_t offset, std::uint64_t size, ByteReader&) { Note(offset, size); }
    void Run(std::uint64_t offset, std::uint64_t count, std::uint8_t) { Note(offset, count); }

private:
    void Note(std::uint64_t offset, std::uint64_t count) {
        ++records;
        ascending = ascending && offset >= end_;
        end_ = offset + count;
        maxEnd = std::max(maxEnd, end_);
    }
    std::uint64_t end_ = 0;
};

// The result of `result` bytes: `walk(writer)` hands the records to the
// writer that suits their order.
template <class Walk>
void WriteRecords(InputFile& original, OutputFile& output, const BufferSizes& sizes, std::uint64_t result,
                  bool ascending, Walk&& walk) {
    if (ascending) {
        InOrderRecords writer(original, output, sizes, result);
        walk(writer);
        writer.FillTo(result);
    } else {
        const std::uint64_t base = output.Size();
        output.AppendFrom(original, 0, std::min(original.Size(), result));
        output.ExtendTo(base + result);
        AnyOrderRecords writer(output, base, result);
        walk(writer);
    }
}

// Text in the host's code page from stretches of the patch, a blank line
// between them.
struct Stretch {
    std::uint64_t offset = 0, length = 0;
};
// A fixed field of text at `offset`, without the spaces or zeros it is padded with.
Stretch PaddedText(std::span<const std::uint8_t> field, std::uint64_t offset);
// (With `utf8`, text that is UTF-8 already.)
std::unique_ptr<CommentReader> CodePageComment(InputFile& patch, FileServices& files, std::vector<Stretch> stretches,
                                               bool utf8 = false);

// UTF-8 text without NUL, checked a piece at a time.
class TextCheck {
public:
    void Feed(std::span<const std::uint8_t> bytes);
    bool Text() const { return ok_ && needed_ == 0; }

private:
    int needed_ = 0;
    bool ok_ = true;
};
// A comment of UTF-8 text at `offset` in the patch, handed out in slices
// each cut before a character's start.
std::unique_ptr<CommentReader> Utf8Comment(InputFile& patch, std::uint64_t offset, std::uint64_t length);

// The pieces a patch is read and written in.
inline constexpr std::size_t kChunk = 64 * 1024;
// Larger sizes and offsets are no file's on any system we run on, and the
// page counts bytes in doubles, exact up to here.
inline constexpr std::uint64_t kMaxSize = (std::uint64_t{1} << 53) - 1;

// Hands `length` bytes of the reader to `take`, a piece at a time.
template <class Take>
void TakePieces(ByteReader& reader, std::uint64_t length, Take&& take) {
    while (length > 0) {
        const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(length, kChunk)));
        take(piece);
        length -= piece.size();
    }
}

std::uint8_t ReadByte(ByteReader& reader);
// The CRC-32 of a file's first `length` bytes, read front to back.
std::uint32_t CrcOfFirst(InputFile& file, std::uint64_t length, std::size_t bufferSize);
std::uint32_t ReadLe32(const std::uint8_t* bytes);
// The low 32 bits of `value`, low byte first.
void PutLe32(std::uint8_t* at, std::uint64_t value);

// The formats whose patch ends with three CRC-32s (source, target, the
// patch itself) and whose numbers take seven bits a byte, low first, the
// last byte marked by its top bit, each longer form starting where the
// shorter ones end.
namespace checksummed {

inline constexpr std::uint64_t kFooterSize = 12;
// What such a patch states before its body and in its footer.
struct Head {
    Stated stated;
    std::uint32_t patchCrc = 0;
    std::uint64_t bodyEnd = 0;  // where the footer starts
};
// Reads the footer, holding the patch to its own CRC-32 first (a damaged or
// cut file says so plainly), then the two sizes from `reader`, which starts
// right after the magic and is left after them.
Head ReadHead(InputFile& patch, ByteReader& reader, std::size_t bufferSize);
// A number, which must end before `end`.
std::uint64_t ReadNumber(ByteReader& reader, std::uint64_t end);
// The same, written into `out`, which has room for kMaxNumberBytes; returns
// how many bytes it took.
inline constexpr std::size_t kMaxNumberBytes = 10;
std::size_t EncodeNumber(std::uint64_t value, std::uint8_t* out);

// Such a patch's bytes as they are written, with their CRC-32.
class Writer {
public:
    explicit Writer(OutputFile& out) : out_(out) {}
    void Put(std::span<const std::uint8_t> bytes);
    void Number(std::uint64_t value);
    void Le32(std::uint32_t value);
    // The two files' CRC-32s, then the patch's own.
    void Footer(std::uint32_t sourceCrc, std::uint32_t targetCrc);

private:
    OutputFile& out_;
    std::uint32_t crc_ = 0;
};

}  // namespace checksummed

// Making a patch of another format: the inputs opened, `write` fills the
// patch, which then replaces its target; a format that keeps no comment
// says that it left one out.
using WritePatch = std::function<void(InputFile& original, InputFile& changed, OutputFile& patch)>;
std::optional<Stop> MakeForeign(HostServices& host, const MakeRequest& request, const PatchFormat& format,
                                bool keepsComment, const WritePatch& write);
// The same for a format whose comment is a fixed field of `room` bytes in
// the code page our own comments are written in (or, with `utf8`, in UTF-8,
// cut before a character): cut where longer, and said so.
using WriteDescribed = std::function<void(InputFile& original, InputFile& changed, OutputFile& patch,
                                          const std::string& description)>;
std::optional<Stop> MakeDescribed(HostServices& host, const MakeRequest& request, const PatchFormat& format,
                                  std::size_t room, const WriteDescribed& write, bool utf8 = false);

}  // namespace zelk
