#include "engine/patch_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/byte_order.h"
#include "engine/byte_reader.h"
#include "engine/user_texts.h"

namespace zelk {

std::string ToCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

std::int32_t ReadInt32(const std::uint8_t* bytes) {
    return static_cast<std::int32_t>(ReadLe32(bytes));
}

PatchSummary CheckPatch(InputFile& patch, std::size_t bufferSize,
                        const std::function<void(const PatchBlock&)>& onBlock) {
    PatchSummary summary;
    summary.fileLength = patch.Size();
    const auto damaged = [&](std::string what) {
        summary.status = PatchStatus::Damaged;
        summary.damage = std::move(what);
        return summary;
    };

    std::uint8_t header[kHeaderSize];
    const std::size_t got = patch.ReadAt(0, header);
    if (got < PatchMagic.size() || std::memcmp(header, PatchMagic.data(), PatchMagic.size()) != 0) {
        summary.status = PatchStatus::NotAPatch;
        return summary;
    }
    if (got < kHeaderSize) return damaged(text::HeaderCutShort());
    summary.commentPos = ReadInt32(header + kCommentPosOffset);
    if (summary.commentPos < 1 || static_cast<std::uint64_t>(summary.commentPos) > summary.fileLength + 1)
        return damaged(text::CommentOutsideTheFile(summary.commentPos, summary.fileLength));
    // The comment never starts inside the header: it would show the header.
    if (static_cast<std::uint64_t>(summary.commentPos) <= kHeaderSize)
        return damaged(text::CommentInsideTheHeader(summary.commentPos));

    const std::uint64_t commentStart = static_cast<std::uint64_t>(summary.commentPos) - 1;
    ByteReader reader(patch, kHeaderSize, bufferSize);
    std::uint64_t previousEnd = 0;
    while (reader.Position() + kBlockHeaderSize <= commentStart) {
        std::uint8_t fields[kBlockHeaderSize];
        const PatchBlock block{0, 0, reader.Position()};
        reader.Read(fields);
        const std::int32_t offset = ReadInt32(fields);
        const std::int32_t length = ReadInt32(fields + 4);
        const std::uint64_t index = summary.blockCount;
        if (offset < 0) return damaged(text::NegativeOffset(index, block.headerPos, offset));
        if (length <= 0) return damaged(text::BadLength(index, block.headerPos, length));
        const std::uint64_t end = static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(length);
        if (end > kMaxFileSize) return damaged(text::PastThe32BitLimit(index, block.headerPos));
        if (reader.Position() + static_cast<std::uint64_t>(length) > commentStart)
            return damaged(text::RunsOn(index, block.headerPos, commentStart < summary.fileLength));
        reader.Skip(static_cast<std::uint64_t>(length));
        ++summary.blockCount;
        summary.coveredBytes += static_cast<std::uint64_t>(length);
        summary.ascending = summary.ascending && static_cast<std::uint64_t>(offset) >= previousEnd;
        previousEnd = end;
        summary.maxEnd = std::max(summary.maxEnd, end);
        if (onBlock) onBlock(PatchBlock{offset, length, block.headerPos});
    }
    return summary;
}

PatchBlock NextBlock(ByteReader& reader, InputFile& patch, std::uint64_t resultSize) {
    std::uint8_t fields[kBlockHeaderSize];
    const std::uint64_t at = reader.Position();
    reader.Read(fields);
    const PatchBlock block{ReadInt32(fields), ReadInt32(fields + 4), at};
    if (block.blockOffset < 0 || block.blockLength <= 0 ||
        static_cast<std::uint64_t>(block.blockOffset) + block.blockLength > resultSize)
        throw ChangedWhileRead(patch);
    return block;
}

namespace {

// The comment's bytes, read and converted as the face asks for them.
class PatchComment final : public CommentReader {
public:
    PatchComment(FileServices& files, InputFile& patch, std::uint64_t offset, std::uint64_t length)
        : files_(files), patch_(patch), offset_(offset), remaining_(length) {}
    std::uint64_t Remaining() const override { return remaining_; }
    std::string Next(std::size_t bytes) override {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, bytes));
        std::string raw(size, '\0');
        patch_.ReadExactly(offset_, {reinterpret_cast<std::uint8_t*>(raw.data()), size});
        offset_ += size;
        remaining_ -= size;
        return files_.FromAnsi(raw);
    }

private:
    FileServices& files_;
    InputFile& patch_;
    std::uint64_t offset_;
    std::uint64_t remaining_;
};

}  // namespace

void ShowComment(HostServices& host, InputFile& patch, const PatchSummary& summary) {
    if (summary.CommentLength() == 0) return;
    PatchComment comment(host, patch, summary.CommentStart(), summary.CommentLength());
    host.ShowComment(comment);
}

void ShowPatchInfo(HostServices& host, std::unique_ptr<InputFile> patch, const PatchSummary& summary) {
    // Named as every format's info names its own.
    if (summary.CommentLength() == 0) {
        host.ShowMessage("Format: ZelkPatch\nComment: (none)", MessageStyle::Plain);
    } else {
        host.ShowMessage("Format: ZelkPatch\nComment:", MessageStyle::Plain);
        ShowComment(host, *patch, summary);
    }
    // The block list goes out in pieces as the patch is read a second
    // time, so a patch of millions of blocks needs no list in memory.
    const std::size_t bufferSize = host.Buffers().stream;
    std::string table = "Blocks: " + std::to_string(summary.blockCount);
    std::size_t lines = 0;
    CheckPatch(*patch, bufferSize, [&](const PatchBlock& block) {
        if (lines++ % 4096 == 4095) {
            host.ShowMessage(table, MessageStyle::Plain);
            table.clear();
        } else {
            table += '\n';
        }
        char line[96];
        std::snprintf(line, sizeof line, "  offset %10d (0x%08X)  length %10d", block.blockOffset,
                      static_cast<unsigned>(block.blockOffset), block.blockLength);
        table += line;
    });
    patch.reset();
    table += "\nBytes covered: " + std::to_string(summary.coveredBytes);
    table += "\nFarthest block end: " + std::to_string(summary.maxEnd) +
             " (the result has this size, or the original's if that is larger)";
    host.ShowMessage(table, MessageStyle::Plain);
}

}  // namespace zelk
