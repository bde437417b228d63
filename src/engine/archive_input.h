// Inputs as the user names them: a file; an archive (.zip, .7z, told by its
// content, not its name) read as the one file in it of the kind asked for;
// or a file in an archive named through it as through a folder
// ("hack.zip/English/hack.bps", on Windows "hack.zip\English\hack.bps").
// Downloads come as archives, and nobody should have to unpack one by hand.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/operation.h"
#include "host/host_services.h"

namespace zelk {

// What a path is asked for: a ROM (an original, a changed file) or a patch.
// An archive's readme, pictures and documents are neither.
enum class Wanted { Rom, Patch };

// Opens `path` as an input of the kind `wanted` into `opened`, or gives the
// Stop the operation ends on instead: the designed missing-file message,
// an archive that holds no such file or several (listed, with how to name
// one), a damaged or encrypted entry, one that inflates past its stated
// size. An entry a reader must be able to read anywhere in is unpacked
// once into a scratch file on the file system of `beside` (the result's path; the system's
// temporary folder where empty or impossible), a small one into memory.
// A file that is an archive and `asItIs` says is the one wanted (a patch
// whose checksums name it: an .apk patched as bytes) is read as it is.
std::optional<Stop> OpenSource(HostServices& host, const std::string& path, Wanted wanted, const std::string& beside,
                               std::unique_ptr<InputFile>& opened,
                               const std::function<bool(InputFile&)>& asItIs = {});
// The Stop OpenSource ends on where nothing is at `path`, nor at an archive
// it names a file in; nothing otherwise. Nothing is unpacked.
std::optional<Stop> CheckSource(HostServices& host, const std::string& path);
// The file on disk that `path` is read from: the archive a file named
// through one lies in, else `path` itself.
std::string FileHolding(HostServices& host, const std::string& path);
// The Stop for an output that would replace one of the patches (or the
// archive holding one) it is made from; nothing otherwise. The output may
// be the original, which is read whole before it is replaced.
std::optional<Stop> RefuseOutputOverPatch(HostServices& host, const std::string& outputPath,
                                          const std::vector<std::string>& patchPaths);
// For OpenSource: any file read as it is, an archive too; a file named
// through an archive is still read from it. Making a patch compares files
// as they are (two .apk files are any files of bytes).
bool AsItIs(InputFile&);

// Whether `file` is a .zip or .7z archive, by its first bytes.
bool IsArchiveFile(InputFile& file);
// Hands each file in the archive `file` (named `shown` to the user) whose
// name `wanted` takes to `take`, with a reader of its bytes, read once front
// to back (0 at the end); a damaged archive throws a FileError naming it.
void StreamEntries(InputFile& file, const std::string& shown, const std::function<bool(const std::string&)>& wanted,
                   const std::function<void(const std::string&, const std::function<std::size_t(std::span<std::uint8_t>)>&)>& take);

// The files of the kind `wanted` in the archive at `path` where it holds
// several, as named through it ("English/hack.bps"): what a face offers to
// choose from. Empty where `path` is no archive or holds one or none.
std::vector<std::string> ArchiveChoices(HostServices& host, const std::string& path, Wanted wanted);

}  // namespace zelk
