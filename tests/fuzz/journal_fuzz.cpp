// Journals arrive from peers over the network; any bytes must give a journal or a clean error.
#include "FuzzCheck.h"
#include "database/Journal.h"

#include <cstddef>
#include <cstdint>

using namespace harbolt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TMemoryStream input(std::string(reinterpret_cast<const char*>(data), size));
    TJournal journal;
    try {
        journal.LoadFromStream(input);
    } catch (const Exception&) {
        return 0;
    }
    // What was read writes back in canonical form and reads back the same.
    TMemoryStream written;
    journal.SaveToStream(written);
    FUZZ_CHECK(written.Size() <= input.Position());
    TMemoryStream again(written.Data());
    TJournal back;
    back.LoadFromStream(again);
    FUZZ_CHECK(back.Entries == journal.Entries);
    FUZZ_CHECK(back.JournalStart == journal.JournalStart && back.JournalEnd == journal.JournalEnd);
    FUZZ_CHECK(back.Complete == journal.Complete);
    return 0;
}
