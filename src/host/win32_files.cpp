// Files on Windows, through the wide (UTF-16) functions only, so that any
// name works, and with the \\?\ prefix, so that any length works.
#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "host/buffered_output.h"
#include "host/system_host.h"

namespace zelk {

std::wstring FromUtf8(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
    return wide;
}

std::string ToUtf8(std::wstring_view wide) {
    if (wide.empty()) return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size, nullptr, nullptr);
    return utf8;
}

namespace {

// The system's own words for an error, as FormatMessage gives them.
std::string Reason(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring words(text != nullptr ? text : L"", length);
    LocalFree(text);
    while (!words.empty() && std::iswspace(words.back())) words.pop_back();
    return words.empty() ? "system error " + std::to_string(error) : ToUtf8(words);
}

[[noreturn]] void Fail(const char* verb, const std::string& path, DWORD error) {
    throw FileError(std::string("Cannot ") + verb + " " + path + ": " + Reason(error));
}

bool StartsWith(std::wstring_view text, std::wstring_view start) { return text.substr(0, start.size()) == start; }

// CON, NUL, COM1 and the like name devices in every folder, with any
// extension: writing "there" would talk to the device.
bool IsDeviceName(std::wstring_view path) {
    const std::size_t slash = path.find_last_of(L"\\/:");
    std::wstring name(path.substr(slash == std::wstring_view::npos ? 0 : slash + 1));
    name = name.substr(0, name.find(L'.'));
    while (!name.empty() && name.back() == L' ') name.pop_back();
    std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) { return std::towupper(c); });
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (name == device) return true;
    return name.size() == 4 && (StartsWith(name, L"COM") || StartsWith(name, L"LPT")) && name[3] >= L'1' &&
           name[3] <= L'9';
}

// The path as the wide functions take it at any length: absolute, with
// separators made backslashes, then prefixed with \\?\ (\\?\UNC\ for a share).
std::wstring SystemPath(const std::string& path) {
    const std::wstring wide = FromUtf8(path);
    if (wide.empty() || StartsWith(wide, L"\\\\?\\") || StartsWith(wide, L"\\\\.\\")) return wide;
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (size == 0) return wide;
        if (size < full.size()) {
            full.resize(size);
            break;
        }
        full.resize(size);
    }
    if (StartsWith(full, L"\\\\.\\")) return full;  // a device
    if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

class Win32InputFile final : public InputFile {
public:
    explicit Win32InputFile(const std::string& path) : path_(path) {
        // Others may read, write or even delete meanwhile; a file that
        // changes under us is caught where it is read.
        handle_ = CreateFileW(SystemPath(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) Fail("open", path_, GetLastError());
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(handle_, &size)) {
            const DWORD error = GetLastError();
            CloseHandle(handle_);
            Fail("read", path_, error);
        }
        size_ = static_cast<std::uint64_t>(size.QuadPart);
    }
    ~Win32InputFile() override { CloseHandle(handle_); }
    Win32InputFile(const Win32InputFile&) = delete;
    Win32InputFile& operator=(const Win32InputFile&) = delete;

    std::uint64_t Size() const override { return size_; }
    const std::string& Path() const override { return path_; }

    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        std::size_t done = 0;
        while (done < buffer.size()) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset + done);
            at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(buffer.size() - done, 1u << 30));
            DWORD got = 0;
            if (!ReadFile(handle_, buffer.data() + done, want, &got, &at)) {
                const DWORD error = GetLastError();
                if (error == ERROR_HANDLE_EOF) break;
                Fail("read", path_, error);
            }
            if (got == 0) break;
            done += got;
        }
        return done;
    }

private:
    std::string path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::uint64_t size_ = 0;
};

// Writes go to a uniquely named file in the target's folder; the finished,
// flushed file then replaces the target in one step.
class Win32OutputFile final : public BufferedOutput {
public:
    Win32OutputFile(SystemHost& host, const std::string& path)
        : BufferedOutput(path, host.Buffers().stream), host_(host), target_(SystemPath(path)) {
        if (IsDeviceName(target_) || StartsWith(target_, L"\\\\.\\"))
            throw FileError("Cannot write " + path_ + ": it is a device, not a file");
        const DWORD attributes = GetFileAttributesW(target_.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) throw FileError("Cannot write " + path_ + ": it is a folder");
            if (attributes & FILE_ATTRIBUTE_READONLY) Fail("write", path_, ERROR_ACCESS_DENIED);
            CheckReplaceable();
        }
        const std::size_t slash = target_.find_last_of(L'\\');
        const std::wstring folder = target_.substr(0, slash + 1);
        const std::string name = ToUtf8(target_.substr(slash + 1));
        if (name.empty()) throw FileError("Cannot write " + path_ + ": it is a folder");
        for (int attempt = 0; handle_ == INVALID_HANDLE_VALUE; ++attempt) {
            temp_ = folder + FromUtf8(TemporaryName(name));
            handle_ = CreateFileW(temp_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            const DWORD error = GetLastError();
            if (handle_ == INVALID_HANDLE_VALUE && (error != ERROR_FILE_EXISTS || attempt > 100))
                Fail("create", path_, error);
        }
    }

    ~Win32OutputFile() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        if (!committed_) DeleteFileW(temp_.c_str());
    }
    Win32OutputFile(const Win32OutputFile&) = delete;
    Win32OutputFile& operator=(const Win32OutputFile&) = delete;

    // "Done" may follow only once the new bytes are on disk: flushed before
    // they replace the target, and the replacement written through.
    void Commit() override {
        Flush();
        if (const int error = host_.FlushToDisk(handle_)) Fail("write", path_, static_cast<DWORD>(error));
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        if (!CloseHandle(handle)) Fail("write", path_, GetLastError());
        if (!MoveFileExW(temp_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            Fail("write", path_, GetLastError());
        committed_ = true;
    }

protected:
    void WriteRaw(const std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        while (size > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD wrote = 0;
            const DWORD step = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
            if (!WriteFile(handle_, data, step, &wrote, &at)) Fail("write", path_, GetLastError());
            if (wrote == 0) Fail("write", path_, ERROR_DISK_FULL);
            data += wrote;
            size -= wrote;
            offset += wrote;
        }
    }

    void Resize(std::uint64_t size) override {
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
        if (!SetFileInformationByHandle(handle_, FileEndOfFileInfo, &end, sizeof end))
            Fail("write", path_, GetLastError());
    }

private:
    // A target that is not a file on a disk, or that another program holds
    // open without letting others delete it, cannot be replaced: say so
    // before anything is written.
    void CheckReplaceable() {
        const HANDLE target = CreateFileW(target_.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (target == INVALID_HANDLE_VALUE) Fail("write", path_, GetLastError());
        const DWORD type = GetFileType(target);
        CloseHandle(target);
        if (type != FILE_TYPE_DISK) throw FileError("Cannot write " + path_ + ": it is a device, not a file");
    }

    SystemHost& host_;
    std::wstring target_;  // the file that is replaced, as the system names it
    std::wstring temp_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool committed_ = false;
};

}  // namespace

// Any entry that is not a folder is a file, hidden and system ones included.
bool SystemHost::FileExists(const std::string& path) {
    const std::wstring system = SystemPath(path);
    if (system.empty() || IsDeviceName(system) || StartsWith(system, L"\\\\.\\")) return false;
    const DWORD attributes = GetFileAttributesW(system.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::unique_ptr<InputFile> SystemHost::OpenInput(const std::string& path) {
    return std::make_unique<Win32InputFile>(path);
}

std::unique_ptr<OutputFile> SystemHost::CreateOutput(const std::string& path) {
    return std::make_unique<Win32OutputFile>(*this, path);
}

int SystemHost::FlushToDisk(NativeFile file) { return FlushFileBuffers(file) ? 0 : static_cast<int>(GetLastError()); }

std::size_t LevelTwoCacheSize() {
    DWORD bytes = 0;
    GetLogicalProcessorInformation(nullptr, &bytes);
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> entries(bytes / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    if (entries.empty() || !GetLogicalProcessorInformation(entries.data(), &bytes)) return 0;
    for (const auto& entry : entries)
        if (entry.Relationship == RelationCache && entry.Cache.Level == 2) return entry.Cache.Size;
    return 0;
}

void PrepareProcess() {
    // A missing floppy or card reader must give a message, not a system dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

}  // namespace zelk
