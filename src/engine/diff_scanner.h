// Finds the runs of differing bytes between two equally long byte streams.
// The streams arrive piece by piece, so a run may start in one piece and end
// in a later one; what the sink sees does not depend on how they are cut.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zelk {

class DiffSink {
public:
    virtual ~DiffSink() = default;
    virtual void RunBegin(std::uint64_t offset) = 0;
    // The changed bytes of the open run, in order; possibly in several calls.
    virtual void RunBytes(std::span<const std::uint8_t> changed) = 0;
    virtual void RunEnd() = 0;
};

class DiffScanner {
public:
    explicit DiffScanner(DiffSink& sink) : sink_(sink) {}
    // The next pieces of both streams; they must be of equal length.
    void Feed(std::span<const std::uint8_t> original, std::span<const std::uint8_t> changed);
    // Closes a run left open at the end of the streams.
    void Finish();

private:
    DiffSink& sink_;
    std::uint64_t position_ = 0;
    bool inRun_ = false;
};

class InputFile;
// Feeds the first `length` bytes of both files to a scanner for `sink`,
// read side by side, `chunk` bytes at a time, and closes the last run.
void ScanFiles(InputFile& original, InputFile& changed, std::uint64_t length, std::size_t chunk, DiffSink& sink);
// The same over the shorter file's length; where the changed file is
// longer, its tail follows as one run of new bytes.
void ScanFilesAndTail(InputFile& original, InputFile& changed, std::size_t chunk, DiffSink& sink);

// Runs cut into records of at most `most` bytes, each handed to Write.
class ShortRecords : public DiffSink {
public:
    explicit ShortRecords(std::size_t most) : most_(most) {}
    void RunBegin(std::uint64_t offset) override { at_ = offset; }
    void RunBytes(std::span<const std::uint8_t> changed) override;
    void RunEnd() override { Flush(); }

protected:
    virtual void Write(std::uint64_t offset, std::span<const std::uint8_t> bytes) = 0;

private:
    void Flush();
    std::size_t most_;
    std::uint64_t at_ = 0;
    std::vector<std::uint8_t> pending_;
};

// Index of the first i >= from with a[i] != b[i] (or == b[i]), else size.
std::size_t FirstDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t from, std::size_t size);
std::size_t FirstEqual(const std::uint8_t* a, const std::uint8_t* b, std::size_t from, std::size_t size);

}  // namespace zelk
