#include "app/DataCommand.h"
#include "database/ComputerData.h"
#include "platform/ComputerName.h"

#include <clocale>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#ifndef HARBOLT_VERSION
#define HARBOLT_VERSION "0.0.0"
#endif

namespace {

void PrintHelp(std::ostream& out) {
    out << "Harbolt " HARBOLT_VERSION
           " - share whichever Internet link is up with every computer of the LAN\n\n"
           "usage:\n"
           "  harbolt --help | -h                show this help\n"
           "  harbolt --version                  show the version\n"
        << harbolt::kDataCommandUsage
        << "\nThe running instance (announcements, replication, proxies, dial on demand) is not "
           "part of this build yet.\n";
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        PrintHelp(std::cout);
        return 0;
    }
    if (args[0] == "--version") {
        std::cout << "harbolt " HARBOLT_VERSION "\n";
        return 0;
    }
    if (args[0] == "data") {
        // Old data files mark the own computer by name.
        harbolt::OwnComputerName = harbolt::LocalComputerName();
        return harbolt::RunDataCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
    }
    std::cerr << "harbolt: unknown command '" << args[0] << "' (see harbolt --help)\n";
    return 2;
}
