// What every platform's output file shares: bytes gather in a buffer of the
// host's stream size and go out in large positioned writes; the platform
// supplies the writes, growing the file, and an optional in-kernel copy.
#pragma once

#include <vector>

#include "host/file_services.h"

namespace zelk {

class BufferedOutput : public OutputFile {
public:
    BufferedOutput(std::string path, std::size_t bufferSize);

    const std::string& Path() const override { return path_; }
    std::uint64_t Size() const override { return bufferStart_ + buffer_.size(); }
    void Append(std::span<const std::uint8_t> bytes) override;
    void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override;
    void AppendFrom(InputFile& source, std::uint64_t offset, std::uint64_t length) override;
    void ExtendTo(std::uint64_t size) override;
    void ReadBack(std::uint64_t offset, std::span<std::uint8_t> buffer) override;

protected:
    // Writes everything still buffered; Commit starts with it.
    void Flush();

    // Writes all of `data` at `offset`, or throws FileError.
    virtual void WriteRaw(const std::uint8_t* data, std::size_t size, std::uint64_t offset) = 0;
    // Fills `size` bytes at `offset` from what WriteRaw and Resize made, or throws FileError.
    virtual void ReadRaw(std::uint8_t* data, std::size_t size, std::uint64_t offset) = 0;
    // Sets the file's length to `size`; new bytes read as zero.
    virtual void Resize(std::uint64_t size) = 0;
    // Copies up to `length` bytes of `source` from `offset` to `to` inside
    // the system; returns how many, 0 when it cannot (then bytes pass
    // through the buffer instead).
    virtual std::uint64_t CopyInSystem(InputFile&, std::uint64_t, std::uint64_t, std::uint64_t) { return 0; }
    // Everything before `end` has been written: a hint the platform may use
    // to start putting it on disk.
    virtual void Written(std::uint64_t) {}

    std::string path_;  // as the user typed it, for messages

private:
    void Put(const std::uint8_t* data, std::size_t size);
    void Within(std::uint64_t offset, std::size_t size) const;

    std::size_t bufferSize_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t bufferStart_ = 0;  // file offset of buffer_[0]
};

// A scratch file on disk, buffered as every output is: the platform gives
// its raw reads, writes and resizing.
class BufferedScratch : public ScratchFile {
public:
    BufferedScratch(std::string shown, std::size_t bufferSize) : output_(std::move(shown), bufferSize, *this) {}

    void Append(std::span<const std::uint8_t> bytes) override { output_.Append(bytes); }
    void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override { output_.WriteAt(offset, bytes); }
    void AppendFrom(InputFile& source, std::uint64_t offset, std::uint64_t length) override {
        output_.AppendFrom(source, offset, length);
    }
    void ExtendTo(std::uint64_t size) override { output_.ExtendTo(size); }
    std::uint64_t Size() const override { return output_.Size(); }
    void ReadBack(std::uint64_t offset, std::span<std::uint8_t> buffer) override { output_.ReadBack(offset, buffer); }
    const std::string& Path() const override { return output_.Path(); }

protected:
    virtual void WriteRaw(const std::uint8_t* data, std::size_t size, std::uint64_t offset) = 0;
    virtual void ReadRaw(std::uint8_t* data, std::size_t size, std::uint64_t offset) = 0;
    virtual void Resize(std::uint64_t size) = 0;

private:
    class Buffered final : public BufferedOutput {
    public:
        Buffered(std::string shown, std::size_t bufferSize, BufferedScratch& file)
            : BufferedOutput(std::move(shown), bufferSize), file_(file) {}
        void Commit() override {}

    protected:
        void WriteRaw(const std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
            file_.WriteRaw(data, size, offset);
        }
        void ReadRaw(std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
            file_.ReadRaw(data, size, offset);
        }
        void Resize(std::uint64_t size) override { file_.Resize(size); }

    private:
        BufferedScratch& file_;
    };
    Buffered output_;
};

// The temporary file's name beside `target`: ".NAME.zelk-XXXXXXXX", with a
// fresh random suffix each call, and NAME cut short (at a character's
// start) where the whole would pass `maxLength` bytes: a temporary must fit
// wherever its target does.
std::string TemporaryName(const std::string& targetName, std::size_t maxLength = 255);

}  // namespace zelk
