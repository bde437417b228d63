#include "host/ansi_code_page.h"

namespace zelk {

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
