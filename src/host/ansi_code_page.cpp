#include "host/ansi_code_page.h"

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

}  // namespace zelk
