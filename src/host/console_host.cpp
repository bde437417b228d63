#include "host/console_host.h"

#include <cstdlib>

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

void ConsoleHost::ShowMessage(const std::string& text, MessageStyle style) {
    std::FILE* stream = style == MessageStyle::Critical ? err_ : out_;
    const std::string safe = TerminalSafe(text);
    std::fwrite(safe.data(), 1, safe.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void ConsoleHost::EndProgram() { std::exit(0); }

}  // namespace zelk
