#include "mail/MailAccounts.h"

#include "database/Database.h"
#include "mail/MailCheck.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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
    Name = stream.ReadText();
    Server = stream.ReadText();
    User = stream.ReadText();
    Password = stream.ReadText();
    Action = stream.ReadInt32();
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
    Frequency = stream.ReadInt32();
    unsigned char trigger = 0;
    stream.ReadBuffer(&trigger, 1);
    Trigger = trigger != 0;
    SoundFile = stream.ReadText();
    const std::int32_t count = stream.ReadCount(kMinAccountSize);
    for (std::int32_t i = 0; i < count; ++i) {
        // Joins the list only when read whole.
        auto account = std::make_unique<TPop3Account>();
        account->LoadFromStream(stream);
        Accounts.push_back(std::move(account));
    }
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

void TPop3Accounts::LoadFromFile(const std::string& path) {
    try {
        TMemoryStream stream(ReadWholeFile(path));
        LoadFromStream(stream);
        return;
    } catch (const std::exception&) {
        // The backup holds the previous save; what was read so far stays.
    }
    TMemoryStream stream(ReadWholeFile(BackupFileName(path)));
    LoadFromStream(stream);
}

void TPop3Accounts::SaveToFile(const std::string& path) const {
    TMemoryStream stream;
    SaveToStream(stream);
    SaveFileWithBackup(path, stream.Data());
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
