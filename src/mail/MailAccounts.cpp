#include "mail/MailAccounts.h"

#include "mail/MailCheck.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace harbolt {

TPop3Accounts* MailAccounts = nullptr;
std::recursive_mutex MailLock;
std::atomic<bool> NewMailArrived{false};

namespace {

using TMailGuard = std::lock_guard<std::recursive_mutex>;

// Smallest stored account: four empty texts, the action and the UID count.
constexpr std::size_t kMinAccountSize = 4 * 4 + 4 + 4;
// Smallest stored UID: an empty text.
constexpr std::size_t kMinUidSize = 4;

// Guarded by MailLock; empty: StartMailCheck.
std::function<void(std::uint64_t)>& MailCheckStarter() {
    static std::function<void(std::uint64_t)> starter;
    return starter;
}

std::uint64_t NextAccountId() {
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
}

} // namespace

void SetMailCheckStarter(std::function<void(std::uint64_t accountId)> starter) {
    TMailGuard guard(MailLock);
    MailCheckStarter() = std::move(starter);
}

TPop3Account::TPop3Account() : Id(NextAccountId()) {}

void TPop3Account::LoadFromStream(TMemoryStream& stream) {
    stream.SetSection("name");
    Name = stream.ReadText();
    const std::string record = stream.PlaceRecord().empty() ? "mailbox" : stream.PlaceRecord();
    stream.SetPlace(record + " " + QuotedName(Name), "server");
    Server = stream.ReadText();
    stream.SetSection("user");
    User = stream.ReadText();
    stream.SetSection("password");
    Password = stream.ReadText();
    stream.SetSection("action");
    Action = stream.ReadInt32();
    stream.SetSection("UIDs");
    const std::int32_t count = stream.ReadCount(kMinUidSize);
    for (std::int32_t i = 0; i < count; ++i)
        UIDLs.insert(stream.ReadText());
}

void TPop3Account::SaveToStream(TMemoryStream& stream) const {
    stream.WriteText(Name);
    stream.WriteText(Server);
    stream.WriteText(User);
    stream.WriteText(Password);
    stream.WriteInt32(Action);
    stream.WriteInt32(static_cast<std::int32_t>(UIDLs.size()));
    for (const std::string& uid : UIDLs)
        stream.WriteText(uid);
}

TPop3Accounts::TPop3Accounts() {
    TMailGuard guard(MailLock);
    MailAccounts = this;
}

TPop3Accounts::~TPop3Accounts() {
    TMailGuard guard(MailLock);
    Accounts.clear();
    if (MailAccounts == this)
        MailAccounts = nullptr;
}

void TPop3Accounts::LoadFromStream(TMemoryStream& stream) {
    TMailGuard guard(MailLock);
    stream.SetPlace("", "frequency");
    Frequency = stream.ReadInt32();
    // No setting stores less than a minute; zeros here are a file's damage.
    if (Frequency < 1)
        throw EStreamDamage(stream.FieldStart(),
                            "check frequency of " + std::to_string(Frequency) + " minutes");
    stream.SetSection("dialling");
    unsigned char trigger = 0;
    stream.ReadBuffer(&trigger, 1);
    Trigger = trigger != 0;
    stream.SetSection("sound file");
    SoundFile = stream.ReadText();
    stream.SetSection("mailbox count");
    const std::int32_t count = stream.ReadCount(kMinAccountSize);
    // Equal mailboxes are no damage: the settings dialog lets a user make them.
    for (std::int32_t i = 0; i < count; ++i) {
        stream.SetPlace("mailbox " + std::to_string(i + 1), "");
        // Joins the list only when read whole.
        auto account = std::make_unique<TPop3Account>();
        account->LoadFromStream(stream);
        Accounts.push_back(std::move(account));
    }
    stream.SetPlace("", "end");
    // The file ends with its last mailbox.
    if (stream.Remaining() > 0)
        throw EStreamDamage(stream.Position(),
                            std::to_string(stream.Remaining()) + " bytes after the last mailbox");
}

void TPop3Accounts::SaveToStream(TMemoryStream& stream) const {
    TMailGuard guard(MailLock);
    stream.WriteInt32(Frequency);
    const unsigned char trigger = Trigger ? 1 : 0;
    stream.WriteBuffer(&trigger, 1);
    stream.WriteText(SoundFile);
    stream.WriteInt32(static_cast<std::int32_t>(Accounts.size()));
    for (const auto& account : Accounts)
        account->SaveToStream(stream);
}

TLoadResult TPop3Accounts::LoadKeepingDamaged(const std::string& path) {
    TSaveCalls calls;
    return LoadKeepingDamaged(path, calls);
}

TLoadResult TPop3Accounts::LoadKeepingDamaged(const std::string& path, TSaveCalls& calls) {
    TMailGuard guard(MailLock);
    const std::size_t before = Accounts.size();
    const std::int32_t frequency = Frequency;
    const bool trigger = Trigger;
    const std::string soundFile = SoundFile;
    // A mailbox of a damaged file must not stay beside those of its backup.
    const auto reset = [&] {
        Accounts.erase(Accounts.begin() + static_cast<std::ptrdiff_t>(before), Accounts.end());
        Frequency = frequency;
        Trigger = trigger;
        SoundFile = soundFile;
    };
    const auto read = [this](TMemoryStream& stream) { LoadFromStream(stream); };
    return LoadFileOrBackup(path, read, reset, calls);
}

void TPop3Accounts::SaveToFile(const std::string& path, bool keepBackup) const {
    TMemoryStream stream;
    SaveToStream(stream);
    SaveFileWithBackup(path, stream.Data(), keepBackup);
}

bool TPop3Accounts::CheckChanged() {
    TMailGuard guard(MailLock);
    for (const auto& account : Accounts)
        if (account->Changed)
            Changed = true;
    const bool result = Changed;
    Changed = false;
    return result;
}

TPop3Account* TPop3Accounts::Find(const std::string& name) {
    TMailGuard guard(MailLock);
    for (const auto& account : Accounts)
        if (account->Name == name)
            return account.get();
    return nullptr;
}

TPop3Account* TPop3Accounts::FindById(std::uint64_t id) {
    TMailGuard guard(MailLock);
    for (const auto& account : Accounts)
        if (account->Id == id)
            return account.get();
    return nullptr;
}

void TPop3Accounts::FireCheckingThreads() {
    TMailGuard guard(MailLock);
    for (const auto& account : Accounts) {
        if (account->Checking)
            continue;
        account->Checking = true;
        try {
            if (MailCheckStarter())
                MailCheckStarter()(account->Id);
            else
                StartMailCheck(account->Id);
        } catch (const std::exception&) {
            // No thread could be made: the next cycle tries again.
            account->Checking = false;
        }
    }
}

} // namespace harbolt
