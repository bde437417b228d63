#include "host/console_host.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/ansi_code_page.h"

namespace zelk {

std::string TerminalSafe(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    char escape[16];
    while (pos < utf8.size()) {
        const std::size_t start = pos;
        const char32_t c = DecodeUtf8(utf8, pos);
        if (c == '\r' && pos < utf8.size() && utf8[pos] == '\n') continue;  // the LF makes the break
        if (c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F)) {
            out += static_cast<char>(c);
        } else if (c == 0xFFFD && pos == start + 1) {
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(utf8[start]));
            out += escape;
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(c));
            out += escape;
        } else if ((c >= 0x80 && c < 0xA0) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
                   (c >= 0x2066 && c <= 0x2069)) {
            // C1 controls and direction overrides can rewrite what a reader sees.
            std::snprintf(escape, sizeof escape, "\\u{%X}", static_cast<unsigned>(c));
            out += escape;
        } else {
            out.append(utf8.substr(start, pos - start));
        }
    }
    return out;
}

void ConsoleMessages::Put(std::FILE* stream, std::string_view text) {
    int& error = stream == err_ ? errError_ : outError_;
    if (error != 0) return;  // what follows a lost line would mislead
    if (WriteToTerminal(stream, text)) return;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stream) != text.size() || std::fflush(stream) != 0 ||
        std::ferror(stream)) {
        error = errno != 0 ? errno : EIO;
        if (ClosedPipe(stream, error)) error = EPIPE;
    }
}

void ConsoleMessages::ShowMessage(const std::string& text, MessageStyle style) {
    Put(style == MessageStyle::Critical ? err_ : out_, TerminalSafe(text) + '\n');
}

void ConsoleMessages::ShowStop(const std::string& text, MessageStyle) { Put(err_, TerminalSafe(text) + '\n'); }

void ConsoleMessages::ShowWarning(const std::string& text) { Put(err_, "zelkpatch: warning: " + TerminalSafe(text) + '\n'); }

void ConsoleMessages::ShowComment(CommentReader& comment) {
    std::string text = comment.Next(kCommentShownBytes);
    std::uint64_t more = comment.Remaining();
    // A CR at the end of what is shown may be half of a CR LF: left out too.
    if (more > 0 && !text.empty() && text.back() == '\r') text.pop_back(), ++more;
    std::string shown = TerminalSafe(text);
    if (more > 0) shown.append(1, '\n').append(CommentLeftOut(more));
    Put(out_, shown.append(1, '\n'));
}

int ConsoleMessages::Finish(int status) {
    Put(out_, "");
    Put(err_, "");
    if (outError_ == 0 && errError_ == 0) return status;
    if (outError_ != 0 && outError_ != EPIPE && errError_ == 0)
        Put(err_, std::string("zelkpatch: cannot write to standard output: ") + std::strerror(outError_) + '\n');
    return 1;
}

void ConsoleMessages::EndProgram() { std::exit(0); }

}  // namespace zelk
