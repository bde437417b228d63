// The code page both ways and the terminal filter, on arbitrary bytes.
#include <string>

#include "host/ansi_code_page.h"
#include "host/console_host.h"
#include "memory_host.h"

using namespace zelk;
using namespace zelk::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const AnsiCodePage& page = AnsiCodePage::Host();

    // Bytes from a patch survive the way to text and back exactly.
    Require(page.ToAnsi(page.FromAnsi(input)) == input);

    // Text becomes one byte per character (each malformed byte counting as
    // one), and what the code page has comes back unchanged.
    const std::string ansi = page.ToAnsi(input);
    std::size_t characters = 0;
    for (std::size_t pos = 0; pos < input.size(); ++characters) DecodeUtf8(input, pos);
    Require(ansi.size() == characters);
    Require(page.ToAnsi(page.FromAnsi(ansi)) == ansi);

    // Nothing that drives a terminal gets through.
    const std::string safe = TerminalSafe(input);
    for (std::size_t pos = 0; pos < safe.size();) {
        const char32_t c = DecodeUtf8(safe, pos);
        Require(c == '\n' || c == '\t' || c >= 0x20);
        Require(c != 0x7F && !(c >= 0x80 && c < 0xA0) && c != 0x1B);
    }
    return 0;
}
