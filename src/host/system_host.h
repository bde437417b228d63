// Host services on the operating system's files and code page. Messages are
// left to the face that shows them: the console, the window or a test.
#pragma once

#include <optional>

#include "host/host_services.h"

namespace zelk {

class SystemHost : public HostServices {
public:
    bool FileExists(const std::string& path) override;
    std::unique_ptr<InputFile> OpenInput(const std::string& path) override;
    std::unique_ptr<OutputFile> CreateOutput(const std::string& path) override;
    std::string ToAnsi(std::string_view utf8) override;
    std::string FromAnsi(std::string_view bytes) override;
    // From the level-2 cache the system reports, unless `buffers` is set.
    BufferSizes Buffers() override;
    std::optional<BufferSizes> buffers;

    // An open file or folder as the system names it.
#ifdef _WIN32
    using NativeFile = void*;
#else
    using NativeFile = int;
#endif
    // Puts what was written to `file` on the disk; 0, or the system's error
    // number. Tests override it to act out a disk that fails to flush.
    virtual int FlushToDisk(NativeFile file);
};

// A write past the file size limit, or to a pipe nobody reads, must fail
// like a full disk, not kill the process before it can clean up; every
// program calls this once at start.
void PrepareProcess();

// The level-2 cache of one core as the system reports it; 0 when it does not.
std::size_t LevelTwoCacheSize();

#ifdef _WIN32
// Text in memory is UTF-8; the system speaks UTF-16.
std::string ToUtf8(std::wstring_view wide);
std::wstring FromUtf8(std::string_view utf8);
#endif

}  // namespace zelk
