#pragma once

#include "dialup/PhoneBook.h"
#include "dialup/RasBackend.h"

#include <chrono>
#include <memory>
#include <string>

namespace harbolt {

// The time limits of the commands backend; tests shorten them.
struct TCommandsBackendOptions {
    // All checks of one enumeration together; a check still running then is killed.
    std::chrono::milliseconds CheckLimit{3000};
    // From starting the dial command until the entry must be found connected.
    std::chrono::milliseconds DialLimit{60000};
    // Between two checks while a dial waits for the entry to come up.
    std::chrono::milliseconds DialCheckInterval{1000};
    // The hangup command.
    std::chrono::milliseconds HangUpLimit{15000};
    // A dial command that is being stopped gets this long after SIGTERM before SIGKILL.
    std::chrono::milliseconds StopGrace{2000};
    // Where the problems of the phone book are reported, one line each.
    TPhoneBookFile::TDiagnosticSink Diagnostics = WriteDiagnosticLine;
};

std::unique_ptr<TRasBackend> CreateCommandsBackend(const std::string& phoneBookPath,
                                                   TMainThreadPoster postToMainThread,
                                                   TCommandsBackendOptions options);

} // namespace harbolt
