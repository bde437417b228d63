// What the systems' file layers share; each stands in its own file
// (linux_files.cpp, win32_files.cpp).
#include "host/system_files.h"

namespace zelk {

BufferSizes SystemFiles::Buffers() {
    if (buffers) return *buffers;
    static const BufferSizes chosen = BufferSizesFor(LevelTwoCacheSize());
    return chosen;
}

bool SystemFiles::RoomRefused(NativeFile file, std::uint64_t size, std::optional<std::uint64_t> free, int full) {
    if (free && size > *free) {
        const int error = ReserveSpace(file, 1);
        return error == 0 || error == full;
    }
    return ReserveSpace(file, size) == full;
}

}  // namespace zelk
