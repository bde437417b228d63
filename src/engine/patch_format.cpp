#include "engine/patch_format.h"

#include <algorithm>
#include <cstring>

namespace zelk {

std::string text::TooLarge(const std::string& path) {
    return "Too large for a ZelkPatch (2 GiB or more): " + path;
}

Outcome RunOperation(HostServices& host, std::string_view doneText, const std::function<std::optional<Stop>()>& body,
                     bool sayDone) {
    std::optional<Stop> stop;
    try {
        stop = body();
    } catch (const std::exception& failure) {
        stop = Stop{FailureText(failure)};
    }
    if (stop) {
        host.ShowStop(stop->text, stop->style);
        return Outcome::Stopped;
    }
    if (sayDone) host.ShowMessage(std::string(doneText), MessageStyle::Plain);
    return Outcome::Done;
}

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
    const std::uint32_t u = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
    return static_cast<std::int32_t>(u);
}

// A small file gets a buffer of its own size, not a full one.
ByteReader::ByteReader(InputFile& file, std::uint64_t position, std::size_t bufferSize)
    : file_(file),
      buffer_(static_cast<std::size_t>(
          std::clamp<std::uint64_t>(file.Size() > position ? file.Size() - position : 0, 1, bufferSize))),
      position_(position) {}

void ByteReader::Fill() {
    bufferPos_ = position_;
    bufferLength_ = file_.ReadAt(position_, buffer_);
}

std::span<const std::uint8_t> ByteReader::Next(std::size_t max) {
    if (position_ < bufferPos_ || position_ >= bufferPos_ + bufferLength_) Fill();
    const std::size_t at = static_cast<std::size_t>(position_ - bufferPos_);
    const std::size_t count = std::min(max, bufferLength_ - at);
    if (count == 0 && max > 0) throw ShrankWhileRead(file_);
    position_ += count;
    return {buffer_.data() + at, count};
}

void ByteReader::ReadAcross(std::span<std::uint8_t> out) {
    while (!out.empty()) {
        const auto piece = Next(out.size());
        std::memcpy(out.data(), piece.data(), piece.size());
        out = out.subspan(piece.size());
    }
}

namespace {

std::string Where(std::uint64_t index, std::uint64_t headerPos) {
    return "block " + std::to_string(index + 1) + " at byte " + std::to_string(headerPos);
}

}  // namespace

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
    if (got < kHeaderSize) return damaged("the header is cut short");
    summary.commentPos = ReadInt32(header + kCommentPosOffset);
    if (summary.commentPos < 1 || static_cast<std::uint64_t>(summary.commentPos) > summary.fileLength + 1)
        return damaged("the comment position " + std::to_string(summary.commentPos) + " lies outside the file (" +
                       std::to_string(summary.fileLength) + " bytes)");

    const std::uint64_t commentStart = static_cast<std::uint64_t>(summary.commentPos) - 1;
    const std::string limit = commentStart == summary.fileLength ? "past the end of the file" : "into the comment";
    ByteReader reader(patch, kHeaderSize, bufferSize);
    std::uint64_t previousEnd = 0;
    while (reader.Position() + kBlockHeaderSize <= commentStart) {
        std::uint8_t fields[kBlockHeaderSize];
        const PatchBlock block{0, 0, reader.Position()};
        reader.Read(fields);
        const std::int32_t offset = ReadInt32(fields);
        const std::int32_t length = ReadInt32(fields + 4);
        const auto where = [&] { return Where(summary.blockCount, block.headerPos); };
        if (offset < 0) return damaged(where() + " has a negative offset (" + std::to_string(offset) + ")");
        if (length <= 0) return damaged(where() + " has length " + std::to_string(length));
        const std::uint64_t end = static_cast<std::uint64_t>(offset) + static_cast<std::uint64_t>(length);
        if (end > kMaxFileSize) return damaged(where() + " ends past the 32-bit limit");
        if (reader.Position() + static_cast<std::uint64_t>(length) > commentStart)
            return damaged(where() + " runs " + limit);
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

}  // namespace zelk
