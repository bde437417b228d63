// Arbitrary bytes as a downloaded archive, asked for a patch and for a ROM,
// whole and through a name inside: the outcome is a refusal in a sentence
// that names the path, or a file whose every byte reads back consistently.
#include "engine/archive_input.h"
#include "memory_host.h"

using namespace zelk;
using namespace zelk::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemoryHost host;
    host.files["dl.zip"] = Bytes(data, data + size);
    for (const std::string path : {"dl.zip", "dl.zip/hack.bps", "dl.zip\\Game.sfc"}) {
        for (const Wanted wanted : {Wanted::Patch, Wanted::Rom}) {
            std::unique_ptr<InputFile> opened;
            try {
                if (const auto stop = OpenSource(host, path, wanted, "out.rom", opened)) {
                    Require(!stop->text.empty());
                    continue;
                }
            } catch (const FileError& refused) {
                Require(std::string(refused.what()).find("dl.zip") != std::string::npos);
                continue;
            }
            Require(opened != nullptr);
            // What an entry holds was inflated from these bytes: no bomb
            // passes the memory disk's size unnoticed here.
            Bytes whole(static_cast<std::size_t>(std::min<std::uint64_t>(opened->Size(), 64u << 20)));
            Require(opened->ReadAt(0, whole) == whole.size());
            Bytes again(whole.size() / 2);
            Require(opened->ReadAt(whole.size() - again.size(), again) == again.size());
            Require(std::equal(again.begin(), again.end(), whole.end() - static_cast<std::ptrdiff_t>(again.size())));
            std::uint8_t past[1];
            Require(opened->ReadAt(opened->Size(), past) == 0);
        }
    }
    return 0;
}
