// What the systems' file layers share; each stands in its own file
// (linux_files.cpp, win32_files.cpp).
#include "host/system_files.h"

namespace zelk {

BufferSizes SystemFiles::Buffers() {
    if (buffers) return *buffers;
    static const BufferSizes chosen = BufferSizesFor(LevelTwoCacheSize());
    return chosen;
}

}  // namespace zelk
