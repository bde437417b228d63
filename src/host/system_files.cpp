// What the systems' file layers share; each stands in its own file
// (linux_files.cpp, win32_files.cpp).
#include "host/system_files.h"

#include "host/ansi_code_page.h"

namespace zelk {

std::string SystemFiles::ToAnsi(std::string_view utf8) { return AnsiCodePage::Host().ToAnsi(utf8); }

std::string SystemFiles::FromAnsi(std::string_view bytes) { return AnsiCodePage::Host().FromAnsi(bytes); }

BufferSizes SystemFiles::Buffers() {
    if (buffers) return *buffers;
    static const BufferSizes chosen = BufferSizesFor(LevelTwoCacheSize());
    return chosen;
}

}  // namespace zelk
