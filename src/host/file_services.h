// What the platform supplies to an operation: files, and the 8-bit code
// page of patch comments. Each platform has one file layer (linux_files.cpp,
// win32_files.cpp, web_files.cpp); a test may stand in for any of them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>
#include <string_view>

namespace zelk {

// Sizes of the read and write buffers of one operation.
struct BufferSizes {
    std::size_t scan;    // each of the two inputs that making a patch reads side by side
    std::size_t stream;  // each input and the output of a copy (applying a patch)
    // Stretches of the original at least this long without a block are
    // copied by the system (OutputFile::AppendFrom), not through the buffers.
    std::uint64_t copyGap = 1u << 20;
};

// Sizes for a processor with `l2Bytes` of level-2 cache per core (0 when the
// system does not say).
BufferSizes BufferSizesFor(std::size_t l2Bytes);

// Thrown when the system refuses an operation or an input cannot be used.
// `what()` is a complete, user-facing sentence that names the path as the
// user typed it.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the user is told of a failure: a FileError's own sentence; for
// anything else (memory ran out, an internal fault) a plain sentence, never
// the exception's internal text.
std::string FailureText(const std::exception& failure);

class InputFile;
// Another program shortened or rewrote a file while it was being read.
FileError ShrankWhileRead(const InputFile& file);
FileError ChangedWhileRead(const InputFile& file);

// A file opened for reading. Reads are positioned, so a reader never depends
// on a shared cursor and both inputs may be read side by side.
class InputFile {
public:
    virtual ~InputFile() = default;
    virtual std::uint64_t Size() const = 0;
    // Reads up to buffer.size() bytes at `offset`; fewer only at end of file.
    virtual std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) = 0;
    // Fills `buffer` from `offset` or throws ShrankWhileRead: for bytes the
    // file had when it was opened.
    void ReadExactly(std::uint64_t offset, std::span<std::uint8_t> buffer);
    virtual const std::string& Path() const = 0;
    // Hint that the file will be read front to back.
    virtual void ExpectSequential() {}
};

// A new version of a file. Bytes go to a temporary file beside the target;
// Commit() replaces the target only once everything is written, and an
// output destroyed without Commit() leaves the target exactly as it was.
class OutputFile {
public:
    virtual ~OutputFile() = default;
    virtual void Append(std::span<const std::uint8_t> bytes) = 0;
    // Overwrites bytes already written (offset + size must not pass Size()).
    virtual void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) = 0;
    // Copies `length` bytes of `source` from `offset` to the end of this file.
    virtual void AppendFrom(InputFile& source, std::uint64_t offset, std::uint64_t length) = 0;
    // Grows the file to `size` bytes; the new bytes read as zero.
    virtual void ExtendTo(std::uint64_t size) = 0;
    virtual std::uint64_t Size() const = 0;
    // Fills `buffer` with bytes written before, from `offset` (offset +
    // size must not pass Size()): a BPS patch copies from its own output.
    virtual void ReadBack(std::uint64_t offset, std::span<std::uint8_t> buffer) = 0;
    // Sets room aside for `size` bytes before any is written, where the
    // system can: a result the file system cannot hold is refused at once
    // (FileError), instead of filling the disk first. Where the system sets
    // no room aside, the bytes are written as they come, as without it.
    virtual void Reserve(std::uint64_t) {}
    virtual void Commit() = 0;
    virtual const std::string& Path() const = 0;
    // What a committed output could not keep of the file it replaced (an
    // attribute, an ACL), in a sentence naming the path; empty when nothing.
    virtual std::string Caveat() const { return {}; }

    void AppendInt32(std::int32_t value);
    void WriteInt32At(std::uint64_t offset, std::int32_t value);
};

// An output that hands every call on to another: the base of one that
// changes one thing about it (where the bytes land, what is done before
// they replace anything).
class ForwardingOutput : public OutputFile {
public:
    explicit ForwardingOutput(OutputFile& output) : output_(output) {}
    void Append(std::span<const std::uint8_t> bytes) override { output_.Append(bytes); }
    void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override { output_.WriteAt(offset, bytes); }
    void AppendFrom(InputFile& source, std::uint64_t offset, std::uint64_t length) override {
        output_.AppendFrom(source, offset, length);
    }
    void ExtendTo(std::uint64_t size) override { output_.ExtendTo(size); }
    std::uint64_t Size() const override { return output_.Size(); }
    void ReadBack(std::uint64_t offset, std::span<std::uint8_t> buffer) override { output_.ReadBack(offset, buffer); }
    void Reserve(std::uint64_t size) override { output_.Reserve(size); }
    void Commit() override { output_.Commit(); }
    const std::string& Path() const override { return output_.Path(); }
    std::string Caveat() const override { return output_.Caveat(); }

protected:
    OutputFile& output_;
};

// What `output` holds so far, read as a file named `shown`.
class WrittenInput : public InputFile {
public:
    WrittenInput(OutputFile& output, std::string shown) : output_(output), shown_(std::move(shown)) {}
    std::uint64_t Size() const override { return output_.Size(); }
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override;
    const std::string& Path() const override { return shown_; }

private:
    OutputFile& output_;
    std::string shown_;
};

// An output owned by the one that forwards to it: the first base of such a
// class, so that it is there before the forwarding base is built.
struct OwnedOutput {
    std::unique_ptr<OutputFile> owned;
};

// Bytes an operation needs again and nobody else: an archive's entry
// unpacked, the result of one patch of several before the next is applied.
// It has no name that could outlive it, replaces nothing (Commit keeps it
// for reading), and is gone once destroyed, however the program ends.
class ScratchFile : public OutputFile {
public:
    void Commit() override {}
};

// Reads what a scratch file holds, under the name `shown` in messages; the
// scratch lives as long as any reader of it.
std::unique_ptr<InputFile> ReadScratch(std::shared_ptr<ScratchFile> scratch, std::string shown);

// A scratch file in memory, for small ones and where there is no disk.
std::unique_ptr<ScratchFile> MemoryScratch(std::string shown);

class FileServices {
public:
    virtual ~FileServices() = default;

    // True for a regular file (links followed); folders and nothing are false.
    virtual bool FileExists(const std::string& path) = 0;
    // Whether two paths name one existing file, through links too; where
    // files have no identity to compare, whether the paths are the same.
    virtual bool SameFile(const std::string& a, const std::string& b) { return a == b; }
    // Why `path` cannot be read as an input: nothing when it is a regular
    // file (links followed); an empty text when nothing is there; else a
    // sentence that names the path and the real reason (a folder, a pipe,
    // a device, permission denied).
    virtual std::optional<std::string> InputProblem(const std::string& path) {
        if (FileExists(path)) return std::nullopt;
        return std::string();
    }
    virtual std::unique_ptr<InputFile> OpenInput(const std::string& path) = 0;
    virtual std::unique_ptr<OutputFile> CreateOutput(const std::string& path) = 0;
    // A scratch file, `shown` in messages, on the file system that holds
    // `beside` (where the result goes, so that bytes stay on one disk) where
    // that can be, else in the system's temporary folder. In memory unless
    // the platform has files of its own.
    virtual std::unique_ptr<ScratchFile> CreateScratch(const std::string& beside, const std::string& shown) {
        (void)beside;
        return MemoryScratch(shown);
    }
    // A temporary file that an output could not remove when it was given up
    // (its folder changed meanwhile), in a sentence that names it; empty when
    // there is none. Asking forgets it.
    virtual std::string TakeLeftBehind() { return {}; }

    // UTF-8 to and from the code page of patch files, one byte per character.
    virtual std::string ToAnsi(std::string_view utf8) = 0;
    virtual std::string FromAnsi(std::string_view bytes) = 0;

    // Buffer sizes for this machine; tests choose odd ones.
    virtual BufferSizes Buffers() { return BufferSizesFor(0); }

    // The paths of the regular files in the folder at `path`, in name
    // order; nothing where it is no folder or cannot be read.
    virtual std::vector<std::string> FilesIn(const std::string&) { return {}; }
    // Whether `path` is a folder.
    virtual bool FolderExists(const std::string&) { return false; }
    // Where the user keeps the DAT files that name ROMs; empty where the
    // system has no such place.
    virtual std::string DatFolder() { return {}; }
};

}  // namespace zelk
