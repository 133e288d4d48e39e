// The whole data file, as read at start-up or by `harbolt data check`.
#include "FuzzCheck.h"
#include "database/Database.h"

#include <cstddef>
#include <cstdint>
#include <set>
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
    // A name stored twice (ASCII case aside) is refused: every name read is one computer.
    std::set<std::string> distinct;
    for (std::string name : names) {
        for (char& c : name)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        distinct.insert(name);
    }
    FUZZ_CHECK(distinct.size() == names.size());
    for (const std::string& name : names) {
        std::vector<std::string> lines;
        database.FindComputer(name).ListProperties(lines, true);
        FUZZ_CHECK(lines.size() <= database.FindComputer(name).Properties().size());
    }
    return 0;
}
