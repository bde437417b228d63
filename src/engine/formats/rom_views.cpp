#include "engine/formats/rom_views.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_reader.h"
#include "engine/user_texts.h"
#include "engine/verdict.h"

namespace zelk {

void ReorderWords(Reorder how, std::span<std::uint8_t> bytes) {
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        std::uint8_t* w = bytes.data() + i;
        switch (how) {
            case Reorder::SwapPairs: std::swap(w[0], w[1]), std::swap(w[2], w[3]); break;
            case Reorder::ReverseWords: std::swap(w[0], w[3]), std::swap(w[1], w[2]); break;
            case Reorder::SwapHalves: std::swap(w[0], w[2]), std::swap(w[1], w[3]); break;
            case Reorder::None: return;
        }
    }
}

void ReorderOutput(OutputFile& output, std::uint64_t from, Reorder order) {
    std::vector<std::uint8_t> piece(kChunk);
    const std::uint64_t end = from + ((output.Size() - from) & ~std::uint64_t{3});
    for (std::uint64_t at = from; at < end;) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), end - at));
        output.ReadBack(at, {piece.data(), size});
        ReorderWords(order, {piece.data(), size});
        output.WriteAt(at, {piece.data(), size});
        at += size;
    }
}

namespace {

// The headers ROM dumps carry in front of the image, told by their mark;
// the SNES copier header has none, so any file may have one (a patch tells
// by the size and checksum of the rest).
struct HeaderKind {
    const char* name;
    std::uint64_t length;
    std::string_view mark;
};
constexpr HeaderKind kHeaders[] = {
    {"iNES", 16, std::string_view("NES\x1a", 4)},
    {"FDS", 16, std::string_view("FDS\x1a", 4)},
    {"Lynx", 64, "LYNX"},
    {"copier", kCopierHeader, {}},
};

// The first word of an N64 image in each byte order.
struct N64Order {
    const char* extension;
    std::uint8_t first[4];
};
constexpr N64Order kOrders[] = {
    {".z64", {0x80, 0x37, 0x12, 0x40}},
    {".v64", {0x37, 0x80, 0x40, 0x12}},
    {".n64", {0x40, 0x12, 0x37, 0x80}},
};
// From order a to order b (both 0..2, different).
Reorder Between(int a, int b) {
    if (a + b == 1) return Reorder::SwapPairs;     // .z64 and .v64
    if (a + b == 2) return Reorder::ReverseWords;  // .z64 and .n64
    return Reorder::SwapHalves;                    // .v64 and .n64
}

}  // namespace

const char* N64OrderOf(std::span<const std::uint8_t> head) {
    for (const N64Order& order : kOrders)
        if (head.size() >= 4 && std::memcmp(head.data(), order.first, 4) == 0) return order.extension;
    return nullptr;
}

std::vector<View> OtherViews(InputFile& file) {
    std::uint8_t head[16] = {};
    const std::size_t got = file.ReadAt(0, head);
    const std::string_view start(reinterpret_cast<const char*>(head), got);
    std::vector<View> views;
    for (const HeaderKind& kind : kHeaders)
        if ((kind.mark.empty() || start.starts_with(kind.mark)) && file.Size() > kind.length)
            views.push_back({kind.length, kind.name, Reorder::None, "", ""});
    for (int a = 0; a < 3; ++a) {
        if (got < 4 || std::memcmp(head, kOrders[a].first, 4) != 0) continue;
        for (int b = 0; b < 3; ++b)
            if (b != a) views.push_back({0, "", Between(a, b), kOrders[a].extension, kOrders[b].extension});
    }
    return views;
}

std::string SeenLayout(InputFile& file, const std::string& path, bool applying) {
    std::uint8_t head[16] = {};
    const std::size_t got = file.ReadAt(0, head);
    const std::string_view start(reinterpret_cast<const char*>(head), got);
    std::string seen, remedy;
    for (const HeaderKind& kind : kHeaders)
        if (seen.empty() && !kind.mark.empty() && start.starts_with(kind.mark) && file.Size() > kind.length) {
            seen = path + " starts with a " + std::to_string(kind.length) + "-byte " + kind.name + " header";
            remedy = "if the patch was made for the image without it, remove the header first";
        }
    if (const char* order = N64OrderOf({head, got}); seen.empty() && order != nullptr && std::string_view(order) != ".z64") {
        seen = path + " is an N64 image in the " + order + " byte order";
        remedy = "if the patch was made for a .z64 image, convert the file to .z64 first";
    }
    if (seen.empty() && file.Size() % 1024 == kCopierHeader) {
        seen = path + "'s size, " + std::to_string(file.Size()) +
               " bytes, is 512 more than a multiple of 1 KiB, the usual mark of a copier header";
        remedy = "if the patch was made for the image without one, remove the file's first 512 bytes first";
    }
    if (seen.empty()) return {};
    return seen + ", and the patch holds nothing that tells whether it was made for the file as it is" +
           (applying ? ": it was applied as it is; " : "; ") + remedy + ".";
}

std::string LackedHeader(InputFile& file, std::uint64_t expectedSize) {
    if (expectedSize <= file.Size()) return {};
    const std::uint64_t missing = expectedSize - file.Size();
    std::string name;
    if (missing == 16) {
        // A Famicom Disk System image starts with its disk's own mark.
        std::uint8_t head[15] = {};
        file.ReadAt(0, head);
        name = std::memcmp(head, "\x01*NINTENDO-HVC*", 15) == 0 ? "FDS" : "iNES";
    } else if (missing == 64) {
        name = "Lynx";
    } else if (missing == kCopierHeader) {
        name = "copier";
    } else {
        return {};
    }
    return " It is " + std::to_string(missing) + " bytes shorter than the patch's original: that file likely had a " +
           std::to_string(missing) + "-byte " + name + " header, which this one lacks. A header's bytes cannot be "
           "guessed: look for the image with its header.";
}

std::string ViewEvidence(const View& view, std::string_view found) {
    const std::string matched = std::string(found) + " of the file the patch was made from: applying ";
    if (view.header.empty()) return "Read as " + view.to + ", " + matched + "writes the result as " + view.from + " again.";
    return "Behind its " + std::to_string(view.skip) + "-byte " + view.header + " header, " + matched +
           "keeps the header in front of the result.";
}

std::string ViewTaken(const View& view, const std::string& path) {
    return view.header.empty() ? text::Reordered(path, view.from, view.to) : text::HeaderKept(path, view.header, view.skip);
}

ViewedInput::ViewedInput(InputFile& file, const View& view) : file_(file), view_(view) {}

std::uint64_t ViewedInput::Size() const { return file_.Size() - std::min(view_.skip, file_.Size()); }

std::size_t ViewedInput::ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    if (view_.order == Reorder::None) return file_.ReadAt(offset + view_.skip, buffer);
    // Whole words around what is asked, converted, then the part asked for.
    const std::uint64_t from = offset & ~std::uint64_t{3};
    const std::uint64_t end = std::min(Size(), (offset + buffer.size() + 3) & ~std::uint64_t{3});
    if (offset >= end) return 0;
    scratch_.resize(static_cast<std::size_t>(end - from));
    file_.ReadExactly(from, scratch_);
    ReorderWords(view_.order, scratch_);
    const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), Size() - offset));
    std::memcpy(buffer.data(), scratch_.data() + (offset - from), got);
    return got;
}

}  // namespace zelk
