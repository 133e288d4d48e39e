#include "mail/MailOptions.h"

#include "dialup/Dialer.h"
#include "mail/MailAccounts.h"
#include "platform/CodePage.h"

#include <algorithm>
#include <mutex>

namespace harbolt {

namespace {

using TMailGuard = std::lock_guard<std::recursive_mutex>;

} // namespace

int MailActionEntry(std::int32_t action) {
    const bool notify = (action & 3) != 0;
    if (notify && (action & 4) != 0)
        return 1;
    if (notify)
        return 0;
    if ((action & 0x8000) != 0 && (action & 4) == 0)
        return 2;
    return -1;
}

std::int32_t MailActionOfEntry(int entry) {
    switch (entry) {
    case 0:
        return kMailNotifyNew;
    case 1:
        return kMailNotifyPresent;
    case 2:
        return kMailDeleteAll;
    default:
        return 0;
    }
}

std::vector<TMailboxLine> TMailOptions::Lines() const {
    std::vector<TMailboxLine> lines;
    {
        TMailGuard guard(MailLock);
        for (const auto& account : MailAccounts->Accounts)
            lines.push_back({account->Name, account->Id});
    }
    std::stable_sort(lines.begin(), lines.end(), [](const TMailboxLine& a, const TMailboxLine& b) {
        return AnsiCompareText(a.Name, b.Name) < 0;
    });
    for (TMailboxLine& line : lines)
        line.Name = Cp1252ToUtf8(line.Name);
    return lines;
}

std::optional<TMailboxFields> TMailOptions::Mailbox(std::uint64_t mailbox) const {
    TMailGuard guard(MailLock);
    const TPop3Account* account = MailAccounts->FindById(mailbox);
    if (account == nullptr)
        return std::nullopt;
    return TMailboxFields{
        Cp1252ToUtf8(account->Name), Cp1252ToUtf8(account->Server), Cp1252ToUtf8(account->User),
        Cp1252ToUtf8(ScramblePassword(account->Password)), MailActionEntry(account->Action)};
}

std::uint64_t TMailOptions::StoreMailbox(std::uint64_t mailbox, const TMailboxFields& fields) {
    TMailGuard guard(MailLock);
    TPop3Account* account = MailAccounts->FindById(mailbox);
    if (account == nullptr) {
        MailAccounts->Accounts.push_back(std::make_unique<TPop3Account>());
        account = MailAccounts->Accounts.back().get();
    }
    account->Name = Utf8ToCp1252(fields.Name);
    account->Server = Utf8ToCp1252(fields.Server);
    account->User = Utf8ToCp1252(fields.User);
    account->Password = ScramblePassword(Utf8ToCp1252(fields.Password));
    account->Action = MailActionOfEntry(fields.ActionEntry);
    // Saved at the next periodic save, also when the dialog is left without OK.
    MailAccounts->Changed = true;
    return account->Id;
}

void TMailOptions::RemoveMailbox(std::uint64_t mailbox) {
    TMailGuard guard(MailLock);
    const auto removed = std::erase_if(
        MailAccounts->Accounts, [mailbox](const auto& account) { return account->Id == mailbox; });
    if (removed > 0)
        MailAccounts->Changed = true;
}

TMailDialogSettings TMailOptions::Settings() const {
    TMailGuard guard(MailLock);
    return {MailAccounts->Frequency, MailAccounts->Trigger, Cp1252ToUtf8(MailAccounts->SoundFile)};
}

void TMailOptions::ApplySettings(const TMailDialogSettings& settings) {
    TMailGuard guard(MailLock);
    MailAccounts->Frequency = settings.Frequency;
    MailAccounts->Trigger = settings.Trigger;
    MailAccounts->SoundFile = Utf8ToCp1252(settings.SoundFile);
    MailAccounts->Changed = true;
}

} // namespace harbolt
