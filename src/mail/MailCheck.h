#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The mail check: one thread per mailbox and cycle, through the online computer's proxy port,
// and the main window's once-a-second schedule of the cycles and the new-mail notice.
namespace harbolt {

// One check of the account with that Id on the calling thread (TMailCheckThread's body): the
// tunnel with "IGNORE TRAFFIC", USER (retried once), PASS, UIDL, the comparison under MailLock,
// DELE 1..n for delete-all, QUIT. Every failure ends it silently; in every case the account's
// Checking flag is cleared at the end.
void RunMailCheck(std::uint64_t accountId);
// The same on a thread of its own that frees itself.
void StartMailCheck(std::uint64_t accountId);
// How FireCheckingThreads starts a check (StartMailCheck; tests put their own in place, an empty
// function restores StartMailCheck). The starter is called under MailLock.
void SetMailCheckStarter(std::function<void(std::uint64_t accountId)> starter);

// Timer1Timer's mail part, every 1000 ms on the main thread.
class TMailSchedule {
public:
    // newMail gets the SoundFile of MailAccounts when new mail arrived: the face plays it and
    // shows the new-mail icon.
    explicit TMailSchedule(std::function<void(const std::string& soundFile)> newMail);

    void Tick();
    // Seconds until the next cycle of checks (0 before the first tick).
    int MailCountdown = 0;
    // Seconds the new-mail notice still shows.
    int MailIconCountdown = 0;

private:
    std::function<void(const std::string&)> PlaySound;
};

} // namespace harbolt
