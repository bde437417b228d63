#include "engine/operation.h"

namespace zelk {

Outcome RunOperation(HostServices& host, const std::string& doneText, const std::function<std::optional<Stop>()>& body,
                     bool sayDone) {
    std::optional<Stop> stop;
    try {
        stop = body();
    } catch (const std::exception& failure) {
        stop = Stop{FailureText(failure)};
    }
    if (stop) {
        host.ShowStop(stop->text, stop->style);
        return Outcome::Stopped;
    }
    if (sayDone) host.ShowMessage(doneText, MessageStyle::Plain);
    return Outcome::Done;
}

}  // namespace zelk
