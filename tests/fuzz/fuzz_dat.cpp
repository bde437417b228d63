// Arbitrary bytes as a DAT (or a pack of them): the outcome is a catalogue
// that answers, or a line for each DAT left out that names it and why;
// never a crash, a stack worn through by nesting, or memory in proportion
// to what it claims.
#include "engine/rom_catalogue.h"
#include "memory_host.h"

using namespace zelk;
using namespace zelk::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemoryHost host;
    host.files["d.dat"] = Bytes(data, data + size);
    RomCatalogue catalogue;
    std::vector<std::string> skipped;
    catalogue.Add(host, "d.dat", skipped);
    for (const std::string& line : skipped) Require(line.starts_with("Skipped the DAT d.dat"));
    const bool pack = StartsAsArchive(host.files["d.dat"]);
    Require(pack || skipped.size() <= 1);
    Require(pack || skipped.empty() || catalogue.Size() == 0);
    // What it knows is found by what it was given.
    FileHashes hashes;
    hashes.size = size;
    for (const KnownRom* rom : catalogue.Find(hashes)) Require(!rom->size || *rom->size == size);
    Require(catalogue.Find(ExpectedOriginal{size, 0, std::nullopt, {}}).size() <= catalogue.Size());
    return 0;
}
