#include "host/system_host.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/ansi_code_page.h"

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
    int NativeHandle() const override { return fd_; }

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
class PosixOutputFile final : public OutputFile {
public:
    PosixOutputFile(SystemHost& host, const std::string& path) : host_(host), path_(path) {
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
        std::random_device random;
        for (int attempt = 0; fd_ < 0; ++attempt) {
            char suffix[16];
            std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
            std::string name = target.filename().string();
            name.insert(name.begin(), '.');
            name.append(".zelk-").append(suffix);
            temp_ = (folder / name).string();
            fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ < 0 && (errno != EEXIST || attempt > 100)) Fail("create", path_, errno);
        }
        // A replaced file keeps its permissions.
        if (exists && S_ISREG(st.st_mode)) (void)::fchmod(fd_, st.st_mode & 07777);
        bufferSize_ = host.Buffers().stream;
        buffer_.reserve(bufferSize_);
    }

    ~PosixOutputFile() override {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(temp_.c_str());
    }
    PosixOutputFile(const PosixOutputFile&) = delete;
    PosixOutputFile& operator=(const PosixOutputFile&) = delete;

    const std::string& Path() const override { return path_; }
    std::uint64_t Size() const override { return bufferStart_ + buffer_.size(); }

    void Append(std::span<const std::uint8_t> bytes) override {
        if (buffer_.size() + bytes.size() > bufferSize_) Flush();
        if (bytes.size() >= bufferSize_) {
            WriteFully(bytes.data(), bytes.size(), bufferStart_);
            bufferStart_ += bytes.size();
            StartWriteback();
        } else {
            buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
        }
    }

    void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        const std::uint64_t end = offset + bytes.size();
        // The part before the buffer is already in the file.
        if (offset < bufferStart_) {
            const std::size_t direct = static_cast<std::size_t>(std::min(end, bufferStart_) - offset);
            WriteFully(bytes.data(), direct, offset);
            bytes = bytes.subspan(direct);
            offset += direct;
        }
        if (!bytes.empty()) std::copy(bytes.begin(), bytes.end(), buffer_.begin() + (offset - bufferStart_));
    }

    void AppendFrom(InputFile& source, std::uint64_t offset, std::uint64_t length) override {
        Flush();
        const int sourceFd = source.NativeHandle();
        if (sourceFd >= 0 && kernelCopy_) {
            auto in = static_cast<off_t>(offset);
            auto out = static_cast<off_t>(bufferStart_);
            while (length > 0) {
                const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(length, 1u << 30));
                const ssize_t copied = ::copy_file_range(sourceFd, &in, fd_, &out, step, 0);
                if (copied > 0) {
                    length -= static_cast<std::uint64_t>(copied);
                    offset += static_cast<std::uint64_t>(copied);
                    bufferStart_ += static_cast<std::uint64_t>(copied);
                    StartWriteback();
                    continue;
                }
                if (copied < 0 && errno == EINTR) continue;
                if (copied == 0) throw ShrankWhileRead(source);
                // Not across these file systems, or not here at all: copy by hand.
                if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
                    kernelCopy_ = false;
                    break;
                }
                Fail("write", path_, errno);
            }
        }
        std::vector<std::uint8_t> chunk;
        while (length > 0) {
            chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length, bufferSize_)));
            source.ReadExactly(offset, chunk);
            WriteFully(chunk.data(), chunk.size(), bufferStart_);
            bufferStart_ += chunk.size();
            StartWriteback();
            offset += chunk.size();
            length -= chunk.size();
        }
    }

    void ExtendTo(std::uint64_t size) override {
        Flush();
        if (size <= bufferStart_) return;
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) Fail("write", path_, errno);
        bufferStart_ = size;
    }

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

private:
    void Flush() {
        WriteFully(buffer_.data(), buffer_.size(), bufferStart_);
        bufferStart_ += buffer_.size();
        buffer_.clear();
        StartWriteback();
    }

    // The disk starts on what is written while the rest is still being
    // copied, so the flush before "Done" finds little left to do.
    void StartWriteback() {
#ifdef SYNC_FILE_RANGE_WRITE
        constexpr std::uint64_t kStep = 8u << 20;
        if (bufferStart_ - writebackFrom_ < kStep) return;
        (void)::sync_file_range(fd_, static_cast<off_t>(writebackFrom_), static_cast<off_t>(bufferStart_ - writebackFrom_),
                                SYNC_FILE_RANGE_WRITE);
        writebackFrom_ = bufferStart_;
#endif
    }

    void WriteFully(const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
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

    SystemHost& host_;
    std::string path_;    // as the user typed it, for messages
    std::string target_;  // the file that is replaced
    std::string folder_;  // the target's folder, which holds the temporary file too
    std::string temp_;
    int fd_ = -1;
    bool committed_ = false;
    bool kernelCopy_ = true;
    std::size_t bufferSize_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t bufferStart_ = 0;  // file offset of buffer_[0]
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

std::string SystemHost::ToAnsi(std::string_view utf8) { return AnsiCodePage::Host().ToAnsi(utf8); }

std::string SystemHost::FromAnsi(std::string_view bytes) { return AnsiCodePage::Host().FromAnsi(bytes); }

BufferSizes SystemHost::Buffers() {
    if (buffers) return *buffers;
    static const BufferSizes chosen = [] {
        const long l2 = ::sysconf(_SC_LEVEL2_CACHE_SIZE);
        return BufferSizesFor(l2 > 0 ? static_cast<std::size_t>(l2) : 0);
    }();
    return chosen;
}

int SystemHost::FlushToDisk(NativeFile file) {
    while (::fdatasync(file) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

void PrepareProcess() {
    std::signal(SIGXFSZ, SIG_IGN);
    // A closed pipe on standard output must not kill an operation halfway
    // through writing; the failed write is handled where it happens.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace zelk
