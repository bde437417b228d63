// A patch's comment as the user reads it, from the fields formats keep it
// in: stretches of text in the host's code page, or UTF-8; and, for making,
// a comment fitted to a fixed field.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_services.h"

namespace zelk {

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

// Where `utf8` (a comment going into a patch in the code page) holds
// characters the code page lacks, which will read as "?": a line for the
// user naming them; otherwise nothing.
std::string LostInCodePage(FileServices& files, std::string_view utf8);

// A comment as a fixed field of `room` bytes of a `kind` patch holds it: in
// the code page our own comments are written in (or, with `utf8`, in UTF-8,
// cut before a character); `note`, for the user once the patch is made,
// says where it was cut.
struct Described {
    std::string text;
    std::string note;
};
Described FitDescription(FileServices& files, std::string_view kind, const std::string& comment, std::size_t room,
                         bool utf8 = false);

}  // namespace zelk
