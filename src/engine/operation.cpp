#include "engine/operation.h"

#include "engine/user_texts.h"

namespace zelk {

Outcome RunOperation(HostServices& host, const std::string& doneText, const std::function<std::optional<Stop>()>& body,
                     bool sayDone) {
    std::optional<Stop> stop;
    try {
        stop = body();
    } catch (const std::exception& failure) {
        stop = Stop{FailureText(failure)};
    }
    // A temporary file that could not be removed is the user's to remove:
    // said with the reason the operation stopped, which every face shows.
    const std::string leftBehind = host.TakeLeftBehind();
    if (stop) {
        host.ShowStop(stop->text + (leftBehind.empty() ? "" : "\n" + leftBehind), stop->style);
        return Outcome::Stopped;
    }
    if (!leftBehind.empty()) host.ShowWarning(leftBehind);
    if (sayDone) host.ShowMessage(doneText, MessageStyle::Plain);
    return Outcome::Done;
}

std::optional<Stop> CheckInput(HostServices& host, const std::string& path) {
    const std::optional<std::string> problem = host.InputProblem(path);
    if (!problem) return std::nullopt;
    if (problem->empty()) return Stop{std::string(text::MissingFile) + path};
    return Stop{*problem};
}

void CommitOutput(HostServices& host, OutputFile& output) {
    output.Commit();
    if (const std::string caveat = output.Caveat(); !caveat.empty()) host.ShowWarning(caveat);
}

}  // namespace zelk
