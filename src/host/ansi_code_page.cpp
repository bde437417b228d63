#include "host/ansi_code_page.h"

#include <stdexcept>

#include "host/host_services.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace zelk {

namespace {
constexpr char32_t kReplacement = 0xFFFD;
}

char32_t DecodeUtf8(std::string_view text, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    int extra = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, c = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, c = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, c = lead & 0x07, minimum = 0x10000;
    } else {
        ++pos;
        return kReplacement;
    }
    if (pos + extra >= text.size()) {
        ++pos;
        return kReplacement;
    }
    for (int i = 1; i <= extra; ++i) {
        const auto next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80) {
            ++pos;
            return kReplacement;
        }
        c = (c << 6) | (next & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++pos;
        return kReplacement;
    }
    pos += extra + 1;
    return c;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

AnsiCodePage::AnsiCodePage(const std::array<char32_t, 256>& table) : toUnicode_(table) {
    // Where two bytes claim one character the lower byte wins, so that
    // conversion is deterministic.
    for (int b = 255; b >= 0; --b) fromUnicode_[table[b]] = static_cast<unsigned char>(b);
}

std::string AnsiCodePage::ToAnsi(std::string_view utf8) const {
    std::string out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[pos]);
        if (lead < 0x80 && toUnicode_[lead] == lead) {
            out += static_cast<char>(lead);
            ++pos;
            continue;
        }
        const char32_t c = DecodeUtf8(utf8, pos);
        const auto found = fromUnicode_.find(c);
        out += (c == kReplacement || found == fromUnicode_.end()) ? '?' : static_cast<char>(found->second);
    }
    return out;
}

std::string AnsiCodePage::FromAnsi(std::string_view bytes) const {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char ch : bytes) AppendUtf8(out, toUnicode_[static_cast<unsigned char>(ch)]);
    return out;
}

#ifdef _WIN32
namespace {
AnsiCodePage FromSystem(UINT codePage) {
    std::array<char32_t, 256> table{};
    for (int b = 0; b < 256; ++b) {
        const char in = static_cast<char>(b);
        wchar_t wide = 0;
        // A byte with no character keeps its value, as on other systems.
        table[b] = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, &in, 1, &wide, 1) == 1 ? wide : b;
    }
    return AnsiCodePage(table);
}
}  // namespace

AnsiCodePage AnsiCodePage::Windows1251() { return FromSystem(1251); }

// The ANSI code page, where it has one byte per character; the format has
// no room for more, so Chinese, Japanese and Korean systems, whose ANSI code
// pages have two, use Windows-1251 like the patches in the wild.
const AnsiCodePage& AnsiCodePage::Host() {
    static const AnsiCodePage page = [] {
        CPINFO info{};
        const UINT ansi = GetACP();
        return FromSystem(GetCPInfo(ansi, &info) && info.MaxCharSize == 1 ? ansi : 1251);
    }();
    return page;
}
#else
AnsiCodePage AnsiCodePage::Windows1251() {
    iconv_t cd = iconv_open("UTF-32LE", "WINDOWS-1251");
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw FileError("The system has no converter for the Windows-1251 code page");
    std::array<char32_t, 256> table{};
    for (int b = 0; b < 256; ++b) {
        char in = static_cast<char>(b);
        unsigned char out[4] = {};
        char* inPtr = &in;
        char* outPtr = reinterpret_cast<char*>(out);
        std::size_t inLeft = 1;
        std::size_t outLeft = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
            // A byte with no character (0x98) keeps its value as a C1 control
            // character, so that no comment byte is lost on the way through.
            table[b] = static_cast<char32_t>(b);
        } else {
            table[b] = out[0] | (out[1] << 8) | (out[2] << 16) | (static_cast<char32_t>(out[3]) << 24);
        }
    }
    iconv_close(cd);
    return AnsiCodePage(table);
}

const AnsiCodePage& AnsiCodePage::Host() {
    static const AnsiCodePage page = Windows1251();
    return page;
}
#endif

}  // namespace zelk
