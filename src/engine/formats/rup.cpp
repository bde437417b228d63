#include "engine/formats/rup.h"

#include <md5.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "engine/byte_reader.h"
#include "engine/diff_scanner.h"
#include "engine/file_names.h"
#include "engine/formats/comments.h"
#include "engine/formats/foreign.h"
#include "engine/user_texts.h"

namespace zelk {

namespace {

constexpr std::string_view kName = "RUP";
constexpr std::uint64_t kInfoEnd = 2048;  // the header and the text fields
constexpr std::uint64_t kDescriptionAt = 974, kDescriptionSize = 1074;
constexpr std::size_t kDateAt = 454;
using Md5 = std::array<std::uint8_t, MD5_DIGEST_LENGTH>;

// The text fields, where they stand and how long they may be.
constexpr std::uint64_t kFields[][2] = {
    {102, 256},  // title
    {7, 84},     // author
    {91, 11},    // version
    {358, 48},   // genre
    {406, 48},   // language
    {kDateAt, 8},  // date
    {462, 512},  // web site
    {kDescriptionAt, kDescriptionSize},
};

std::string Hex(const Md5& md5) { return text::Hex(md5); }

// The file's bytes from `from` to `to` into `context`.
void Md5Range(MD5_CTX& context, InputFile& file, std::uint64_t from, std::uint64_t to, std::size_t bufferSize) {
    ByteReader reader(file, from, bufferSize);
    for (std::uint64_t at = from; at < to;) {
        const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(to - at, bufferSize)));
        MD5Update(&context, piece.data(), piece.size());
        at += piece.size();
    }
}

Md5 Md5Of(InputFile& file, std::size_t bufferSize) {
    MD5_CTX context;
    MD5Init(&context);
    Md5Range(context, file, 0, file.Size(), bufferSize);
    Md5 md5;
    MD5Final(md5.data(), &context);
    return md5;
}

// One file the patch describes.
struct Part {
    Stretch name;
    std::uint64_t sourceSize = 0, targetSize = 0;
    Md5 sourceMd5{}, targetMd5{};
    std::uint8_t kind = 0;        // the kind of file (0 for any), for patchers that mind ROM headers
    Stretch overflow;             // the longer file's bytes past the shorter's end
    std::uint64_t xorStart = 0, xorEnd = 0;  // its XOR runs in the patch
};

class RupPatch final : public ForeignPatch {
public:
    explicit RupPatch(const PatchFormat& format) : ForeignPatch(format) {}
    bool utf8 = false;
    std::string date;  // as the patch gives it: eight digits, YYYYMMDD
    std::vector<Part> parts;
    std::vector<Stretch> fields;

    void ReadWhole(InputFile& patch, std::size_t bufferSize) override;
    // A patch of one file names its original by that file's size and MD5.
    ExpectedOriginal ExpectedKeys() const override {
        if (parts.size() != 1) return {};
        return {parts[0].sourceSize, std::nullopt, parts[0].sourceMd5, {}};
    }
    std::string Expected() const override {
        std::string said;
        for (std::size_t i = 0; i < parts.size(); ++i)
            said += std::string(i == 0 ? "" : " or ") + text::CountOf(parts[i].sourceSize) + ", MD5 " + Hex(parts[i].sourceMd5);
        return said;
    }

protected:
    std::uint32_t Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                        const BufferSizes& sizes) const override;
    std::uint64_t ResultSize(std::uint64_t, const Plan& plan) const override {
        const Part& p = parts[plan.part];
        return plan.reverse ? p.sourceSize : p.targetSize;
    }
    Verdict Compare(InputFile& file, InputFile& patch, std::size_t bufferSize) const override;
    std::optional<Stop> PlanFor(HostServices& host, InputFile& original, InputFile& patch,
                                const std::string& originalPath, const EvidenceRule& rule, Plan& plan,
                                std::string& note) const override;
    std::string InfoLines() const override;
    std::unique_ptr<CommentReader> Comment(InputFile& patch, FileServices& files) const override {
        return CodePageComment(patch, files, fields, utf8);
    }
    std::string NoComment() const override { return "(none)"; }

private:
    // Which part `md5` is, and which way: none where neither.
    std::optional<Plan> Find(const Md5& md5, std::uint64_t size) const;
    // The same for `file`, as it is or in another view (its MD5 in `md5`,
    // the view in `view`).
    std::optional<Plan> Locate(InputFile& file, std::size_t bufferSize, Md5& md5, std::optional<View>& view) const;
    std::string Problem(const std::string& path, const Md5& md5) const;
};

// A number of the length its first byte states, low byte first.
std::uint64_t Number(ByteReader& reader, std::uint64_t end, std::uint64_t at) {
    if (reader.Position() >= end) throw Damage{text::CutShortAt(at)};
    const unsigned bytes = ReadByte(reader);
    if (end - reader.Position() < bytes) throw Damage{text::CutShortAt(at)};
    std::uint64_t value = 0;
    for (unsigned i = 0; i < bytes; ++i) {
        const std::uint64_t b = ReadByte(reader);
        if (b != 0 && i >= 8) throw Damage{text::NumberTooLarge(at)};
        if (i < 8) value |= b << (8 * i);
    }
    if (value > kMaxExactSize) throw Damage{text::NumberTooLarge(at)};
    return value;
}

void RupPatch::ReadWhole(InputFile& patch, std::size_t bufferSize) {
    const std::uint64_t end = patch.Size();
    if (end < kInfoEnd + 1) throw Damage{text::CutShort()};
    std::vector<std::uint8_t> info(kInfoEnd);
    patch.ReadExactly(0, info);
    if (info[6] > 1) throw Damage{"its text encoding (" + std::to_string(info[6]) + ") is neither the code page nor UTF-8"};
    utf8 = info[6] == 1;
    for (const auto& field : kFields)
        fields.push_back(PaddedText(std::span(info).subspan(field[0], field[1]), field[0]));
    for (std::size_t i = kDateAt; i < kDateAt + 8 && info[i] >= '0' && info[i] <= '9'; ++i) date += static_cast<char>(info[i]);
    ByteReader reader(patch, kInfoEnd, bufferSize);
    for (;;) {
        const std::uint64_t at = reader.Position();
        if (at >= end) throw Damage{"it ends without its end command: it is cut short"};
        const std::uint8_t command = ReadByte(reader);
        if (command == 0) break;
        if (command == 2) {
            if (parts.empty()) throw Damage{"the XOR run at byte " + std::to_string(at) + " comes before any file"};
            Part& part = parts.back();
            const std::uint64_t offset = Number(reader, end, at), length = Number(reader, end, at);
            if (length > end - reader.Position()) throw Damage{text::CutShortAt(at)};
            if (offset > std::max(part.sourceSize, part.targetSize) ||
                length > std::max(part.sourceSize, part.targetSize) - offset)
                throw Damage{"the XOR run at byte " + std::to_string(at) + " reaches past both files"};
            reader.Skip(length);
            part.xorEnd = reader.Position();
            continue;
        }
        if (command != 1) throw Damage{"it has a command it cannot have (" + std::to_string(command) + ") at byte " + std::to_string(at)};
        Part part;
        const std::uint64_t nameLength = Number(reader, end, at);
        if (nameLength > end - reader.Position()) throw Damage{text::CutShortAt(at)};
        part.name = {reader.Position(), nameLength};
        reader.Skip(nameLength);
        if (end - reader.Position() < 1) throw Damage{text::CutShortAt(at)};
        part.kind = ReadByte(reader);  // for patching around ROM headers: applied as it is
        part.sourceSize = Number(reader, end, at);
        part.targetSize = Number(reader, end, at);
        if (end - reader.Position() < 32) throw Damage{text::CutShortAt(at)};
        reader.Read(part.sourceMd5);
        reader.Read(part.targetMd5);
        if (part.sourceSize != part.targetSize) {
            if (end - reader.Position() < 1) throw Damage{text::CutShortAt(at)};
            const char mark = static_cast<char>(ReadByte(reader));
            if (mark != (part.sourceSize > part.targetSize ? 'M' : 'A'))
                throw Damage{"the file at byte " + std::to_string(at) + " lacks the mark of its longer file's bytes"};
            const std::uint64_t length = Number(reader, end, at);
            const std::uint64_t differ = std::max(part.sourceSize, part.targetSize) - std::min(part.sourceSize, part.targetSize);
            if (length != differ) throw Damage{"the file at byte " + std::to_string(at) + " holds the wrong number of bytes past the shorter's end"};
            if (length > end - reader.Position()) throw Damage{text::CutShortAt(at)};
            part.overflow = {reader.Position(), length};
            reader.Skip(length);
        }
        part.xorStart = part.xorEnd = reader.Position();
        parts.push_back(part);
    }
    if (parts.empty()) throw Damage{"it describes no file"};
    if (reader.Position() != end) throw Damage{text::CountOf(end - reader.Position()) + " follow its end command"};
}

std::optional<Plan> RupPatch::Find(const Md5& md5, std::uint64_t size) const {
    for (std::size_t i = 0; i < parts.size(); ++i) {
        Plan plan;
        plan.part = i;
        if (parts[i].sourceSize == size && parts[i].sourceMd5 == md5) return plan;
        plan.reverse = true;
        if (parts[i].targetSize == size && parts[i].targetMd5 == md5) return plan;
    }
    return std::nullopt;
}

std::optional<Plan> RupPatch::Locate(InputFile& file, std::size_t bufferSize, Md5& md5,
                                    std::optional<View>& view) const {
    md5 = Md5Of(file, bufferSize);
    if (auto found = Find(md5, file.Size())) return found;
    std::optional<Plan> found;
    view = FirstView(file, [&](InputFile& viewed) {
        const bool sized = std::any_of(parts.begin(), parts.end(), [&](const Part& p) { return p.sourceSize == viewed.Size(); });
        return sized && (found = Find(Md5Of(viewed, bufferSize), viewed.Size())) && !found->reverse;
    });
    return view ? found : std::nullopt;
}

std::string RupPatch::Problem(const std::string& path, const Md5& md5) const {
    std::string expected;
    for (std::size_t i = 0; i < parts.size(); ++i)
        expected += std::string(i == 0 ? "" : i + 1 == parts.size() ? " or " : ", ") + "MD5 " + Hex(parts[i].sourceMd5) +
                    " (" + text::CountOf(parts[i].sourceSize) + ")";
    return path + " is not a file this RUP patch was made for: the patch expects " + expected + "; this file has MD5 " +
           Hex(md5);
}

std::optional<Stop> RupPatch::PlanFor(HostServices& host, InputFile& original, InputFile&,
                                      const std::string& originalPath, const EvidenceRule& rule, Plan& plan,
                                      std::string& note) const {
    original.ExpectSequential();
    Md5 md5;
    std::optional<View> view;
    if (const auto found = Locate(original, host.Buffers().stream, md5, view)) {
        plan.part = found->part;
        plan.reverse = found->reverse;
        if (view) Take(*view, originalPath, plan, note);
        if (plan.reverse) note = text::TurnedBack(originalPath, kName);
        return std::nullopt;
    }
    std::string problem = Problem(originalPath, md5);
    for (const Part& part : parts)
        if (const std::string lacked = LackedHeader(original, part.sourceSize); !lacked.empty()) {
            problem += lacked;
            break;
        }
    // Applied all the same where asked: as the first file, forward.
    const bool sized = original.Size() == parts[0].sourceSize;
    return rule.Before(problem, sized);
}

// The longer file's tail, a stretch of `from` (the patch, or the longer
// file when making one), into the output at `at`. Every RUP patcher stores
// it with each byte XORed with 0xFF (its own inverse): flipped, where
// `flipped`.
void WriteTail(InputFile& from, const Stretch& tail, OutputFile& output, std::uint64_t at, bool flipped) {
    std::vector<std::uint8_t> bytes(kChunk);
    for (std::uint64_t done = 0; done < tail.length;) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), tail.length - done));
        from.ReadExactly(tail.offset + done, {bytes.data(), size});
        if (flipped)
            for (std::size_t i = 0; i < size; ++i) bytes[i] ^= 0xFF;
        if (at + done == output.Size()) output.Append({bytes.data(), size});
        else output.WriteAt(at + done, {bytes.data(), size});
        done += size;
    }
}

// `length` bytes of the output from `from` into the MD5.
void Md5Output(MD5_CTX& context, OutputFile& output, std::uint64_t from, std::uint64_t length,
               std::vector<std::uint8_t>& scratch) {
    for (std::uint64_t at = 0; at < length;) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(scratch.size(), length - at));
        output.ReadBack(from + at, {scratch.data(), size});
        MD5Update(&context, scratch.data(), size);
        at += size;
    }
}

std::uint32_t RupPatch::Write(InputFile& original, InputFile& patch, const Plan& plan, OutputFile& output,
                              const BufferSizes& sizes) const {
    const Part& part = parts[plan.part];
    const std::uint64_t in = plan.reverse ? part.targetSize : part.sourceSize;
    const std::uint64_t out = plan.reverse ? part.sourceSize : part.targetSize;
    const std::uint64_t base = output.Size();
    const std::uint64_t common = std::min(in, out);
    output.AppendFrom(original, 0, common);
    // The longer file's tail, where the result is the longer.
    if (out > in) WriteTail(patch, part.overflow, output, base + common, true);
    // The XOR runs, over what both files share.
    ByteReader reader(patch, part.xorStart, sizes.stream);
    std::vector<std::uint8_t> mine(kChunk);
    while (reader.Position() < part.xorEnd) {
        const std::uint64_t at = reader.Position();
        ReadByte(reader);  // the command
        const std::uint64_t offset = Number(reader, part.xorEnd, at), length = Number(reader, part.xorEnd, at);
        for (std::uint64_t done = 0; done < length;) {
            const auto piece = reader.Next(static_cast<std::size_t>(std::min<std::uint64_t>(length - done, kChunk)));
            const std::uint64_t from = offset + done;
            done += piece.size();
            if (from >= common) continue;
            const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), common - from));
            output.ReadBack(base + from, {mine.data(), size});
            for (std::size_t i = 0; i < size; ++i) mine[i] ^= piece[i];
            output.WriteAt(base + from, {mine.data(), size});
        }
    }
    // Held to the MD5 the patch gives the result before it replaces anything.
    // A tail that gives another MD5 may be one written as it is (as this
    // program's makers did before): that MD5 tells.
    MD5_CTX context;
    MD5Init(&context);
    Md5Output(context, output, base, common, mine);
    MD5_CTX shared = context;
    Md5Output(context, output, base + common, out - common, mine);
    Md5 made;
    MD5Final(made.data(), &context);
    const Md5& expected = plan.reverse ? part.sourceMd5 : part.targetMd5;
    if (made != expected && out > in) {
        MD5_CTX unflipped = shared;
        Md5Range(unflipped, patch, part.overflow.offset, part.overflow.offset + part.overflow.length, sizes.stream);
        Md5 asItIs;
        MD5Final(asItIs.data(), &unflipped);
        if (asItIs == expected) {
            WriteTail(patch, part.overflow, output, base + common, false);
            made = asItIs;
        }
    }
    if (made != expected) {
        const std::string problem = "The result of the RUP patch " + patch.Path() + " has MD5 " + Hex(made) +
                                    ", not the " + Hex(expected) + " the patch gives it";
        plan.rule->During(problem, problem + "; nothing was replaced");
    }
    return 0;
}

Verdict RupPatch::Compare(InputFile& file, InputFile&, std::size_t bufferSize) const {
    Md5 md5;
    std::optional<View> view;
    const auto found = Locate(file, bufferSize, md5, view);
    if (!found) return {Fit::DoesNotFit, Problem(file.Path(), md5) + "."};
    if (view)
        return {Fit::Fits, ViewEvidence(*view, "its MD5 is that")};
    if (found->reverse)
        return {Fit::AlreadyApplied, "Its MD5 " + Hex(md5) + " is that of the file the patch makes, which the patch turns back."};
    return {Fit::Fits, "Its MD5 " + Hex(md5) + " is that of the file the patch was made from."};
}

std::string RupPatch::InfoLines() const {
    std::string said = std::string("\nText: ") + (utf8 ? "UTF-8" : "the code page");
    said += "\nDate: ";
    if (date.size() == 8) said.append(date, 0, 4).append(1, '-').append(date, 4, 2).append(1, '-').append(date, 6, 2);
    else said += "(none)";
    for (const Part& p : parts)
        said += "\nFile: " + text::CountOf(p.sourceSize) + ", MD5 " + Hex(p.sourceMd5) + " -> " +
                text::CountOf(p.targetSize) + ", MD5 " + Hex(p.targetMd5) + "\nFile type: " + std::to_string(p.kind);
    return said;
}

// Making ----------------------------------------------------------------------

void PutNumber(OutputFile& patch, std::uint64_t value) {
    std::uint8_t bytes[9] = {};
    std::size_t n = 0;
    do {
        bytes[++n] = static_cast<std::uint8_t>(value);
        value >>= 8;
    } while (value > 0);
    bytes[0] = static_cast<std::uint8_t>(n);
    patch.Append({bytes, n + 1});
}

// One file, its text in UTF-8: the MD5s are filled in once both files have
// been read, side by side, for the XOR runs over what they share; the
// longer file's tail stands whole before them.
void WriteRup(InputFile& original, InputFile& changed, OutputFile& patch, const std::string& description,
              const std::string& name, const BufferSizes& sizes) {
    std::vector<std::uint8_t> info(kInfoEnd);
    std::memcpy(info.data(), "NINJA2", 6);
    info[6] = 1;
    std::memcpy(info.data() + kDescriptionAt, description.data(), std::min<std::size_t>(description.size(), kDescriptionSize));
    patch.Append(info);
    const std::uint64_t n = original.Size(), m = changed.Size(), common = std::min(n, m);
    const std::uint8_t open = 1, type = 0;
    patch.Append({&open, 1});
    PutNumber(patch, name.size());
    patch.Append({reinterpret_cast<const std::uint8_t*>(name.data()), name.size()});
    patch.Append({&type, 1});
    PutNumber(patch, n);
    PutNumber(patch, m);
    const std::uint64_t md5At = patch.Size();
    patch.Append(std::array<std::uint8_t, 2 * MD5_DIGEST_LENGTH>{});
    InputFile& longer = n > m ? original : changed;
    if (n != m) {
        const std::uint8_t mark = n > m ? 'M' : 'A';
        patch.Append({&mark, 1});
        PutNumber(patch, longer.Size() - common);
        WriteTail(longer, {common, longer.Size() - common}, patch, patch.Size(), true);
    }
    MD5_CTX contexts[2];
    MD5Init(&contexts[0]);
    MD5Init(&contexts[1]);
    original.ExpectSequential();
    changed.ExpectSequential();
    std::vector<std::uint8_t> a(sizes.scan), b(sizes.scan);
    const std::uint8_t command = 2;
    for (std::uint64_t at = 0; at < common;) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(a.size(), common - at));
        original.ReadExactly(at, {a.data(), size});
        changed.ReadExactly(at, {b.data(), size});
        MD5Update(&contexts[0], a.data(), size);
        MD5Update(&contexts[1], b.data(), size);
        for (std::size_t i = FirstDifference(a.data(), b.data(), 0, size); i < size;) {
            // A run goes on over a few equal bytes, cheaper than a new run's numbers.
            std::size_t end = FirstEqual(a.data(), b.data(), i, size), next = 0;
            while (end < size && (next = FirstDifference(a.data(), b.data(), end, size)) < size && next - end <= 8)
                end = FirstEqual(a.data(), b.data(), next, size);
            for (std::size_t k = i; k < end; ++k) b[k] ^= a[k];
            patch.Append({&command, 1});
            PutNumber(patch, at + i);
            PutNumber(patch, end - i);
            patch.Append({b.data() + i, end - i});
            i = end < size ? FirstDifference(a.data(), b.data(), end, size) : size;
        }
        at += size;
    }
    Md5Range(contexts[n > m ? 0 : 1], longer, common, longer.Size(), sizes.stream);
    std::array<std::uint8_t, 2 * MD5_DIGEST_LENGTH> md5s{};
    MD5Final(md5s.data(), &contexts[0]);
    MD5Final(md5s.data() + MD5_DIGEST_LENGTH, &contexts[1]);
    patch.WriteAt(md5At, md5s);
    const std::uint8_t end = 0;
    patch.Append({&end, 1});
}

class Rup final : public PatchFormat {
public:
    std::string_view Name() const override { return kName; }
    std::string_view Key() const override { return "rup"; }
    std::string_view Summary() const override {
        return "NINJA 2.0: the MD5s of both files, turns the result back too; the comment, cut to 1074 bytes, "
               "as its description";
    }
    bool Recognises(std::span<const std::uint8_t> head) const override { return StartsWith(head, "NINJA2"); }
    std::unique_ptr<LoadedPatch> Read(InputFile& patch, std::size_t bufferSize) const override {
        return ReadForeign(std::make_unique<RupPatch>(*this), patch, bufferSize);
    }
    bool ReadsOriginalFirst() const override { return true; }
    bool Makes() const override { return true; }
    std::string Make(HostServices& host, const MakeRequest& request, const MakeFiles& files) const override {
        const Described description = FitDescription(host, Name(), request.comment, kDescriptionSize, true);
        WriteRup(files.original, files.changed, files.patch, description.text, BaseName(request.originalPath),
                 host.Buffers());
        return description.note;
    }
};

}  // namespace

const PatchFormat& RupFormat() {
    static const Rup format;
    return format;
}

}  // namespace zelk
