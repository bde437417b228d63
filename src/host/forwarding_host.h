// A host that hands every call on to another: the base of a host that
// changes one thing about it (how warnings are shown, where an output goes).
#pragma once

#include "host/host_services.h"

namespace zelk {

class ForwardingHost : public HostServices {
public:
    explicit ForwardingHost(HostServices& host) : host_(host) {}
    bool FileExists(const std::string& path) override { return host_.FileExists(path); }
    bool SameFile(const std::string& a, const std::string& b) override { return host_.SameFile(a, b); }
    std::optional<std::string> InputProblem(const std::string& path) override { return host_.InputProblem(path); }
    std::unique_ptr<InputFile> OpenInput(const std::string& path) override { return host_.OpenInput(path); }
    std::unique_ptr<OutputFile> CreateOutput(const std::string& path) override { return host_.CreateOutput(path); }
    std::unique_ptr<ScratchFile> CreateScratch(const std::string& beside, const std::string& shown) override {
        return host_.CreateScratch(beside, shown);
    }
    std::string TakeLeftBehind() override { return host_.TakeLeftBehind(); }
    std::string ToAnsi(std::string_view utf8) override { return host_.ToAnsi(utf8); }
    std::string FromAnsi(std::string_view bytes) override { return host_.FromAnsi(bytes); }
    BufferSizes Buffers() override { return host_.Buffers(); }
    void ShowMessage(const std::string& text, MessageStyle style) override { host_.ShowMessage(text, style); }
    void ShowStop(const std::string& text, MessageStyle style) override { host_.ShowStop(text, style); }
    void ShowWarning(const std::string& text) override { host_.ShowWarning(text); }
    void ShowComment(CommentReader& comment) override { host_.ShowComment(comment); }
    bool Ask(const std::string& question) override { return host_.Ask(question); }
    void EndProgram() override { host_.EndProgram(); }

protected:
    HostServices& host_;
};

}  // namespace zelk
