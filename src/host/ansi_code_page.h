// Conversion between UTF-8 and an 8-bit code page, one byte per character,
// driven by a 256-entry table of the code page's characters.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <unordered_map>

#include "host/file_services.h"
#include "host/utf8.h"

namespace zelk {

class AnsiCodePage {
public:
    // table[b] is the Unicode character of byte b.
    explicit AnsiCodePage(const std::array<char32_t, 256>& table);

    // The code page of patch files on this host: the ANSI code page on
    // Windows (Windows-1251 where that has more than one byte a character),
    // Windows-1251 elsewhere. Throws FileError when the system
    // cannot provide it.
    static const AnsiCodePage& Host();
    // Windows-1251 as the system's converter defines it.
    static AnsiCodePage Windows1251();

    // A character the code page lacks, and every byte of malformed UTF-8,
    // becomes '?'.
    std::string ToAnsi(std::string_view utf8) const;
    std::string FromAnsi(std::string_view bytes) const;

private:
    std::array<char32_t, 256> toUnicode_;
    std::unordered_map<char32_t, unsigned char> fromUnicode_;
};

// A file layer whose patch files carry this host's code page.
class HostCodePageFiles : public virtual FileServices {
public:
    std::string ToAnsi(std::string_view utf8) override { return AnsiCodePage::Host().ToAnsi(utf8); }
    std::string FromAnsi(std::string_view bytes) override { return AnsiCodePage::Host().FromAnsi(bytes); }
};

}  // namespace zelk
