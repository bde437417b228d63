// The code page where patch files carry Windows-1251 whatever the system's
// own language: Linux and the browser, through iconv.
#include <iconv.h>

#include "host/ansi_code_page.h"
#include "host/file_services.h"

namespace zelk {

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
}  // namespace zelk
