// Files in a browser's Web Worker: the File objects the user chose, read in
// slices by the worker's script (worker.js); an output is gathered there and
// offered as a download once complete.
#include "host/web_files.h"

#include <emscripten.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "host/buffered_output.h"

// The worker's side; paths are the texts of the page's fields.
EM_JS(int, js_file_exists, (const char* path), { return self.zelk.exists(UTF8ToString(path)) ? 1 : 0; });
EM_JS(double, js_file_size, (const char* path), { return self.zelk.size(UTF8ToString(path)); });
EM_JS(int, js_read, (const char* path, double offset, void* into, int length),
      { return self.zelk.read(UTF8ToString(path), offset, into, length); });
EM_JS(int, js_output_open, (const char* path, int scratch),
      { return self.zelk.openOutput(UTF8ToString(path), scratch != 0); });
EM_JS(void, js_output_write, (int output, const void* data, int length, double offset),
      { self.zelk.write(output, data, length, offset); });
EM_JS(int, js_output_read, (int output, void* into, int length, double offset),
      { return self.zelk.readBack(output, into, length, offset); });
EM_JS(void, js_output_resize, (int output, double size), { self.zelk.resize(output, size); });
EM_JS(void, js_output_copy, (int output, const char* path, double offset, double length),
      { self.zelk.copy(output, UTF8ToString(path), offset, length); });
EM_JS(int, js_output_close, (int output, int keep), { return self.zelk.closeOutput(output, keep != 0) ? 1 : 0; });
EM_JS(char*, js_files_in, (const char* prefix), {
    const text = self.zelk.filesIn(UTF8ToString(prefix)).join("\n");
    const size = lengthBytesUTF8(text) + 1;
    const at = _malloc(size);
    stringToUTF8(text, at, size);
    return at;
});
EM_JS(int, js_file_unchanged, (const char* path), { return self.zelk.unchanged(UTF8ToString(path)) ? 1 : 0; });

namespace zelk {
namespace {

class WebInput final : public InputFile {
public:
    explicit WebInput(const std::string& path) : path_(path), size_(static_cast<std::uint64_t>(js_file_size(path.c_str()))) {}
    std::uint64_t Size() const override { return size_; }
    const std::string& Path() const override { return path_; }
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        const int got = js_read(path_.c_str(), static_cast<double>(offset), buffer.data(), static_cast<int>(buffer.size()));
        if (got < 0) {
            // The browser refuses to read a File that changed on disk since it was chosen.
            if (js_file_unchanged(path_.c_str()) == 0) throw ChangedWhileRead(*this);
            throw FileError("Cannot read " + path_ + ": the browser could not read the file");
        }
        return static_cast<std::size_t>(got);
    }

private:
    std::string path_;
    std::uint64_t size_;
};

// Nothing is offered for download unless the whole output was written.
class WebOutput final : public BufferedOutput {
public:
    WebOutput(const std::string& path, std::size_t bufferSize)
        : BufferedOutput(path, bufferSize), id_(js_output_open(path.c_str(), 0)) {}
    ~WebOutput() override {
        if (!committed_) js_output_close(id_, 0);
    }
    // "Done" only while every input the result takes slices of can still be
    // read as it was chosen.
    void Commit() override {
        Flush();
        for (const std::string& input : sliced_)
            if (js_file_unchanged(input.c_str()) == 0)
                throw FileError("Cannot read " + input + ": the file changed while it was read");
        if (js_output_close(id_, 1) == 0) {
            committed_ = true;  // closed all the same, and nothing offered
            throw FileError("Cannot write " + path_ + ": the browser could not read back what was written");
        }
        committed_ = true;
    }

protected:
    void WriteRaw(const std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        js_output_write(id_, data, static_cast<int>(size), static_cast<double>(offset));
    }
    void ReadRaw(std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        if (js_output_read(id_, data, static_cast<int>(size), static_cast<double>(offset)) != static_cast<int>(size))
            throw FileError("Cannot read " + path_ + ": the browser could not read back what was written");
    }
    void Resize(std::uint64_t size) override { js_output_resize(id_, static_cast<double>(size)); }
    // A stretch of an input becomes a slice of its File: nothing is read
    // or copied, the browser reads it when the result is saved.
    std::uint64_t CopyInSystem(InputFile& source, std::uint64_t from, std::uint64_t, std::uint64_t length) override {
        // Only a File the user chose can be sliced; anything else (an
        // archive's entry, a scratch file) passes through the buffer.
        if (dynamic_cast<WebInput*>(&source) == nullptr) return 0;
        if (std::find(sliced_.begin(), sliced_.end(), source.Path()) == sliced_.end()) sliced_.push_back(source.Path());
        js_output_copy(id_, source.Path().c_str(), static_cast<double>(from), static_cast<double>(length));
        return length;
    }

private:
    int id_;
    bool committed_ = false;
    std::vector<std::string> sliced_;  // the inputs the output takes slices of
};

// A scratch file gathered like an output, in the worker's Blobs rather than
// the engine's small heap, and never offered.
class WebScratch final : public BufferedScratch {
public:
    WebScratch(const std::string& shown, std::size_t bufferSize)
        : BufferedScratch(shown, bufferSize), id_(js_output_open(shown.c_str(), 1)) {}
    ~WebScratch() override { js_output_close(id_, 0); }
    WebScratch(const WebScratch&) = delete;
    WebScratch& operator=(const WebScratch&) = delete;

protected:
    void WriteRaw(const std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        js_output_write(id_, data, static_cast<int>(size), static_cast<double>(offset));
    }
    void ReadRaw(std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        if (js_output_read(id_, data, static_cast<int>(size), static_cast<double>(offset)) != static_cast<int>(size))
            throw FileError("Cannot read " + Path() + ": the browser could not read back what was unpacked");
    }
    void Resize(std::uint64_t size) override { js_output_resize(id_, static_cast<double>(size)); }

private:
    int id_;
};

}  // namespace

std::unique_ptr<ScratchFile> WebFiles::CreateScratch(const std::string&, const std::string& shown) {
    return std::make_unique<WebScratch>(shown, Buffers().stream);
}

bool WebFiles::FileExists(const std::string& path) { return js_file_exists(path.c_str()) != 0; }

std::unique_ptr<InputFile> WebFiles::OpenInput(const std::string& path) { return std::make_unique<WebInput>(path); }

std::unique_ptr<OutputFile> WebFiles::CreateOutput(const std::string& path) {
    return std::make_unique<WebOutput>(path, Buffers().stream);
}

// The worker's tag for the files of a role: \x01ROLE\x02.
std::string WebFiles::DatFolder() { return "\x01" "dat\x02"; }

bool WebFiles::FolderExists(const std::string& path) { return path == DatFolder(); }

std::vector<std::string> WebFiles::FilesIn(const std::string& path) {
    std::vector<std::string> files;
    if (!FolderExists(path)) return files;
    char* listed = js_files_in(path.c_str());
    std::string rest = listed;
    std::free(listed);
    for (std::size_t at = 0; at < rest.size();) {
        const std::size_t end = std::min(rest.find('\n', at), rest.size());
        if (end > at) files.push_back(rest.substr(at, end - at));
        at = end + 1;
    }
    return files;
}

BufferSizes WebFiles::Buffers() { return {1 << 20, 4 << 20, 1 << 20}; }

}  // namespace zelk
