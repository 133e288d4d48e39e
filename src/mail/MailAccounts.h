#pragma once

#include "database/Database.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// The POP3 mailboxes this computer checks. Unlike the settings, they are local to the computer:
// they live in their own file, HarboltMail.DAT, not in the replicated database.
namespace harbolt {

// Action bits of a mailbox.
constexpr std::int32_t kMailNotifyNew = 3;     // notify when new mail arrives
constexpr std::int32_t kMailNotifyPresent = 7; // notify whenever mail is present
constexpr std::int32_t kMailDeleteAll = 0x8000;

class TPop3Account {
public:
    TPop3Account(); // a fresh Id

    const std::uint64_t Id; // tells accounts of the same name apart; not stored
    std::string Name;
    std::string Server; // host, optionally ":port" (110 when none)
    std::string User;
    std::string Password; // scrambled with ScramblePassword
    std::int32_t Action = 0;
    std::set<std::string> UIDLs; // sorted, duplicates ignored (byte order)
    bool Changed = false;        // UIDLs changed since made or loaded; not stored
    bool Checking = false;       // a check of this account runs now (its Thread); not stored

    void LoadFromStream(TMemoryStream& stream);
    void SaveToStream(TMemoryStream& stream) const;
};

class TPop3Accounts {
public:
    TPop3Accounts();  // sets MailAccounts
    ~TPop3Accounts(); // clears it

    std::vector<std::unique_ptr<TPop3Account>> Accounts; // creation order
    std::int32_t Frequency = 3;                          // minutes
    bool Trigger = false;                                // a check may request a dial
    std::string SoundFile = "email.wav";
    bool Changed = false; // the shared settings changed

    // Appends the accounts read. A stream that does not read whole and consistently raises
    // EStreamDamage or EReadError (short, negative or impossible counts, a frequency below one
    // minute, bytes after the last mailbox); accounts read before stay.
    void LoadFromStream(TMemoryStream& stream);
    void SaveToStream(TMemoryStream& stream) const;
    // The load at start: the file, or its ".BAK" when it is missing or damaged (LoadFileOrBackup
    // moves a damaged file aside). Nothing of a damaged file stays in the list; when neither file
    // reads, the list keeps what it held before.
    TLoadResult LoadKeepingDamaged(const std::string& path);
    TLoadResult LoadKeepingDamaged(const std::string& path, TSaveCalls& calls);
    // Through "...DA$" to the file, the previous one kept as ".BAK" (unless keepBackup: see
    // TLoadResult); crash-safe (fsync before the rename). A failed save raises and leaves the
    // file and its backup as they were.
    void SaveToFile(const std::string& path, bool keepBackup = false) const;
    // Whether the list or any account changed; clears only the list's own flag.
    bool CheckChanged();
    // A save that failed: the next CheckChanged reports a change again. Caller holds MailLock.
    void MarkChanged() { Changed = true; }

    // The first account of that name (case-sensitive), or nullptr.
    TPop3Account* Find(const std::string& name);
    TPop3Account* FindById(std::uint64_t id);
    // Starts a check for every account that has none running. Takes MailLock.
    void FireCheckingThreads();
};

// The one list of the process, and the lock every reader and writer of it holds.
extern TPop3Accounts* MailAccounts;
extern std::recursive_mutex MailLock;

// Set by check threads when mail calls for a notice; read and cleared by the main thread.
extern std::atomic<bool> NewMailArrived;

} // namespace harbolt
