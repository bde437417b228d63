// Files on the operating system's own file system, and its code page; the
// platform's half of a desktop program's host. Each system has one file
// that implements this (linux_files.cpp, win32_files.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/ansi_code_page.h"
#include "host/file_services.h"

namespace zelk {

class SystemFiles : public HostCodePageFiles {
public:
    bool FileExists(const std::string& path) override;
    bool SameFile(const std::string& a, const std::string& b) override;
    std::optional<std::string> InputProblem(const std::string& path) override;
    std::unique_ptr<InputFile> OpenInput(const std::string& path) override;
    std::unique_ptr<OutputFile> CreateOutput(const std::string& path) override;
    std::unique_ptr<ScratchFile> CreateScratch(const std::string& beside, const std::string& shown) override;
    std::vector<std::string> FilesIn(const std::string& path) override;
    bool FolderExists(const std::string& path) override;
    // $XDG_DATA_HOME/zelkpatcher/dats (~/.local/share/...) on Linux,
    // %APPDATA%\ZelkPatcher\dats on Windows.
    std::string DatFolder() override;
    // From the level-2 cache the system reports, unless `buffers` is set.
    BufferSizes Buffers() override;
    std::optional<BufferSizes> buffers;

    // An open file or folder as the system numbers it (a descriptor, a handle).
    enum class NativeFile : std::intptr_t {};
    // Puts what was written to `file` on the disk; 0, or the system's error
    // number. Tests override it to act out a disk that fails to flush.
    virtual int FlushToDisk(NativeFile file);
    // Puts everything on `file`'s file system on the disk (a folder that
    // cannot be read cannot be flushed alone); 0 or the error number.
    virtual int FlushFileSystem(NativeFile file);
    // Whether outputs may be written as unnamed files (Linux's O_TMPFILE)
    // where the file system allows; tests turn it off for the named fallback.
    virtual bool UnnamedFiles() { return true; }
    // Sets room aside for `size` bytes of `file`, its length unchanged; 0,
    // or the system's error number. Tests override it to act out a file
    // system that sets none aside.
    virtual int ReserveSpace(NativeFile file, std::uint64_t size);
    // Whether room for `size` bytes of `file` is refused for want of it
    // (`full`, the system's error number for a full disk); `free` is what
    // the file system has, where it says. A reservation that fails may hold
    // what it got until the file goes, so one plainly too large is not
    // tried, and the disk is never full meanwhile: a single byte tells
    // whether this file system sets room aside at all. Any other refusal (no
    // reservation here, a size past the file system's limit) is none.
    bool RoomRefused(NativeFile file, std::uint64_t size, std::optional<std::uint64_t> free, int full);
    // The sentence for a result that the folder cannot hold.
    static std::string NoRoom(const std::string& path, std::uint64_t size, const std::string& folder,
                              std::uint64_t free) {
        return "Cannot write " + path + ": the result needs " + std::to_string(size) + " bytes, and " + folder +
               " has " + std::to_string(free) + " bytes free";
    }
    // A named temporary file has just been created: tests look at it here.
    virtual void TemporaryCreated(NativeFile) {}
    // Gives `file` the extended attribute `name`; 0 or the error number.
    // Tests override it to act out a file system that refuses one. Where
    // the system keeps no such attributes, the file layer refuses every one.
    virtual int SetAttribute(NativeFile file, const char* name, std::span<const char> value);

    std::string TakeLeftBehind() override { return std::exchange(leftBehind_, {}); }
    // Called by an output that could not remove its temporary file `path`,
    // for `reason`.
    void LeaveBehind(const std::string& path, const std::string& reason) {
        if (!leftBehind_.empty()) leftBehind_ += '\n';
        leftBehind_.append("The temporary file ").append(path).append(" could not be removed (").append(reason);
        leftBehind_ += "): remove it by hand";
    }

private:
    std::string leftBehind_;
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

// Whether a write to `stream` failed with `error` because its reader has
// gone (a closed pipe): no failure of the program's own.
bool ClosedPipe(std::FILE* stream, int error);

}  // namespace zelk
