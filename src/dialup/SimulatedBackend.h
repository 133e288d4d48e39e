#pragma once

#include "dialup/PhoneBook.h"
#include "dialup/RasBackend.h"

#include <memory>
#include <string>

namespace harbolt {

// The entry the simulated line offers when the phone book has none.
inline constexpr const char* kSimulatedLineName = "SimLine";

// sink: where the problems of the phone book are reported, one line each.
std::unique_ptr<TRasBackend> CreateSimulatedBackend(const std::string& phoneBookPath,
                                                    TMainThreadPoster postToMainThread,
                                                    TPhoneBookFile::TDiagnosticSink sink);

} // namespace harbolt
