// Every patch format the engine reads or makes, behind one interface, in one
// list (format_list.cpp). A face or an operation asks the list which format
// a file is in (by its content) or which one a new patch's name asks for,
// and from then on talks to the format alone: our own format stands in the
// list like any other, as the one that takes whatever no other recognises.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/fit_check.h"
#include "engine/operation.h"
#include "host/host_services.h"

namespace zelk {

struct ApplyOptions {
    // Apply a patch that carries checksums to a file whose checksum it does
    // not know, and keep a result whose checksum is not the patch's, with a
    // warning.
    bool ignoreChecksum = false;
};

// An original and a patch opened for applying or checking, with the paths
// the user gave them.
struct Inputs {
    std::unique_ptr<InputFile> original;
    std::unique_ptr<InputFile> patch;
    std::string originalPath;
    std::string patchPath;
};

// A patch read and checked whole by its format: all that applying,
// checking and describing it needs, decided once.
class ReadPatch {
public:
    virtual ~ReadPatch() = default;
    // Why it cannot be used at all (damaged, not a patch), or nothing.
    virtual std::optional<Stop> Refusal(const std::string& patchPath) const = 0;
    // Why it cannot be applied to this original, or nothing.
    virtual std::optional<Stop> RefuseOriginal(const InputFile&, const std::string&) const { return std::nullopt; }
    // Whether it fits `file`, with the evidence.
    virtual Verdict Check(InputFile& file, InputFile& patch, std::size_t bufferSize) const = 0;
    // What it knows its original by, where it carries that: "262144 bytes,
    // CRC-32 ...", or nothing.
    virtual std::string Expected() const { return {}; }
    // The "Done" that follows applying it.
    virtual std::string ApplyDone() const = 0;
    // Shows its comment, writes the result to `outputPath` and replaces the
    // target; the Stop it ended on instead, if any.
    virtual std::optional<Stop> Apply(HostServices& host, Inputs& in, const std::string& outputPath,
                                      const ApplyOptions& options) const = 0;
    // Shows what `info` tells of it. The patch is the format's to close
    // before its last message.
    virtual void ShowInfo(HostServices& host, std::unique_ptr<InputFile> patch) const = 0;
};

// The four paths and the comment (UTF-8) of one Make Patch.
struct MakeRequest {
    std::string originalPath;
    std::string changedPath;
    std::string patchPath;
    std::string comment;
};

class PatchFormat {
public:
    virtual ~PatchFormat() = default;
    // As the user is told it: "BPS", "ZelkPatch".
    virtual std::string_view Name() const = 0;
    // As the user names it: --format's value, and the extension of a patch
    // name that asks for it ("bps").
    virtual std::string_view Key() const = 0;
    // The extensions its patches are given: the key, and others in use.
    virtual std::vector<std::string_view> Extensions() const { return {Key()}; }
    // Whether a file starting with `head` (its first kHeadSize bytes, or the
    // whole of a shorter file) is in this format.
    virtual bool Recognises(std::span<const std::uint8_t> head) const = 0;
    // Reads and checks the whole patch; nothing is allocated in proportion
    // to what it claims.
    virtual std::unique_ptr<ReadPatch> Read(InputFile& patch, std::size_t bufferSize) const = 0;
    // Whether applying reads the whole original before anything is written
    // (to hold it to a checksum): the page counts that read as progress.
    virtual bool ReadsOriginalFirst() const { return false; }

    // Making: only the formats that say so.
    virtual bool Makes() const { return false; }
    // How often making reads each input through.
    virtual unsigned MakePasses() const { return 1; }
    virtual std::string MakeDone() const;
    // Writes the patch and replaces the target; the Stop it ended on
    // instead, if any.
    virtual std::optional<Stop> Make(HostServices& host, const MakeRequest& request) const;
};

// How many of a patch's first bytes decide its format.
inline constexpr std::size_t kHeadSize = 16;
// Whether `head` starts with `magic`.
bool StartsWith(std::span<const std::uint8_t> head, std::string_view magic);

// The formats in the order they are recognised; the last, our own, takes
// whatever no other does.
const std::vector<const PatchFormat*>& Formats();
const PatchFormat& OwnFormat();
// The format of `patch`, by its first bytes.
const PatchFormat& Recognise(InputFile& patch);
// The format that makes patches under the key `key`, or null.
const PatchFormat* MakerNamed(std::string_view key);
// The format that a new patch's name asks for by its extension: our own
// for any name no other format claims.
const PatchFormat& MakerForName(const std::string& patchPath);
// The format read, not made here, whose extension `patchPath` has, or
// null: such a name gets our own format, and the user is told so.
const PatchFormat* ReadOnlyFormatForName(const std::string& patchPath);
// The keys of the formats that make patches, ours first: "zelk, bps or ips".
std::string MakerKeys();

}  // namespace zelk
