// Files on the operating system's own file system, and its code page; the
// platform's half of a desktop program's host. Each system has one file
// that implements this (linux_files.cpp, win32_files.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

#include "host/ansi_code_page.h"
#include "host/file_services.h"

namespace zelk {

class SystemFiles : public HostCodePageFiles {
public:
    bool FileExists(const std::string& path) override;
    std::unique_ptr<InputFile> OpenInput(const std::string& path) override;
    std::unique_ptr<OutputFile> CreateOutput(const std::string& path) override;
    // From the level-2 cache the system reports, unless `buffers` is set.
    BufferSizes Buffers() override;
    std::optional<BufferSizes> buffers;

    // An open file or folder as the system numbers it (a descriptor, a handle).
    enum class NativeFile : std::intptr_t {};
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

// Writes `text` to `stream` where that is a terminal the system writes to in
// a way of its own (a Windows console takes UTF-16); false, writing nothing,
// where it is not, and the caller writes the bytes.
bool WriteToTerminal(std::FILE* stream, std::string_view text);

}  // namespace zelk
