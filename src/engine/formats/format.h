// Every patch format the engine reads or makes, behind one interface, in one
// list (format_list.cpp). A face or an operation asks the list which format
// a file is in (by its content) or which one a new patch's name asks for,
// and from then on talks to the format alone: our own format stands in the
// list like any other, as the one that takes whatever no other recognises.
// The operations open the inputs (through archives where the user named
// one) and commit what a format writes; a format reads and writes only the
// files it is handed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/operation.h"
#include "engine/verdict.h"
#include "host/host_services.h"

namespace zelk {

// Found while reading a patch: what is wrong with it, in the words that
// follow "Damaged patch file PATH: ".
struct Damage {
    std::string what;
};

// Larger sizes and offsets are no file's on any system we run on, and the
// page counts bytes in doubles, exact up to here.
inline constexpr std::uint64_t kMaxExactSize = (std::uint64_t{1} << 53) - 1;

// An original and a patch opened for applying or checking, with the paths
// the user gave them.
struct Inputs {
    std::unique_ptr<InputFile> original;
    std::unique_ptr<InputFile> patch;
    std::string originalPath;
    std::string patchPath;
};

// Where a result goes (the output's path, or a chain's scratch file): the
// operation decides, the format creates it once it has decided to write,
// and the operation commits it.
class ResultTarget {
public:
    ResultTarget(std::string path, std::function<std::unique_ptr<OutputFile>()> create)
        : path_(std::move(path)), create_(std::move(create)) {}
    OutputFile& Create() {
        output_ = create_();
        return *output_;
    }
    // What Create made, or null.
    OutputFile* Created() const { return output_.get(); }
    // Drops what Create made, uncommitted, before anything else is created
    // in its place: a result begun on a guess that proved wrong.
    void Discard() { output_.reset(); }
    // The result as the user is told of it: the output's path, or "the
    // result of patch 2".
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::function<std::unique_ptr<OutputFile>()> create_;
    std::unique_ptr<OutputFile> output_;
};

// A patch read and checked whole by its format: all that applying,
// checking and describing it needs, decided once.
class LoadedPatch {
public:
    virtual ~LoadedPatch() = default;
    // Why it cannot be used at all (damaged, not a patch), or nothing.
    virtual std::optional<Stop> Refusal(const std::string& patchPath) const = 0;
    // Why it cannot be applied to this original, or nothing.
    virtual std::optional<Stop> RefuseOriginal(const InputFile&, const std::string&) const { return std::nullopt; }
    // Whether it fits `file`, with the evidence.
    virtual Verdict Check(InputFile& file, InputFile& patch, std::size_t bufferSize) const = 0;
    // What it knows its original by, where it carries that: "262144 bytes,
    // CRC-32 ...", or nothing.
    virtual std::string Expected() const { return {}; }
    // The same, for naming it: its size and checksums, where it carries them.
    virtual ExpectedOriginal ExpectedKeys() const { return {}; }
    // The "Done" that follows applying it.
    virtual std::string ApplyDone() const = 0;
    // Shows its comment and writes the result into what `result` creates;
    // the Stop it ended on instead, if any. `note` is what the user is told
    // once the result is in place ("the header was kept"), or empty.
    virtual std::optional<Stop> Apply(HostServices& host, Inputs& in, ResultTarget& result,
                                      const ApplyOptions& options, std::string& note) const = 0;
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

// What making a patch is handed: both inputs, and the patch being written.
struct MakeFiles {
    InputFile& original;
    InputFile& changed;
    OutputFile& patch;
};

class PatchFormat {
public:
    virtual ~PatchFormat() = default;
    // As the user is told it: "BPS", "ZelkPatch".
    virtual std::string_view Name() const = 0;
    // As the user names it: --format's value, and the extension of a patch
    // name that asks for it ("bps").
    virtual std::string_view Key() const = 0;
    // What it is and what it keeps, in a line for the help and the manual.
    virtual std::string_view Summary() const = 0;
    // The extensions its patches are given: the key, and others in use.
    virtual std::vector<std::string_view> Extensions() const { return {Key()}; }
    // Whether a file starting with `head` (its first kRecognisedBytes bytes,
    // or the whole of a shorter file) is in this format.
    virtual bool Recognises(std::span<const std::uint8_t> head) const = 0;
    // Whether `head` bears this format's own mark: what tells a patch among
    // an archive's files. Only a format that takes what others leave
    // (our own) tells this apart from Recognises.
    virtual bool Marked(std::span<const std::uint8_t> head) const { return Recognises(head); }
    // Reads and checks the whole patch; nothing is allocated in proportion
    // to what it claims.
    virtual std::unique_ptr<LoadedPatch> Read(InputFile& patch, std::size_t bufferSize) const = 0;
    // Whether applying may read the whole original before anything is
    // written (to hold it to a checksum; BPS and UPS only where it is not
    // the patch's own as it is): the page counts that read as progress.
    virtual bool ReadsOriginalFirst() const { return false; }

    // Making: only the formats that say so.
    virtual bool Makes() const { return false; }
    // How often making reads each input through.
    virtual unsigned MakePasses() const { return 1; }
    virtual std::string MakeDone() const;
    // Whether its patches keep the comment: where not, making one with a
    // comment tells the user it was left out.
    virtual bool KeepsComment() const { return true; }
    // Refuses inputs it cannot describe, before the patch is created: each
    // as it is opened (`changed` null while only the original is).
    virtual std::optional<Stop> RefuseInputs(const MakeRequest&, const InputFile&, const InputFile*) const {
        return std::nullopt;
    }
    // Writes the patch into `files.patch`; what the user is told once it is
    // in place (the comment cut to fit), or empty.
    virtual std::string Make(HostServices& host, const MakeRequest& request, const MakeFiles& files) const;
};

// How many of a patch's first bytes decide its format.
inline constexpr std::size_t kRecognisedBytes = 16;
// Whether `head` starts with `magic`.
bool StartsWith(std::span<const std::uint8_t> head, std::string_view magic);

// The formats in the order they are recognised; the last, our own, takes
// whatever no other does.
const std::vector<const PatchFormat*>& Formats();
const PatchFormat& OwnFormat();
// The format of `patch`, by its first bytes.
const PatchFormat& Recognise(InputFile& patch);
// Whether a file named `name` is a patch in any format: by its first bytes
// (our own's magic, or another format's mark), or, where they cannot be
// read (an encrypted archive entry), by the extension of its name.
bool LooksLikePatch(const std::string& name, std::optional<std::span<const std::uint8_t>> head);
// The format that makes patches under the key `key`, or null.
const PatchFormat* MakerNamed(std::string_view key);
// The format that a new patch's name asks for by its extension: our own
// for any name no other format claims.
const PatchFormat& MakerForName(const std::string& patchPath);
// The format read, not made here, whose extension `patchPath` has, or
// null: such a name gets our own format, and the user is told so.
const PatchFormat* ReadOnlyFormatForName(const std::string& patchPath);
// The format a name asks for by its extension, made here or not; null for a
// name no other format than our own claims.
const PatchFormat* NamedFormat(const std::string& patchPath);
// Whether `format`'s patches are given the extension `patchPath` has.
bool GivenName(const PatchFormat& format, const std::string& patchPath);
// The keys of the formats that make patches, ours first.
std::vector<std::string_view> MakerKeyList();
// The same as a phrase: "zelk, bps or ips".
std::string MakerKeys();

}  // namespace zelk
