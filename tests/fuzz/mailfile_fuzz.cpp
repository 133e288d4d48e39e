// The mail file, HarboltMail.DAT, as read at start-up.
#include "FuzzCheck.h"
#include "mail/MailAccounts.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

using namespace harbolt;

namespace {

// Walks the stored layout on its own. A file reads only when it is whole and consistent: a
// frequency of at least a minute, no negative count, no
// byte after the last mailbox. It is in the form a save writes when, besides, the trigger byte is
// 0 or 1 and every mailbox's UIDs are strictly ascending: only such files come back byte for
// byte; the reader takes the others as well.
struct TLayoutWalk {
    const std::string& Bytes;
    std::size_t Pos = 0;
    bool Canonical = true;

    bool Int(std::int32_t& value) {
        if (Bytes.size() - Pos < 4)
            return false;
        const auto* b = reinterpret_cast<const unsigned char*>(Bytes.data() + Pos);
        value = static_cast<std::int32_t>(b[0] | (b[1] << 8) | (b[2] << 16) |
                                          (static_cast<std::uint32_t>(b[3]) << 24));
        Pos += 4;
        return true;
    }
    bool Text(std::string& text) {
        std::int32_t length;
        if (!Int(length) || length < 0 || static_cast<std::size_t>(length) > Bytes.size() - Pos)
            return false;
        text = Bytes.substr(Pos, static_cast<std::size_t>(length));
        Pos += static_cast<std::size_t>(length);
        return true;
    }
    bool Count(std::int32_t& count) { return Int(count) && count >= 0; }
    // Whole and consistent: true, with Pos at the end of the bytes.
    bool File() {
        std::int32_t frequency;
        if (!Int(frequency) || frequency < 1 || Pos == Bytes.size())
            return false;
        if (static_cast<unsigned char>(Bytes[Pos++]) > 1)
            Canonical = false;
        std::string text;
        std::int32_t accounts;
        if (!Text(text) || !Count(accounts))
            return false;
        for (std::int32_t i = 0; i < accounts; ++i) {
            std::int32_t action;
            std::int32_t uids;
            for (int field = 0; field < 4; ++field) {
                if (!Text(text))
                    return false;
            }
            if (!Int(action) || !Count(uids))
                return false;
            std::string previous;
            for (std::int32_t u = 0; u < uids; ++u) {
                if (!Text(text))
                    return false;
                if (u > 0 && !(previous < text))
                    Canonical = false;
                previous = text;
            }
        }
        return Pos == Bytes.size();
    }
};

bool SameLists(const TPop3Accounts& a, const TPop3Accounts& b) {
    if (a.Frequency != b.Frequency || a.Trigger != b.Trigger || a.SoundFile != b.SoundFile ||
        a.Accounts.size() != b.Accounts.size())
        return false;
    for (std::size_t i = 0; i < a.Accounts.size(); ++i) {
        const TPop3Account& x = *a.Accounts[i];
        const TPop3Account& y = *b.Accounts[i];
        if (x.Name != y.Name || x.Server != y.Server || x.User != y.User ||
            x.Password != y.Password || x.Action != y.Action || x.UIDLs != y.UIDLs)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    TLayoutWalk walk{bytes};
    const bool whole = walk.File();

    TMemoryStream input(bytes);
    TPop3Accounts list;
    try {
        list.LoadFromStream(input);
    } catch (const EStreamDamage&) {
        FUZZ_CHECK(!whole);
        // What was read before the failure must still be savable.
        TMemoryStream partial;
        list.SaveToStream(partial);
        return 0;
    }
    FUZZ_CHECK(whole);
    FUZZ_CHECK(input.Remaining() == 0);

    TMemoryStream written;
    list.SaveToStream(written);
    if (walk.Canonical)
        FUZZ_CHECK(written.Data() == bytes.substr(0, input.Position()));

    // Whatever was read, the saved form reads back to the same list and saves unchanged.
    TPop3Accounts back;
    TMemoryStream again(written.Data());
    back.LoadFromStream(again);
    FUZZ_CHECK(again.Remaining() == 0);
    FUZZ_CHECK(SameLists(list, back));
    TMemoryStream rewritten;
    back.SaveToStream(rewritten);
    FUZZ_CHECK(rewritten.Data() == written.Data());
    return 0;
}
