// Other ways to read a file that may be a patch's original: ROM dumps come
// with and without the header a copier or an emulator put in front of the
// image, and N64 images in three byte orders. A patch made from one form
// meets the others; reading the file through the right view finds it the
// original after all.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/file_services.h"

namespace zelk {

// The byte orders N64 images come in (.z64 big-endian, .v64 with the bytes
// of each pair swapped, .n64 little-endian words), and the conversion
// between two of them, each its own inverse.
enum class Reorder { None, SwapPairs, ReverseWords, SwapHalves };
// Converts the whole 4-byte words of `bytes`.
void ReorderWords(Reorder how, std::span<std::uint8_t> bytes);
// A result written in the byte order a patch reads, from byte `from` on,
// turned into the file's own, a piece at a time.
void ReorderOutput(OutputFile& output, std::uint64_t from, Reorder order);
// The byte order of an N64 image starting with `head`, by its first word:
// ".z64", ".v64", ".n64", or null for none.
const char* N64OrderOf(std::span<const std::uint8_t> head);

// A view: behind the header the file starts with (kept in front of the
// result), or converted to another N64 byte order (the result converted
// back).
struct View {
    std::uint64_t skip = 0;
    std::string header;  // "iNES", "FDS", "Lynx", "copier"
    Reorder order = Reorder::None;
    std::string from, to;  // the file's byte order and the one read: ".v64", ".z64"
};
// The other views a file allows, by its first bytes and its size.
std::vector<View> OtherViews(InputFile& file);
// Where `file` is `expectedSize` bytes short of a header's length: a
// sentence naming the header it likely lacks; otherwise nothing.
std::string LackedHeader(InputFile& file, std::uint64_t expectedSize);

// For a patch that holds no evidence of its original: what the file's first
// bytes or size show of a header or an N64 byte order, and what to do if
// the patch was made for the image without it, in a sentence naming `path`
// (saying it was applied as it is, where `applying`); empty where they show
// nothing.
std::string SeenLayout(InputFile& file, const std::string& path, bool applying);

// The evidence of a check that found the original in `view`: `found` says
// what matched ("its MD5 is that").
std::string ViewEvidence(const View& view, std::string_view found);
// What applying through `view` tells the user of the file at `path`: the
// header kept, or the byte order given back.
std::string ViewTaken(const View& view, const std::string& path);

// `file` read through a view.
class ViewedInput final : public InputFile {
public:
    ViewedInput(InputFile& file, const View& view);
    std::uint64_t Size() const override;
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override;
    const std::string& Path() const override { return file_.Path(); }
    void ExpectSequential() override { file_.ExpectSequential(); }

private:
    InputFile& file_;
    View view_;
    std::vector<std::uint8_t> scratch_;
};

// The result as the patch counts its offsets, behind a header kept in
// front of it: a patch made for the image without the header writes there.
class ShiftedOutput : public ForwardingOutput {
public:
    ShiftedOutput(OutputFile& output, std::uint64_t base) : ForwardingOutput(output), base_(base) {}
    void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        output_.WriteAt(base_ + offset, bytes);
    }
    void ExtendTo(std::uint64_t size) override { output_.ExtendTo(base_ + size); }
    std::uint64_t Size() const override { return output_.Size() - base_; }
    void ReadBack(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        output_.ReadBack(base_ + offset, buffer);
    }
    void Reserve(std::uint64_t size) override { output_.Reserve(base_ + size); }

private:
    std::uint64_t base_;
};

// The first of the file's other views through which `fits` finds it the
// patch's original, or nothing.
template <class Fits>
std::optional<View> FirstView(InputFile& file, Fits&& fits) {
    for (const View& view : OtherViews(file)) {
        ViewedInput viewed(file, view);
        if (fits(static_cast<InputFile&>(viewed))) return view;
    }
    return std::nullopt;
}

}  // namespace zelk
