// Files in the browser, the page's file layer: what the user chose, read
// through the page's worker, and downloads.
#pragma once

#include "host/ansi_code_page.h"

namespace zelk {

// Patch files in the wild carry Windows-1251, as on Linux.
class WebFiles : public HostCodePageFiles {
public:
    bool FileExists(const std::string& path) override;
    std::unique_ptr<InputFile> OpenInput(const std::string& path) override;
    std::unique_ptr<OutputFile> CreateOutput(const std::string& path) override;
    std::unique_ptr<ScratchFile> CreateScratch(const std::string& beside, const std::string& shown) override;
    // Every read of a File is a trip through the browser: fewer, larger
    // slices; 2 MiB of buffers still leave the heap far below its limit. A
    // stretch of the original costs nothing as a slice of its File, so all
    // but short ones become one.
    BufferSizes Buffers() override;
    // The DAT files the user keeps in this browser, which the page hands to
    // every run as files of the "dat" role: that role is a folder here.
    std::string DatFolder() override;
    bool FolderExists(const std::string& path) override;
    std::vector<std::string> FilesIn(const std::string& path) override;
};

}  // namespace zelk
