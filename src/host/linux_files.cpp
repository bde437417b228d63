// Files on Linux: besides POSIX, it relies on copy_file_range,
// sync_file_range, syncfs and O_PATH.
#ifndef __linux__
#error "linux_files.cpp is the file layer for Linux: another system needs one of its own"
#endif

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "host/buffered_output.h"
#include "host/system_files.h"

namespace zelk {

namespace {

[[noreturn]] void Fail(const char* verb, const std::string& path, int error) {
    throw FileError(std::string("Cannot ") + verb + " " + path + ": " + std::strerror(error));
}

const char* NodeKind(mode_t mode) {
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

class LinuxInputFile final : public InputFile {
public:
    explicit LinuxInputFile(const std::string& path) : path_(path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) Fail("open", path_, errno);
        struct stat st {};
        if (::fstat(fd_, &st) != 0) {
            const int error = errno;
            ::close(fd_);
            Fail("read", path_, error);
        }
        size_ = static_cast<std::uint64_t>(st.st_size);
    }
    ~LinuxInputFile() override { ::close(fd_); }
    LinuxInputFile(const LinuxInputFile&) = delete;
    LinuxInputFile& operator=(const LinuxInputFile&) = delete;

    std::uint64_t Size() const override { return size_; }
    const std::string& Path() const override { return path_; }
    int Descriptor() const { return fd_; }

    void ExpectSequential() override {
        ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    }

    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        std::size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t got = ::pread(fd_, buffer.data() + done, buffer.size() - done,
                                        static_cast<off_t>(offset + done));
            if (got < 0) {
                if (errno == EINTR) continue;
                Fail("read", path_, errno);
            }
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
        return done;
    }

private:
    std::string path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

void WriteAll(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t offset, const std::string& path) {
    while (size > 0) {
        const ssize_t wrote = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (wrote < 0) {
            if (errno == EINTR) continue;
            Fail("write", path, errno);
        }
        if (wrote == 0) Fail("write", path, ENOSPC);
        data += wrote;
        size -= static_cast<std::size_t>(wrote);
        offset += static_cast<std::uint64_t>(wrote);
    }
}

void ReadAll(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset, const std::string& path) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, data, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) Fail("read", path, errno);
        if (got == 0) Fail("read", path, EIO);
        data += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
}

void ResizeFile(int fd, std::uint64_t size, const std::string& path) {
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) Fail("write", path, errno);
}

// Temporary files being written, for a signal handler to remove: a fixed
// table, since a handler may neither allocate nor lock.
struct PendingTemporary {
    std::atomic<int> state{0};  // 0 free, 1 being filled, 2 to be removed on a signal
    int folder = -1;
    char name[NAME_MAX + 1] = {};
};
PendingTemporary pendingTemporaries[16];

PendingTemporary* Remember(int folder, const std::string& name) {
    for (PendingTemporary& slot : pendingTemporaries) {
        int expected = 0;
        if (name.size() > NAME_MAX || !slot.state.compare_exchange_strong(expected, 1)) continue;
        slot.folder = folder;
        std::memcpy(slot.name, name.c_str(), name.size() + 1);
        slot.state.store(2);
        return &slot;
    }
    return nullptr;  // more outputs at once than any program here opens
}

void Forget(PendingTemporary*& slot) {
    if (slot != nullptr) slot->state.store(0);
    slot = nullptr;
}

extern "C" void RemoveTemporariesAndEnd(int signal) {
    for (PendingTemporary& slot : pendingTemporaries)
        if (slot.state.load() == 2) ::unlinkat(slot.folder, slot.name, 0);
    // Ends the way the signal would have ended the program.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Holds the handled signals back for its lifetime; they arrive after.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal : kHandledSignals) sigaddset(&held, signal);
        ::pthread_sigmask(SIG_BLOCK, &held, &before_);
    }
    ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t before_;
};

// Where a write through `path` lands: links are followed to the file they
// name, which need not exist yet (a dangling link is written through, the
// link kept). A loop of links is refused.
std::string FollowLinks(const std::string& path, const std::string& shown) {
    std::string current = path;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        if (hops == 40) Fail("write", shown, ELOOP);
        std::string to(PATH_MAX, '\0');
        const ssize_t size = ::readlink(current.c_str(), to.data(), to.size());
        if (size < 0) Fail("write", shown, errno);
        if (static_cast<std::size_t>(size) == to.size()) Fail("write", shown, ENAMETOOLONG);
        to.resize(static_cast<std::size_t>(size));
        const std::filesystem::path next(to);
        current = next.is_absolute() ? to : (std::filesystem::path(current).parent_path() / next).string();
    }
}

// The umask, read without changing it where the system says it (setting it
// to read it would affect files other threads create meanwhile).
mode_t CurrentUmask() {
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[128];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status) != nullptr)
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found) return static_cast<mode_t>(mask);
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

// Writes go to a file in the target's folder, so that the final rename
// stays on one file system and is atomic: an unnamed one (O_TMPFILE) where
// the file system can, which nothing can leave behind, not even SIGKILL;
// else a uniquely named one, which the signal handler removes. Everything
// that can fail is tried before the rename: after it, only the folder's
// flush is left.
class LinuxOutputFile final : public BufferedOutput {
public:
    LinuxOutputFile(SystemFiles& host, const std::string& path)
        : BufferedOutput(path, host.Buffers().stream), host_(host) {
        namespace fs = std::filesystem;
        const fs::path target(FollowLinks(path, path_));
        name_ = target.filename().string();
        if (name_.empty() || name_ == "." || name_ == "..") Fail("write", path_, EISDIR);
        const std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
        folderPath_ = folder;
        // The folder is held open, so the checks, the temporary file, the
        // rename and the clean-up all happen in the same folder whatever
        // else moves.
        folder_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (folder_ < 0) Fail("write", path_, errno);
        exists_ = ::fstatat(folder_, name_.c_str(), &old_, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists_ && errno != ENOENT) Fail("write", path_, errno);
        if (exists_) CheckReplaceable(old_);
        // A file marked read-only stays as it is, even for a user (root) whom
        // the system would let replace it. The system's own reason (a
        // read-only mount, an immutable file) is the one given.
        if (exists_ && ::faccessat(folder_, name_.c_str(), W_OK, AT_SYMLINK_NOFOLLOW) != 0) Fail("write", path_, errno);
        if (exists_ && (old_.st_mode & 0222) == 0) Fail("write", path_, EACCES);
        // The rename is on disk once the folder is flushed, which needs the
        // folder opened for reading. A folder that may be written but not
        // read (mode 0330) cannot be; then the whole file system is flushed.
        folderForFlush_ = ::openat(folder_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderForFlush_ < 0 && errno != EACCES) Fail("write", path_, errno);
        // In an append-only folder no name can be replaced or removed: refused
        // before anything is written.
        int flags = 0;
        const bool appendOnly = folderForFlush_ >= 0 && ::ioctl(folderForFlush_, FS_IOC_GETFLAGS, &flags) == 0 &&
                                (flags & FS_APPEND_FL) != 0;
        if (appendOnly && exists_)
            throw FileError("Cannot write " + path_ + ": its folder is append-only, so no file in it can be replaced");
        long nameMax = ::fpathconf(folder_, _PC_NAME_MAX);
        nameMax_ = nameMax > 0 ? static_cast<std::size_t>(nameMax) : NAME_MAX;
        // Created as any new file is, so that the umask and the folder's
        // default ACL decide a new file's mode.
        // An unnamed file is named later through /proc, which a chroot may lack.
        const bool unnamed = host_.UnnamedFiles() && ::access("/proc/self/fd", X_OK) == 0;
        fd_ = unnamed ? ::openat(folder_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666) : -1;
        if (fd_ >= 0) return;
        if (unnamed && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)
            Fail("write", path_, errno);
        // A named temporary could be neither renamed nor removed there.
        if (appendOnly)
            throw FileError("Cannot write " + path_ + ": its folder is append-only, and this file system cannot "
                            "write a file without a name first");
        // Private from the start: the bytes are nobody else's business until
        // they replace the target with the mode it should have.
        for (int attempt = 0; fd_ < 0; ++attempt) {
            temp_ = TemporaryName(name_, nameMax_);
            fd_ = ::openat(folder_, temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd_ < 0 && (errno != EEXIST || attempt > 100)) Fail("write", path_, errno);
        }
        pending_ = Remember(folder_, temp_);
        host_.TemporaryCreated(SystemFiles::NativeFile{fd_});
    }

    ~LinuxOutputFile() override {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_ && !temp_.empty() && ::unlinkat(folder_, temp_.c_str(), 0) != 0 && errno != ENOENT) {
            const int error = errno;
            try {
                host_.LeaveBehind((std::filesystem::path(folderPath_) / temp_).string(), std::strerror(error));
            } catch (...) {  // out of memory: the file stays, unnamed in any message
            }
        }
        Forget(pending_);
        if (folderForFlush_ >= 0) ::close(folderForFlush_);
        if (folder_ >= 0) ::close(folder_);
    }
    LinuxOutputFile(const LinuxOutputFile&) = delete;
    LinuxOutputFile& operator=(const LinuxOutputFile&) = delete;

    // "Done" may follow only once the new bytes would survive a power cut:
    // the data and its owner and mode reach the disk before the rename makes
    // it the target, and the rename itself is on disk once the folder is
    // flushed.
    void Commit() override {
        Flush();
        TakeOverOwnerAndMode();
        if (exists_) CopyAttributes();
        if (const int error = host_.FlushToDisk(SystemFiles::NativeFile{fd_})) Fail("write", path_, error);
        // An unnamed file gets a name only now: a new target's own, where
        // nothing has appeared meanwhile; else a temporary one to rename.
        if (temp_.empty() && !exists_) {
            // From the link to the folder's flush, as from a rename below.
            const SignalsHeld held;
            if (Link(name_)) {
                committed_ = true;
                FlushFolder();
                return;
            }
        }
        if (temp_.empty()) {
            for (int attempt = 0; temp_.empty(); ++attempt) {
                const std::string name = TemporaryName(name_, nameMax_);
                if (Link(name)) temp_ = name;
                else if (attempt > 100) Fail("write", path_, EEXIST);
            }
            pending_ = Remember(folder_, temp_);
        }
        // What stands at the name now: a pipe or a folder created while the
        // bytes were written is not replaced either.
        struct stat now {};
        if (::fstatat(folder_, name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0) CheckReplaceable(now);
        // From the rename to the folder's flush no handled signal may end the
        // program: the target is replaced and that is said, or it is not.
        const SignalsHeld held;
        if (::renameat(folder_, temp_.c_str(), folder_, name_.c_str()) != 0) Fail("write", path_, errno);
        committed_ = true;
        Forget(pending_);
        FlushFolder();
    }

    std::string Caveat() const override { return caveat_; }

    void Reserve(std::uint64_t size) override {
        if (size == 0) return;
        struct statvfs room {};
        std::optional<std::uint64_t> free;
        if (::fstatvfs(fd_, &room) == 0) free = static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize;
        if (host_.RoomRefused(SystemFiles::NativeFile{fd_}, size, free, ENOSPC))
            throw FileError(SystemFiles::NoRoom(path_, size, folderPath_, free.value_or(0)));
    }

protected:
    void WriteRaw(const std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        WriteAll(fd_, data, size, offset, path_);
    }
    void ReadRaw(std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        ReadAll(fd_, data, size, offset, path_);
    }
    void Resize(std::uint64_t size) override { ResizeFile(fd_, size, path_); }

    std::uint64_t CopyInSystem(InputFile& source, std::uint64_t from, std::uint64_t to, std::uint64_t length) override {
        const auto* input = dynamic_cast<LinuxInputFile*>(&source);
        if (input == nullptr || !kernelCopy_) return 0;
        auto in = static_cast<off_t>(from);
        auto out = static_cast<off_t>(to);
        const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(length, 1u << 30));
        for (;;) {
            const ssize_t copied = ::copy_file_range(input->Descriptor(), &in, fd_, &out, step, 0);
            if (copied >= 0) return static_cast<std::uint64_t>(copied);  // 0: the source shrank
            if (errno == EINTR) continue;
            // Not across these file systems, or not here at all: copy by hand.
            if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
                kernelCopy_ = false;
                return 0;
            }
            Fail("write", path_, errno);
        }
    }

    // The disk starts on what is written while the rest is still being
    // copied, so the flush before "Done" finds little left to do.
    void Written(std::uint64_t end) override {
        constexpr std::uint64_t kStep = 8u << 20;
        if (end - writebackFrom_ < kStep) return;
        (void)::sync_file_range(fd_, static_cast<off_t>(writebackFrom_), static_cast<off_t>(end - writebackFrom_),
                                SYNC_FILE_RANGE_WRITE);
        writebackFrom_ = end;
    }

private:
    // Gives the unnamed file `name` in the folder; false when that name is taken.
    bool Link(const std::string& name) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        if (::linkat(AT_FDCWD, self.c_str(), folder_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
        if (errno != EEXIST) Fail("write", path_, errno);
        return false;
    }

    // Renaming over a device, a pipe or a socket would destroy the node (and
    // with /dev/null, break the machine); only files are replaced.
    void CheckReplaceable(const struct stat& st) const {
        if (S_ISDIR(st.st_mode)) Fail("write", path_, EISDIR);
        if (!S_ISREG(st.st_mode))
            throw FileError("Cannot write " + path_ + ": it is " + NodeKind(st.st_mode) + ", not a regular file");
    }

    void FlushFolder() {
        int error = 0;
        if (folderForFlush_ >= 0) {
            error = host_.FlushToDisk(SystemFiles::NativeFile{folderForFlush_});
            // Some file systems cannot flush a folder at all: nothing more to do there.
            if (error == EINVAL) error = 0;
        } else {
            error = host_.FlushFileSystem(SystemFiles::NativeFile{fd_});
        }
        if (::close(std::exchange(fd_, -1)) != 0 && error == 0) error = errno;
        if (error != 0)
            throw FileError("Cannot write " + path_ + ": " + std::strerror(error) +
                            " (the new file has replaced the old one, but the system could not confirm that "
                            "it is on disk)");
    }

    // The replaced file's extended attributes, its access ACL among them, as
    // cp -a keeps them. Where the ACL cannot be kept, the mode alone would
    // give its group the ACL's mask: access is narrowed to the owner instead.
    void CopyAttributes() {
        const std::string old = "/proc/self/fd/" + std::to_string(folder_) + "/" + name_;
        std::vector<char> names(4096);
        ssize_t listed;
        while ((listed = ::llistxattr(old.c_str(), names.data(), names.size())) < 0 && errno == ERANGE)
            names.resize(names.size() * 2);
        if (listed < 0) {
            if (errno != ENOTSUP && errno != ENODATA) Note("its extended attributes could not be read (" + std::string(std::strerror(errno)) + ")");
            return;
        }
        std::vector<char> value(4096);
        for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(std::strlen(names.data() + at)) + 1) {
            const char* attribute = names.data() + at;
            ssize_t size;
            while ((size = ::lgetxattr(old.c_str(), attribute, value.data(), value.size())) < 0 && errno == ERANGE)
                value.resize(value.size() * 2);
            const int error = size < 0 ? errno
                                       : host_.SetAttribute(SystemFiles::NativeFile{fd_}, attribute,
                                                            {value.data(), static_cast<std::size_t>(size)});
            if (error == 0) continue;
            if (std::strcmp(attribute, "system.posix_acl_access") == 0) {
                if (::fchmod(fd_, old_.st_mode & static_cast<mode_t>(07700)) != 0) Fail("write", path_, errno);
                Note("its access ACL could not be kept (" + std::string(std::strerror(error)) +
                     "), so only its owner may use the new file");
            } else {
                Note("its attribute " + std::string(attribute) + " could not be kept (" + std::strerror(error) + ")");
            }
        }
    }

    void Note(const std::string& what) {
        caveat_ += (caveat_.empty() ? path_ + ": " : "; ") + what;
    }

    // A replaced file keeps its owner, group and mode where the system lets
    // this user give them; a set-user-ID or set-group-ID bit is never handed
    // to an owner or group the file did not have. A new file gets the mode
    // the umask gives, as any program's would: an unnamed one has it from
    // its creation (and the folder's default ACL with it).
    void TakeOverOwnerAndMode() {
        if (!exists_ && temp_.empty()) return;
        mode_t mode = static_cast<mode_t>(0666 & ~CurrentUmask());
        if (exists_) {
            mode = old_.st_mode & 07777;
            struct stat now {};
            if (::fstat(fd_, &now) != 0) Fail("write", path_, errno);
            bool ownerKept = now.st_uid == old_.st_uid;
            bool groupKept = now.st_gid == old_.st_gid;
            if (!ownerKept || !groupKept) {
                if (::fchown(fd_, old_.st_uid, old_.st_gid) == 0)
                    ownerKept = groupKept = true;
                else if (!groupKept && ::fchown(fd_, static_cast<uid_t>(-1), old_.st_gid) == 0)
                    groupKept = true;
            }
            if (!ownerKept) mode &= static_cast<mode_t>(~S_ISUID);
            if (!groupKept) mode &= static_cast<mode_t>(~S_ISGID);
        }
        if (::fchmod(fd_, mode) != 0) Fail("write", path_, errno);
    }

    SystemFiles& host_;
    struct stat old_ {};  // the target as it was, when it exists
    bool exists_ = false;
    std::string name_;    // the target's name in its folder
    int folder_ = -1;
    std::string folderPath_;  // the folder as the target's path names it, for messages
    int folderForFlush_ = -1;  // -1 when the folder cannot be read
    std::string temp_;    // the temporary file's name in the folder; empty while it has none
    std::size_t nameMax_ = NAME_MAX;
    std::string caveat_;
    PendingTemporary* pending_ = nullptr;
    int fd_ = -1;
    bool committed_ = false;
    bool kernelCopy_ = true;
    std::uint64_t writebackFrom_ = 0;  // where the disk has not been asked to start yet
};

// A scratch file nothing can leave behind: unnamed (O_TMPFILE) in the
// folder of `beside` or else the system's temporary folder; where no file
// system there can make one, named and unlinked at once, before a byte is
// written.
class LinuxScratchFile final : public BufferedScratch {
public:
    LinuxScratchFile(const std::string& beside, std::string shown, std::size_t bufferSize)
        : BufferedScratch(std::move(shown), bufferSize) {
        std::vector<std::string> folders;
        const std::filesystem::path target(beside);
        if (!beside.empty()) folders.push_back(target.has_parent_path() ? target.parent_path().string() : ".");
        const char* tmp = std::getenv("TMPDIR");
        folders.push_back(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
        int error = ENOENT;
        for (const std::string& folder : folders) {
            fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
            if (fd_ >= 0) return;
            error = errno;
        }
        for (const std::string& folder : folders) {
            std::string name = folder + "/.zelk-scratch-XXXXXX";
            // From its creation to its unlinking no handled signal may end the program.
            const SignalsHeld held;
            fd_ = ::mkostemp(name.data(), O_CLOEXEC);
            if (fd_ < 0) {
                error = errno;
                continue;
            }
            ::unlink(name.c_str());
            return;
        }
        Fail("write", Path(), error);
    }
    ~LinuxScratchFile() override { ::close(fd_); }
    LinuxScratchFile(const LinuxScratchFile&) = delete;
    LinuxScratchFile& operator=(const LinuxScratchFile&) = delete;

protected:
    void WriteRaw(const std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        WriteAll(fd_, data, size, offset, Path());
    }
    void ReadRaw(std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        ReadAll(fd_, data, size, offset, Path());
    }
    void Resize(std::uint64_t size) override { ResizeFile(fd_, size, Path()); }

private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<ScratchFile> SystemFiles::CreateScratch(const std::string& beside, const std::string& shown) {
    return std::make_unique<LinuxScratchFile>(beside, shown, Buffers().stream);
}

std::vector<std::string> SystemFiles::FilesIn(const std::string& path) {
    std::vector<std::string> files;
    std::error_code failed;
    for (std::filesystem::directory_iterator it(path, failed), end; !failed && it != end; it.increment(failed))
        if (FileExists(it->path().string())) files.push_back(it->path().string());
    std::sort(files.begin(), files.end());
    return files;
}

bool SystemFiles::FolderExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string SystemFiles::DatFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') return std::string(data) + "/zelkpatcher/dats";
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') return {};
    return std::string(home) + "/.local/share/zelkpatcher/dats";
}

bool SystemFiles::FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool SystemFiles::SameFile(const std::string& a, const std::string& b) {
    struct stat first {}, second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

std::optional<std::string> SystemFiles::InputProblem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::string();
        return "Cannot read " + path + ": " + std::strerror(errno);
    }
    if (S_ISREG(st.st_mode)) {
        // Opened as it will be: a file in a folder this user may list but
        // not read from, say, tells its reason now.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return "Cannot read " + path + ": " + std::strerror(errno);
        ::close(fd);
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) return "Cannot read " + path + ": it is a folder, not a file";
    return "Cannot read " + path + ": it is " + NodeKind(st.st_mode) + ", not a regular file";
}

std::unique_ptr<InputFile> SystemFiles::OpenInput(const std::string& path) {
    return std::make_unique<LinuxInputFile>(path);
}

std::unique_ptr<OutputFile> SystemFiles::CreateOutput(const std::string& path) {
    return std::make_unique<LinuxOutputFile>(*this, path);
}

// fsync, not fdatasync: the owner, mode and attributes must last too.
int SystemFiles::FlushToDisk(NativeFile file) {
    while (::fsync(static_cast<int>(file)) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

int SystemFiles::ReserveSpace(NativeFile file, std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EFBIG;
    while (::fallocate(static_cast<int>(file), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

int SystemFiles::SetAttribute(NativeFile file, const char* name, std::span<const char> value) {
    return ::fsetxattr(static_cast<int>(file), name, value.data(), value.size(), 0) == 0 ? 0 : errno;
}

int SystemFiles::FlushFileSystem(NativeFile file) { return ::syncfs(static_cast<int>(file)) == 0 ? 0 : errno; }

bool ClosedPipe(std::FILE*, int error) { return error == EPIPE; }

// A terminal here takes UTF-8 bytes like any other stream.
bool WriteToTerminal(std::FILE*, std::string_view) { return false; }

std::size_t LevelTwoCacheSize() {
    const long l2 = ::sysconf(_SC_LEVEL2_CACHE_SIZE);
    return l2 > 0 ? static_cast<std::size_t>(l2) : 0;
}

void PrepareProcess() {
    // Interrupted, stopped or hung up on in the middle of a write: the
    // temporary file goes, the target stays whole, the program ends as the
    // signal says. A signal the program was started ignoring stays ignored.
    for (const int signal : kHandledSignals) {
        struct sigaction action {};
        if (::sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
        action = {};
        action.sa_handler = RemoveTemporariesAndEnd;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
    std::signal(SIGXFSZ, SIG_IGN);
    // A closed pipe on standard output must not kill an operation halfway
    // through writing; the failed write is handled where it happens.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace zelk
