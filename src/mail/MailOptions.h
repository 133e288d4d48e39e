#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the mail settings dialog reads and writes: the mailboxes and the shared settings of the
// one list of the process, always under MailLock. The dialog only shows them. Texts are UTF-8.
namespace harbolt {

// No mailbox: Set then makes a new one.
constexpr std::uint64_t kNoMailbox = 0;

// The action entries of the dialog ("notify when new email arrives", "notify when email is
// available", "delete all emails"): the entry (-1 none, 0 to 2) and the stored bits.
int MailActionEntry(std::int32_t action);
std::int32_t MailActionOfEntry(int entry);

// A line of the dialog's list: the mailbox's name and which mailbox it is.
struct TMailboxLine {
    std::string Name;
    std::uint64_t Mailbox = kNoMailbox;
};

struct TMailboxFields {
    std::string Name;
    std::string Server;
    std::string User;
    std::string Password; // in clear
    int ActionEntry = -1;
};

struct TMailDialogSettings {
    std::int32_t Frequency = 3;
    bool Trigger = false;
    std::string SoundFile;
};

class TMailOptions {
public:
    // One line per mailbox, sorted by name ignoring case; equal names keep the list's order.
    std::vector<TMailboxLine> Lines() const;
    // nullopt when the mailbox is gone.
    std::optional<TMailboxFields> Mailbox(std::uint64_t mailbox) const;
    // Stores the fields in that mailbox, or in a new one at the list's end (also when the mailbox
    // has gone meanwhile); its UIDs stay. Returns the mailbox stored.
    std::uint64_t StoreMailbox(std::uint64_t mailbox, const TMailboxFields& fields);
    void RemoveMailbox(std::uint64_t mailbox);

    TMailDialogSettings Settings() const;
    // OK: the shared settings as typed; the list is then saved at the next periodic save.
    void ApplySettings(const TMailDialogSettings& settings);
};

} // namespace harbolt
