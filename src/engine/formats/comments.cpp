#include "engine/formats/comments.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "engine/user_texts.h"
#include "host/utf8.h"

namespace zelk {

void TextCheck::Feed(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) {
        if (needed_ > 0) {
            ok_ = ok_ && (b & 0xC0) == 0x80;
            --needed_;
        } else if (b == 0 || (b >= 0x80 && b < 0xC2) || b > 0xF4) {
            ok_ = false;
        } else {
            needed_ = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        }
    }
}

namespace {

class Utf8Slices final : public CommentReader {
public:
    Utf8Slices(InputFile& patch, std::uint64_t offset, std::uint64_t length)
        : patch_(patch), offset_(offset), remaining_(length) {}
    std::uint64_t Remaining() const override { return remaining_; }
    std::string Next(std::size_t bytes) override {
        auto size = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, bytes));
        std::string text(size, '\0');
        patch_.ReadExactly(offset_, {reinterpret_cast<std::uint8_t*>(text.data()), size});
        if (size < remaining_) {
            // The last character's lead byte, and whether all its bytes are here.
            std::size_t lead = size;
            while (lead > 0 && size - lead < 4 && (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) --lead;
            const auto first = lead > 0 ? static_cast<unsigned char>(text[lead - 1]) : 0;
            const std::size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
            if (lead > 1 && size - (lead - 1) < length) text.resize(size = lead - 1);
        }
        offset_ += size;
        remaining_ -= size;
        return text;
    }

private:
    InputFile& patch_;
    std::uint64_t offset_;
    std::uint64_t remaining_;
};

}  // namespace

std::unique_ptr<CommentReader> Utf8Comment(InputFile& patch, std::uint64_t offset, std::uint64_t length) {
    return std::make_unique<Utf8Slices>(patch, offset, length);
}

namespace {

class CodePageSlices final : public CommentReader {
public:
    CodePageSlices(InputFile& patch, FileServices& files, std::vector<Stretch> stretches, bool utf8)
        : patch_(patch), files_(files), stretches_(std::move(stretches)), utf8_(utf8) {
        for (const Stretch& s : stretches_) remaining_ += s.length;
    }
    std::uint64_t Remaining() const override { return remaining_; }
    std::string Next(std::size_t bytes) override {
        std::string said;
        for (; next_ < stretches_.size() && bytes > 0; ++next_) {
            Stretch& s = stretches_[next_];
            const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(s.length, bytes));
            std::string raw(size, '\0');
            patch_.ReadExactly(s.offset, {reinterpret_cast<std::uint8_t*>(raw.data()), size});
            s.offset += size;
            s.length -= size;
            remaining_ -= size;
            bytes -= size;
            if (gap_) said += "\n\n";
            said += utf8_ ? raw : files_.FromAnsi(raw);
            gap_ = false;
            if (s.length > 0) break;
            gap_ = true;
        }
        return said;
    }

private:
    InputFile& patch_;
    FileServices& files_;
    std::vector<Stretch> stretches_;
    std::size_t next_ = 0;
    std::uint64_t remaining_ = 0;
    bool utf8_;
    bool gap_ = false;  // a stretch has ended: a blank line before the next
};

}  // namespace

std::unique_ptr<CommentReader> CodePageComment(InputFile& patch, FileServices& files, std::vector<Stretch> stretches,
                                               bool utf8) {
    std::erase_if(stretches, [](const Stretch& s) { return s.length == 0; });
    if (stretches.empty()) return nullptr;
    return std::make_unique<CodePageSlices>(patch, files, std::move(stretches), utf8);
}

Stretch PaddedText(std::span<const std::uint8_t> field, std::uint64_t offset) {
    std::size_t length = field.size();
    while (length > 0 && (field[length - 1] == ' ' || field[length - 1] == 0)) --length;
    return {offset, length};
}


namespace {

// A character as a message names it: itself, or, where it would not show
// (a control, a space or a mark of layout), its code point.
std::string Named(char32_t c, std::string_view character) {
    const bool unseen = c < 0xA0 || c == 0xAD || (c >= 0x2000 && c < 0x2070) || (c >= 0xFE00 && c < 0xFF00);
    if (!unseen) return std::string(character);
    char said[16];
    std::snprintf(said, sizeof said, "U+%04X", static_cast<unsigned>(c));
    return said;
}

}  // namespace

std::string LostInCodePage(FileServices& files, std::string_view utf8) {
    constexpr std::size_t kNamed = 10;
    std::set<char32_t> seen;
    std::string list;
    std::size_t lost = 0;
    for (std::size_t at = 0; at < utf8.size();) {
        const std::size_t start = at;
        const char32_t c = DecodeUtf8(utf8, at);
        const std::string_view character = utf8.substr(start, at - start);
        if (c < 0x80 || !seen.insert(c).second || files.ToAnsi(character) != "?") continue;
        if (lost++ < kNamed) list.append(lost == 1 ? "" : ", ").append(Named(c, character));
    }
    if (lost == 0) return {};
    if (lost > kNamed) list += " and " + std::to_string(lost - kNamed) + " more";
    return text::LostCharacters(list);
}

Described FitDescription(FileServices& files, std::string_view kind, const std::string& comment, std::size_t room,
                         bool utf8) {
    Described fitted{utf8 ? comment : files.ToAnsi(comment), utf8 ? "" : LostInCodePage(files, comment)};
    if (fitted.text.size() <= room) return fitted;
    std::size_t keep = room;
    while (utf8 && keep > 0 && (static_cast<unsigned char>(fitted.text[keep]) & 0xC0) == 0x80) --keep;
    fitted.text.resize(keep);
    fitted.note = text::CommentCut(kind, room) + (fitted.note.empty() ? "" : "\n" + fitted.note);
    return fitted;
}

}  // namespace zelk
