#pragma once

#include "dialup/PhoneBook.h"
#include "dialup/RasBackend.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace harbolt {

// The entry the simulated line offers when the phone book has none.
inline constexpr const char* kSimulatedLineName = "SimLine";

// sink: where the problems of the phone book are reported, one line each.
std::unique_ptr<TRasBackend> CreateSimulatedBackend(const std::string& phoneBookPath,
                                                    TMainThreadPoster postToMainThread,
                                                    TPhoneBookFile::TDiagnosticSink sink);

// "the lines are: A, B", or "there are none: PATH names no entry" (names as given).
std::string SimulatedLinesText(const std::vector<std::string>& entries,
                               const std::string& phoneBookPath);

// What the instance says at start about where its simulated lines come from (UTF-8): nullopt
// when there is no phone book (the one line kSimulatedLineName, as expected), else the file and
// the entries it gives, or that it names none and kSimulatedLineName stands in. book is as the
// backend reads it (a stand-in entry has line 0).
std::optional<std::string> SimulatedLinesNotice(const std::string& phoneBookPath, bool fileExists,
                                                const TPhoneBook& book);

} // namespace harbolt
