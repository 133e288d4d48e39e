// The whole data file, as read at start-up or by `harbolt data check`.
#include "FuzzCheck.h"
#include "database/Database.h"

#include <cstddef>
#include <cstdint>
#include <vector>

using namespace harbolt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OwnComputerName = "PC1";
    TMemoryStream input(std::string(reinterpret_cast<const char*>(data), size));
    TDatabase database;
    try {
        database.LoadFromStream(input);
    } catch (const Exception&) {
        // A half-read database must still be usable and savable.
        TMemoryStream partial;
        database.SaveToStream(partial);
        return 0;
    }
    TMemoryStream written;
    database.SaveToStream(written);
    TDatabase back;
    TMemoryStream again(written.Data());
    back.LoadFromStream(again);
    TMemoryStream rewritten;
    back.SaveToStream(rewritten);
    FUZZ_CHECK(rewritten.Data() == written.Data());
    std::vector<std::string> names;
    database.GetNames(names);
    for (const std::string& name : names) {
        std::vector<std::string> lines;
        database.FindComputer(name).ListProperties(lines, true);
        FUZZ_CHECK(lines.size() <= database.FindComputer(name).Properties().size());
    }
    return 0;
}
