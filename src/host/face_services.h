// What a face supplies to an operation: the messages the user sees (a
// terminal's lines, a window's message boxes, the page's dialogs) and the
// end of the program.
#pragma once

#include <cstdint>
#include <string>

namespace zelk {

enum class MessageStyle { Plain, Critical };

// How much of a patch comment a message box shows: a box of megabytes is
// unreadable and can hang a window.
inline constexpr std::size_t kCommentShownBytes = 64 * 1024;

// A patch comment, read and converted from the code page a slice at a time:
// comments come from anyone and may be huge, so none is held whole.
class CommentReader {
public:
    virtual ~CommentReader() = default;
    // Bytes of the comment not read yet.
    virtual std::uint64_t Remaining() const = 0;
    // The next `bytes` bytes at most, as UTF-8.
    virtual std::string Next(std::size_t bytes) = 0;
};

// The line after a comment cut to what is shown.
inline std::string CommentLeftOut(std::uint64_t more) {
    std::string said(1, '[');
    said.append(std::to_string(more)).append(more == 1 ? " more byte" : " more bytes");
    return said.append(" of the comment not shown]");
}

class FaceServices {
public:
    virtual ~FaceServices() = default;

    // Returns once the user has seen the message.
    virtual void ShowMessage(const std::string& text, MessageStyle style) = 0;
    // The message an operation stops with instead of its result. A face may
    // tell it from other messages (the console puts it on standard error).
    virtual void ShowStop(const std::string& text, MessageStyle style) { ShowMessage(text, style); }
    // A word of caution that stops nothing. The windows show none (their
    // dialogs stay as they are); the console puts it on standard error.
    virtual void ShowWarning(const std::string&) {}
    // A patch comment: every face shows the first kCommentShownBytes and
    // says how many more there are (comments come from anyone: one of a
    // gigabyte would print until killed).
    virtual void ShowComment(CommentReader& comment);
    // A question answered Yes or No, No unless the user chooses Yes; a face
    // that cannot ask answers No.
    virtual bool Ask(const std::string&) { return false; }
    virtual void EndProgram() = 0;
};

}  // namespace zelk
