// Files on Windows, through the wide (UTF-16) functions only, so that any
// name works, and with the \\?\ prefix, so that any length works.
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cwctype>
#include <mutex>
#include <utility>
#include <vector>

#include "host/ansi_code_page.h"
#include "host/buffered_output.h"
#include "host/system_files.h"
#include "host/win32_text.h"

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

SystemFiles::NativeFile Native(HANDLE handle) {
    return static_cast<SystemFiles::NativeFile>(reinterpret_cast<std::intptr_t>(handle));
}

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

void WriteAll(HANDLE handle, const std::uint8_t* data, std::size_t size, std::uint64_t offset, const std::string& path) {
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD wrote = 0;
        const DWORD step = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!WriteFile(handle, data, step, &wrote, &at)) Fail("write", path, GetLastError());
        if (wrote == 0) Fail("write", path, ERROR_DISK_FULL);
        data += wrote;
        size -= wrote;
        offset += wrote;
    }
}

void ReadAll(HANDLE handle, std::uint8_t* data, std::size_t size, std::uint64_t offset, const std::string& path) {
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        const DWORD step = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!ReadFile(handle, data, step, &got, &at)) Fail("read", path, GetLastError());
        if (got == 0) Fail("read", path, ERROR_HANDLE_EOF);
        data += got;
        size -= got;
        offset += got;
    }
}

void ResizeFile(HANDLE handle, std::uint64_t size, const std::string& path) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end)) Fail("write", path, GetLastError());
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

// Temporary files being written, for the console's Ctrl+C, Ctrl+Break and
// close events, which Windows delivers on a thread of their own.
std::mutex pendingLock;
std::vector<std::wstring> pendingTemporaries;

BOOL WINAPI RemoveTemporaries(DWORD) {
    std::lock_guard<std::mutex> hold(pendingLock);
    for (const std::wstring& temp : pendingTemporaries) DeleteFileW(temp.c_str());
    return FALSE;  // then the system ends the program as it would have
}

void Remember(const std::wstring& temp) {
    std::lock_guard<std::mutex> hold(pendingLock);
    pendingTemporaries.push_back(temp);
}

void Forget(const std::wstring& temp) {
    std::lock_guard<std::mutex> hold(pendingLock);
    std::erase(pendingTemporaries, temp);
}

// Marks an open file to be deleted when its last handle closes, or takes
// that back: a program that ends in any way mid-write leaves no temporary.
bool DeleteOnClose(HANDLE file, bool remove) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// The file a write to `target` lands in, by its full long name: links and
// short 8.3 names resolved. Empty when nothing is there yet.
std::wstring ExistingFinalPath(const std::wstring& target, const std::string& path) {
    const HANDLE file = CreateFileW(target.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) Fail("write", path, error);
        // A link whose file is missing: where it leads is not ours to guess.
        const DWORD attributes = GetFileAttributesW(target.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            throw FileError("Cannot write " + path + ": it is a link to a file that does not exist");
        return {};
    }
    const DWORD type = GetFileType(file);
    std::wstring final(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (size == 0 || size < final.size()) {
            final.resize(size);
            break;
        }
        final.resize(size);
    }
    CloseHandle(file);
    if (type != FILE_TYPE_DISK) throw FileError("Cannot write " + path + ": it is a device, not a file");
    return final.empty() ? target : final;
}

// Writes go to a uniquely named file in the target's folder; the finished,
// flushed file then replaces the target in one step, keeping the target's
// attributes and security (ReplaceFile).
class Win32OutputFile final : public BufferedOutput {
public:
    Win32OutputFile(SystemFiles& host, const std::string& path)
        : BufferedOutput(path, host.Buffers().stream), host_(host), target_(SystemPath(path)) {
        if (IsDeviceName(target_) || StartsWith(target_, L"\\\\.\\"))
            throw FileError("Cannot write " + path_ + ": it is a device, not a file");
        std::size_t slash = target_.find_last_of(L'\\');
        if (target_.find(L':', slash + 1) != std::wstring::npos)
            throw FileError("Cannot write " + path_ + ": a file name cannot hold ':' (it would name a stream inside "
                            "another file)");
        const DWORD attributes = GetFileAttributesW(target_.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) throw FileError("Cannot write " + path_ + ": it is a folder");
            const std::wstring final = ExistingFinalPath(target_, path_);
            if (!final.empty()) {
                target_ = final;
                exists_ = true;
                const DWORD real = GetFileAttributesW(target_.c_str());
                if (real != INVALID_FILE_ATTRIBUTES && (real & FILE_ATTRIBUTE_DIRECTORY))
                    throw FileError("Cannot write " + path_ + ": it is a folder");
                if (real != INVALID_FILE_ATTRIBUTES && (real & FILE_ATTRIBUTE_READONLY))
                    Fail("write", path_, ERROR_ACCESS_DENIED);
                if (real != INVALID_FILE_ATTRIBUTES) attributes_ = real & kKeptAttributes;
            }
            slash = target_.find_last_of(L'\\');
        }
        const std::wstring folder = target_.substr(0, slash + 1);
        const std::string name = ToUtf8(target_.substr(slash + 1));
        if (name.empty()) throw FileError("Cannot write " + path_ + ": it is a folder");
        for (int attempt = 0; handle_ == INVALID_HANDLE_VALUE; ++attempt) {
            temp_ = folder + FromUtf8(TemporaryName(name));
            handle_ = CreateFileW(temp_.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
            const DWORD error = GetLastError();
            if (handle_ == INVALID_HANDLE_VALUE && (error != ERROR_FILE_EXISTS || attempt > 100))
                Fail("create", path_, error);
        }
        DeleteOnClose(handle_, true);
        Remember(temp_);
    }

    ~Win32OutputFile() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        // Deleted on close as a rule; by name where that mark could not be set.
        if (!committed_ && !DeleteFileW(temp_.c_str())) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
                try {
                    const bool local = temp_.rfind(L"\\\\?\\", 0) == 0;
                    host_.LeaveBehind(ToUtf8(local ? temp_.substr(4) : temp_), Reason(error));
                } catch (...) {  // out of memory: the file stays, unnamed in any message
                }
            }
        }
        Forget(temp_);
    }
    Win32OutputFile(const Win32OutputFile&) = delete;
    Win32OutputFile& operator=(const Win32OutputFile&) = delete;

    // "Done" may follow only once the new bytes are on disk: flushed before
    // they replace the target, and the replacement written through.
    void Commit() override {
        Flush();
        if (const int error = host_.FlushToDisk(Native(handle_))) Fail("write", path_, static_cast<DWORD>(error));
        if (!DeleteOnClose(handle_, false)) Fail("write", path_, GetLastError());
        if (!CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE))) Fail("write", path_, GetLastError());
        if (exists_) {
            Replace();
        } else if (!MoveFileExW(temp_.c_str(), target_.c_str(), MOVEFILE_WRITE_THROUGH)) {
            Fail("write", path_, GetLastError());
        }
        committed_ = true;
    }

    void Reserve(std::uint64_t size) override {
        if (size == 0) return;
        const std::wstring folder = temp_.substr(0, temp_.find_last_of(L'\\') + 1);
        ULARGE_INTEGER room{};
        std::optional<std::uint64_t> free;
        if (GetDiskFreeSpaceExW(folder.c_str(), &room, nullptr, nullptr)) free = room.QuadPart;
        if (!host_.RoomRefused(Native(handle_), size, free, ERROR_DISK_FULL)) return;
        const std::size_t slash = path_.find_last_of("\\/");
        const std::string shown = slash == std::string::npos ? "." : path_.substr(0, std::max<std::size_t>(slash, 1));
        throw FileError(SystemFiles::NoRoom(path_, size, shown, free.value_or(0)));
    }

protected:
    void WriteRaw(const std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        WriteAll(handle_, data, size, offset, path_);
    }
    void ReadRaw(std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        ReadAll(handle_, data, size, offset, path_);
    }
    void Resize(std::uint64_t size) override { ResizeFile(handle_, size, path_); }

private:
    // ReplaceFile keeps the old file's attributes, security, streams and
    // creation time, which a rename would lose; where a file system cannot
    // (some network shares), the rename does. Its metadata is then flushed
    // like the bytes were.
    void Replace() {
        // Said again where ReplaceFile would leave them (Wine does).
        if (attributes_ != 0) SetFileAttributesW(temp_.c_str(), attributes_);
        // Wine keeps no Windows security descriptors or alternate streams on
        // its files, so the tests, which run under Wine, can show only that
        // the bytes and the attributes above arrive; that the old file's
        // security and streams are kept rests on ReplaceFile on Windows.
        if (!ReplaceFileW(target_.c_str(), temp_.c_str(), nullptr,
                          REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr, nullptr)) {
            const DWORD error = GetLastError();
            if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_PARAMETER && error != ERROR_INVALID_FUNCTION)
                Fail("write", path_, error);
            if (!MoveFileExW(temp_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
                Fail("write", path_, GetLastError());
            return;
        }
        const HANDLE replaced = CreateFileW(target_.c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (replaced == INVALID_HANDLE_VALUE) return;  // the bytes were flushed before; the system logged the rest
        const int error = host_.FlushToDisk(Native(replaced));
        CloseHandle(replaced);
        if (error != 0)
            throw FileError("Cannot write " + path_ + ": " + Reason(static_cast<DWORD>(error)) +
                            " (the new file has replaced the old one, but the system could not confirm that it is "
                            "on disk)");
    }

    SystemFiles& host_;
    std::wstring target_;  // the file that is replaced, as the system names it
    bool exists_ = false;
    static constexpr DWORD kKeptAttributes =
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    DWORD attributes_ = 0;  // the replaced file's, of those above
    std::wstring temp_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool committed_ = false;
};

// A scratch file that Windows deletes once its handle closes, however the
// program ends: in the folder of `beside`, else the system's temporary folder.
// Nobody else may open it meanwhile.
class Win32ScratchFile final : public BufferedScratch {
public:
    Win32ScratchFile(const std::string& beside, std::string shown, std::size_t bufferSize)
        : BufferedScratch(std::move(shown), bufferSize) {
        std::vector<std::wstring> folders;
        if (!beside.empty()) {
            const std::wstring target = SystemPath(beside);
            folders.push_back(target.substr(0, target.find_last_of(L'\\') + 1));
        }
        std::wstring temp(MAX_PATH + 1, L'\0');
        const DWORD length = GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
        if (length > 0 && length < temp.size()) {
            // GetTempPathW's path ends in a backslash, which SystemPath keeps.
            std::wstring folder = SystemPath(ToUtf8(temp.substr(0, length)));
            if (folder.empty() || folder.back() != L'\\') folder += L'\\';
            folders.push_back(folder);
        }
        DWORD error = ERROR_PATH_NOT_FOUND;
        for (const std::wstring& folder : folders) {
            for (int attempt = 0; attempt < 100 && handle_ == INVALID_HANDLE_VALUE; ++attempt) {
                const std::wstring name = folder + FromUtf8(TemporaryName("scratch"));
                handle_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                                      nullptr);
                error = GetLastError();
                if (handle_ == INVALID_HANDLE_VALUE && error != ERROR_FILE_EXISTS) break;
            }
            if (handle_ != INVALID_HANDLE_VALUE) return;
        }
        Fail("write", Path(), error);
    }
    ~Win32ScratchFile() override { CloseHandle(handle_); }
    Win32ScratchFile(const Win32ScratchFile&) = delete;
    Win32ScratchFile& operator=(const Win32ScratchFile&) = delete;

protected:
    void WriteRaw(const std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        WriteAll(handle_, data, size, offset, Path());
    }
    void ReadRaw(std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        ReadAll(handle_, data, size, offset, Path());
    }
    void Resize(std::uint64_t size) override { ResizeFile(handle_, size, Path()); }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::vector<std::string> SystemFiles::FilesIn(const std::string& path) {
    std::vector<std::string> files;
    std::string folder = path;
    if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') folder += '\\';
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(SystemPath(folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return files;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) files.push_back(folder + ToUtf8(found.cFileName));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(files.begin(), files.end());
    return files;
}

bool SystemFiles::FolderExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string SystemFiles::DatFolder() {
    wchar_t data[MAX_PATH + 1] = {};
    const DWORD length = GetEnvironmentVariableW(L"APPDATA", data, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return {};
    return ToUtf8(data) + "\\ZelkPatcher\\dats";
}

// Any entry that is not a folder is a file, hidden and system ones included.
bool SystemFiles::FileExists(const std::string& path) {
    const std::wstring system = SystemPath(path);
    if (system.empty() || IsDeviceName(system) || StartsWith(system, L"\\\\.\\")) return false;
    const DWORD attributes = GetFileAttributesW(system.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool SystemFiles::SameFile(const std::string& a, const std::string& b) {
    // A file is its volume and its index there, whatever names and links
    // lead to it.
    const auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
        const std::wstring system = SystemPath(path);
        if (system.empty() || IsDeviceName(system) || StartsWith(system, L"\\\\.\\")) return false;
        const HANDLE file = CreateFileW(system.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        const bool known = GetFileInformationByHandle(file, &info) != 0;
        CloseHandle(file);
        return known;
    };
    BY_HANDLE_FILE_INFORMATION first {}, second {};
    return identity(a, first) && identity(b, second) && first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

std::optional<std::string> SystemFiles::InputProblem(const std::string& path) {
    if (FileExists(path)) return std::nullopt;
    const std::wstring system = SystemPath(path);
    if (system.empty()) return std::string();
    if (IsDeviceName(system) || StartsWith(system, L"\\\\.\\"))
        return "Cannot read " + path + ": it is a device, not a file";
    const DWORD attributes = GetFileAttributesW(system.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return "Cannot read " + path + ": it is a folder, not a file";
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME) return std::string();
    return "Cannot read " + path + ": " + Reason(error);
}

std::unique_ptr<InputFile> SystemFiles::OpenInput(const std::string& path) {
    return std::make_unique<Win32InputFile>(path);
}

std::unique_ptr<OutputFile> SystemFiles::CreateOutput(const std::string& path) {
    return std::make_unique<Win32OutputFile>(*this, path);
}

std::unique_ptr<ScratchFile> SystemFiles::CreateScratch(const std::string& beside, const std::string& shown) {
    return std::make_unique<Win32ScratchFile>(beside, shown, Buffers().stream);
}

// Windows flushes a file's metadata with its data; nothing more to do.
int SystemFiles::FlushFileSystem(NativeFile file) { return FlushToDisk(file); }

// A replaced file keeps its attributes and security through the calls that
// replace it; no extended attributes are copied one by one here.
int SystemFiles::SetAttribute(NativeFile, const char*, std::span<const char>) { return ENOSYS; }

// The room is the file's allocation: its end stays where the bytes put it.
int SystemFiles::ReserveSpace(NativeFile file, std::uint64_t size) {
    FILE_ALLOCATION_INFO info{};
    info.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(file));
    return SetFileInformationByHandle(handle, FileAllocationInfo, &info, sizeof info) ? 0 : static_cast<int>(GetLastError());
}

int SystemFiles::FlushToDisk(NativeFile file) {
    return FlushFileBuffers(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(file))) ? 0
                                                                                       : static_cast<int>(GetLastError());
}

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
    // Ctrl+C, Ctrl+Break or a closed console in the middle of a write: the
    // temporary file goes, the target stays whole.
    SetConsoleCtrlHandler(RemoveTemporaries, TRUE);
}

namespace {
AnsiCodePage FromSystem(UINT codePage) {
    std::array<char32_t, 256> table{};
    for (int b = 0; b < 256; ++b) {
        const char in = static_cast<char>(b);
        wchar_t wide = 0;
        // A byte with no character keeps its value, as on other systems.
        table[b] = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, &in, 1, &wide, 1) == 1 ? wide : b;
    }
    return AnsiCodePage(table);
}
}  // namespace

AnsiCodePage AnsiCodePage::Windows1251() { return FromSystem(1251); }

// The ANSI code page, where it has one byte per character; the format has
// no room for more, so Chinese, Japanese and Korean systems, whose ANSI code
// pages have two, use Windows-1251 like the patches in the wild.
const AnsiCodePage& AnsiCodePage::Host() {
    static const AnsiCodePage page = [] {
        CPINFO info{};
        const UINT ansi = GetACP();
        return FromSystem(GetCPInfo(ansi, &info) && info.MaxCharSize == 1 ? ansi : 1251);
    }();
    return page;
}

// The C runtime reports a write to a pipe whose reader has gone
// (ERROR_NO_DATA) as EINVAL.
bool ClosedPipe(std::FILE* stream, int error) {
    if (error == EPIPE) return true;
    if (error != EINVAL) return false;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_PIPE;
}

// A console shows UTF-16 whatever its code page; redirected output is UTF-8.
bool WriteToTerminal(std::FILE* stream, std::string_view text) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (text.empty() || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
    std::fflush(stream);
    const std::wstring wide = FromUtf8(text);
    DWORD written = 0;
    return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) != 0;
}

}  // namespace zelk
