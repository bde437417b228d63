// Files on POSIX systems.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/buffered_output.h"
#include "host/system_host.h"

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

class PosixInputFile final : public InputFile {
public:
    explicit PosixInputFile(const std::string& path) : path_(path) {
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
    ~PosixInputFile() override { ::close(fd_); }
    PosixInputFile(const PosixInputFile&) = delete;
    PosixInputFile& operator=(const PosixInputFile&) = delete;

    std::uint64_t Size() const override { return size_; }
    const std::string& Path() const override { return path_; }
    int Descriptor() const { return fd_; }

    void ExpectSequential() override {
#ifdef POSIX_FADV_SEQUENTIAL
        ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
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

// Writes go to a uniquely named file in the target's folder, so that the
// final rename stays on one file system and is atomic.
class PosixOutputFile final : public BufferedOutput {
public:
    PosixOutputFile(SystemHost& host, const std::string& path)
        : BufferedOutput(path, host.Buffers().stream), host_(host) {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::path target(path);
        // Through a link, the file it names gets the new bytes; the link stays.
        if (fs::is_symlink(target, ec)) {
            const fs::path resolved = fs::weakly_canonical(target, ec);
            if (!ec) target = resolved;
        }
        struct stat st {};
        const bool exists = ::stat(target.c_str(), &st) == 0;
        if (exists && S_ISDIR(st.st_mode)) Fail("write", path_, EISDIR);
        // Renaming over a device, a pipe or a socket would destroy the node
        // (and with /dev/null, break the machine); only files are replaced.
        if (exists && !S_ISREG(st.st_mode))
            throw FileError("Cannot write " + path_ + ": it is " + NodeKind(st.st_mode) + ", not a regular file");
        // A file marked read-only stays as it is, even for a user (root) whom
        // the system would let replace it.
        if (exists && (::access(target.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0)) Fail("write", path_, EACCES);
        target_ = target.string();

        const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
        folder_ = folder.string();
        for (int attempt = 0; fd_ < 0; ++attempt) {
            temp_ = (folder / TemporaryName(target.filename().string())).string();
            fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ < 0 && (errno != EEXIST || attempt > 100)) Fail("create", path_, errno);
        }
        // A replaced file keeps its permissions.
        if (exists) (void)::fchmod(fd_, st.st_mode & 07777);
    }

    ~PosixOutputFile() override {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(temp_.c_str());
    }
    PosixOutputFile(const PosixOutputFile&) = delete;
    PosixOutputFile& operator=(const PosixOutputFile&) = delete;

    // "Done" may follow only once the new bytes would survive a power cut:
    // the data reaches the disk before the rename makes it the target, and
    // the rename itself is on disk once the folder is flushed.
    void Commit() override {
        Flush();
        if (const int error = host_.FlushToDisk(fd_)) Fail("write", path_, error);
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) Fail("write", path_, errno);
        if (::rename(temp_.c_str(), target_.c_str()) != 0) Fail("write", path_, errno);
        committed_ = true;
        const int folder = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0) Fail("write", path_, errno);
        const int error = host_.FlushToDisk(folder);
        ::close(folder);
        // Some file systems cannot flush a folder at all (EINVAL): nothing more to do there.
        if (error != 0 && error != EINVAL) Fail("write", path_, error);
    }

protected:
    void WriteRaw(const std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        while (size > 0) {
            const ssize_t wrote = ::pwrite(fd_, data, size, static_cast<off_t>(offset));
            if (wrote < 0) {
                if (errno == EINTR) continue;
                Fail("write", path_, errno);
            }
            if (wrote == 0) Fail("write", path_, ENOSPC);
            data += wrote;
            size -= static_cast<std::size_t>(wrote);
            offset += static_cast<std::uint64_t>(wrote);
        }
    }

    void Resize(std::uint64_t size) override {
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) Fail("write", path_, errno);
    }

    std::uint64_t CopyInSystem(InputFile& source, std::uint64_t from, std::uint64_t to, std::uint64_t length) override {
        const auto* input = dynamic_cast<PosixInputFile*>(&source);
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
#ifdef SYNC_FILE_RANGE_WRITE
        constexpr std::uint64_t kStep = 8u << 20;
        if (end - writebackFrom_ < kStep) return;
        (void)::sync_file_range(fd_, static_cast<off_t>(writebackFrom_), static_cast<off_t>(end - writebackFrom_),
                                SYNC_FILE_RANGE_WRITE);
        writebackFrom_ = end;
#else
        (void)end;
#endif
    }

private:
    SystemHost& host_;
    std::string target_;  // the file that is replaced
    std::string folder_;  // the target's folder, which holds the temporary file too
    std::string temp_;
    int fd_ = -1;
    bool committed_ = false;
    bool kernelCopy_ = true;
    std::uint64_t writebackFrom_ = 0;  // where the disk has not been asked to start yet
};

}  // namespace

bool SystemHost::FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::unique_ptr<InputFile> SystemHost::OpenInput(const std::string& path) {
    return std::make_unique<PosixInputFile>(path);
}

std::unique_ptr<OutputFile> SystemHost::CreateOutput(const std::string& path) {
    return std::make_unique<PosixOutputFile>(*this, path);
}

int SystemHost::FlushToDisk(NativeFile file) {
    while (::fdatasync(file) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

std::size_t LevelTwoCacheSize() {
    const long l2 = ::sysconf(_SC_LEVEL2_CACHE_SIZE);
    return l2 > 0 ? static_cast<std::size_t>(l2) : 0;
}

void PrepareProcess() {
    std::signal(SIGXFSZ, SIG_IGN);
    // A closed pipe on standard output must not kill an operation halfway
    // through writing; the failed write is handled where it happens.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace zelk
