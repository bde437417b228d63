// What the platforms' system hosts share; each file layer stands in its own
// file (posix_files.cpp, win32_files.cpp).
#include "host/system_host.h"

#include "host/ansi_code_page.h"

namespace zelk {

std::string SystemHost::ToAnsi(std::string_view utf8) { return AnsiCodePage::Host().ToAnsi(utf8); }

std::string SystemHost::FromAnsi(std::string_view bytes) { return AnsiCodePage::Host().FromAnsi(bytes); }

BufferSizes SystemHost::Buffers() {
    if (buffers) return *buffers;
    static const BufferSizes chosen = BufferSizesFor(LevelTwoCacheSize());
    return chosen;
}

}  // namespace zelk
