// The engine in a browser's Web Worker. Files are the File objects the user
// chose, read in slices by the worker's script; an output is gathered there
// and offered as a download once complete; messages go to the page, which
// shows them in order.
#include <emscripten.h>

#include <memory>

#include "engine/fit_check.h"
#include "engine/patch_applier.h"
#include "engine/patch_maker.h"
#include "host/ansi_code_page.h"
#include "host/buffered_output.h"
#include "ui/form.h"

// The worker's side (worker.js); paths are the texts of the page's fields.
EM_JS(int, js_file_exists, (const char* path), { return self.zelk.exists(UTF8ToString(path)) ? 1 : 0; });
EM_JS(double, js_file_size, (const char* path), { return self.zelk.size(UTF8ToString(path)); });
EM_JS(int, js_read, (const char* path, double offset, void* into, int length),
      { return self.zelk.read(UTF8ToString(path), offset, into, length); });
EM_JS(int, js_output_open, (const char* path), { return self.zelk.openOutput(UTF8ToString(path)); });
EM_JS(void, js_output_write, (int output, const void* data, int length, double offset),
      { self.zelk.write(output, data, length, offset); });
EM_JS(void, js_output_resize, (int output, double size), { self.zelk.resize(output, size); });
EM_JS(void, js_output_copy, (int output, const char* path, double offset, double length),
      { self.zelk.copy(output, UTF8ToString(path), offset, length); });
EM_JS(void, js_output_close, (int output, int keep), { self.zelk.closeOutput(output, keep != 0); });
EM_JS(void, js_show_message, (const char* text, int critical),
      { self.zelk.message(UTF8ToString(text), critical != 0); });

namespace zelk {
namespace {

class WebInput final : public InputFile {
public:
    explicit WebInput(const std::string& path) : path_(path), size_(static_cast<std::uint64_t>(js_file_size(path.c_str()))) {}
    std::uint64_t Size() const override { return size_; }
    const std::string& Path() const override { return path_; }
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        const int got = js_read(path_.c_str(), static_cast<double>(offset), buffer.data(), static_cast<int>(buffer.size()));
        if (got < 0) throw FileError("Cannot read " + path_ + ": the browser could not read the file");
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
        : BufferedOutput(path, bufferSize), id_(js_output_open(path.c_str())) {}
    ~WebOutput() override {
        if (!committed_) js_output_close(id_, 0);
    }
    void Commit() override {
        Flush();
        js_output_close(id_, 1);
        committed_ = true;
    }

protected:
    void WriteRaw(const std::uint8_t* data, std::size_t size, std::uint64_t offset) override {
        js_output_write(id_, data, static_cast<int>(size), static_cast<double>(offset));
    }
    void Resize(std::uint64_t size) override { js_output_resize(id_, static_cast<double>(size)); }
    // A stretch of an input becomes a slice of its File: nothing is read
    // or copied, the browser reads it when the result is saved.
    std::uint64_t CopyInSystem(InputFile& source, std::uint64_t from, std::uint64_t, std::uint64_t length) override {
        js_output_copy(id_, source.Path().c_str(), static_cast<double>(from), static_cast<double>(length));
        return length;
    }

private:
    int id_;
    bool committed_ = false;
};

class WebHost final : public HostServices {
public:
    bool FileExists(const std::string& path) override { return js_file_exists(path.c_str()) != 0; }
    std::unique_ptr<InputFile> OpenInput(const std::string& path) override { return std::make_unique<WebInput>(path); }
    std::unique_ptr<OutputFile> CreateOutput(const std::string& path) override {
        return std::make_unique<WebOutput>(path, Buffers().stream);
    }
    // Patch files in the wild carry Windows-1251, as on Linux.
    std::string ToAnsi(std::string_view utf8) override { return AnsiCodePage::Host().ToAnsi(utf8); }
    std::string FromAnsi(std::string_view bytes) override { return AnsiCodePage::Host().FromAnsi(bytes); }
    // Every read of a File is a trip through the browser: fewer, larger
    // slices; 2 MiB of buffers still leave the heap far below its limit. A
    // stretch of the original costs nothing as a slice of its File, so all
    // but short ones become one.
    BufferSizes Buffers() override { return {1 << 20, 4 << 20, 1 << 20}; }
    void ShowMessage(const std::string& text, MessageStyle style) override {
        js_show_message(text.c_str(), style == MessageStyle::Critical ? 1 : 0);
    }
    void EndProgram() override {}
};

WebHost host;
std::string composed;
std::string checked;

}  // namespace
}  // namespace zelk

extern "C" {

EMSCRIPTEN_KEEPALIVE int zelk_make(const char* original, const char* changed, const char* patch, const char* comment) {
    return zelk::form::PressMakePatch(zelk::host, {original, changed, patch, comment}) == zelk::Outcome::Done ? 0 : 1;
}

// The page's field roles: the patch field names the patch, the changed field the output.
EMSCRIPTEN_KEEPALIVE int zelk_apply(const char* original, const char* output, const char* patch) {
    return zelk::form::PressApplyPatch(zelk::host, {original, output, patch, ""}) == zelk::Outcome::Done ? 0 : 1;
}

// Whether the patch fits the original, in a sentence or two for the page's
// status line; nothing while either file is missing.
EMSCRIPTEN_KEEPALIVE const char* zelk_check(const char* original, const char* patch) {
    using namespace zelk;
    checked.clear();
    try {
        if (!host.FileExists(original) || !host.FileExists(patch)) return "";
        OpenedPatch opened;
        if (const auto stop = OpenPatchAndOriginal(host, original, patch, opened)) {
            checked = stop->text;
        } else {
            const FitReport report = CheckFit(*opened.original, *opened.patch, opened.summary, host.Buffers().stream);
            checked = FitSentence(report, patch, original) + ". " + report.Evidence();
        }
    } catch (const std::exception& failure) {
        checked = FailureText(failure);
    }
    return checked.c_str();
}

EMSCRIPTEN_KEEPALIVE const char* zelk_default_comment(const char* original, const char* changed) {
    zelk::composed = zelk::form::ComposeDefaultComment(original, changed);
    return zelk::composed.c_str();
}

}
