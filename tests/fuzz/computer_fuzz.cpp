// One computer's stream, as it stands in the data file.
#include "FuzzCheck.h"
#include "database/ComputerData.h"

#include <cstddef>
#include <cstdint>

using namespace harbolt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OwnComputerName = "PC1";
    TMemoryStream input(std::string(reinterpret_cast<const char*>(data), size));
    TComputerData computer;
    try {
        computer.LoadFromStream(input);
    } catch (const Exception&) {
        return 0;
    }
    TMemoryStream written;
    computer.SaveToStream(written);
    TMemoryStream again(written.Data());
    TComputerData back;
    back.LoadFromStream(again);
    FUZZ_CHECK(again.Remaining() == 0);
    FUZZ_CHECK(back.Name() == computer.Name());
    FUZZ_CHECK(back.IsOwn() == computer.IsOwn());
    FUZZ_CHECK(back.Properties() == computer.Properties());
    FUZZ_CHECK(back.Journal().Entries == computer.Journal().Entries);
    TMemoryStream rewritten;
    back.SaveToStream(rewritten);
    FUZZ_CHECK(rewritten.Data() == written.Data());
    return 0;
}
