// A simulated line per phone-book entry, for tests and demonstrations: dialling brings it up
// after the entry's connect-delay (or fails with its fail code), and it can be brought up or
// dropped from outside as if another dialer or the provider had done it.
#include "dialup/SimulatedBackend.h"

#include "dialup/DialupErrors.h"
#include "platform/CodePage.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/stat.h>

namespace harbolt {

namespace {

using TClock = std::chrono::steady_clock;

struct TSimulatedDial {
    std::string Name;
    TClock::time_point Due;
    std::uint32_t FailCode = 0;
    TRasDialProgress Progress;
    std::atomic<bool> Cancelled{false};
};

struct TSimulatedLine {
    bool Up = false;
    std::shared_ptr<TSimulatedDial> Dialling;  // the dial under way, if any
    std::shared_ptr<TSimulatedDial> Completed; // the last one, whose progress may be queued still
};

class TSimulatedBackend final : public TRasBackend {
public:
    TSimulatedBackend(const std::string& path, TMainThreadPoster poster,
                      TPhoneBookFile::TDiagnosticSink sink)
        : Poster(std::move(poster)), PhoneBook(path, std::move(sink), {}, kSimulatedLineName) {
        PhoneBook.Current(); // read now, so that a faulty file is reported at start-up
        Timer = std::thread([this] { RunTimer(); });
    }

    ~TSimulatedBackend() override {
        {
            const std::lock_guard<std::mutex> guard(Lock);
            Stopping = true;
        }
        Wake.notify_all();
        Timer.join();
    }

    std::uint32_t EnumConnections(std::vector<TRasConnectionInfo>& connections) override {
        connections.clear();
        const auto book = PhoneBook.Current();
        std::vector<TRasConnectionInfo> up;
        {
            const std::lock_guard<std::mutex> guard(Lock);
            for (std::size_t i = 0; i < book->Book.Entries.size(); ++i) {
                const auto line = Lines.find(book->Book.Entries[i].Name);
                if (line != Lines.end() && line->second.Up)
                    up.push_back({book->Handles[i], book->Book.Entries[i].Name});
            }
        }
        if (up.size() > kRasMaxConnections)
            return Errors.Remember(kRasErrorBufferTooSmall,
                                   std::to_string(up.size()) +
                                       " simulated lines are up; there is room for " +
                                       std::to_string(kRasMaxConnections));
        connections = std::move(up);
        return 0;
    }

    std::uint32_t GetConnectStatus(TRasHandle connection, std::uint32_t& state) override {
        const auto book = PhoneBook.Current();
        const auto index = book->IndexOf(connection);
        if (!index)
            return UnknownHandle(connection);
        const std::lock_guard<std::mutex> guard(Lock);
        const auto line = Lines.find(book->Book.Entries[*index].Name);
        state = line != Lines.end() && line->second.Up ? kRasConnected : kRasDisconnected;
        return 0;
    }

    std::string ErrorString(std::uint32_t code) override {
        if (!IsDialupErrorCode(code)) {
            const auto book = PhoneBook.Current();
            if (std::any_of(
                    book->Book.Entries.begin(), book->Book.Entries.end(),
                    [code](const TPhoneBookEntry& entry) { return entry.FailCode == code; }))
                return "simulated failure " + std::to_string(code);
        }
        return Errors.Text(code);
    }

    std::uint32_t EnumEntries(std::vector<std::string>& entries) override {
        entries = PhoneBook.EntryNames();
        return 0;
    }

    bool GetEntryDialParams(const std::string& entry, std::string& userName, std::string& password,
                            bool& passwordStored) override {
        return PhoneBook.StoredCredentials(entry, userName, password, passwordStored);
    }

    std::uint32_t Dial(const std::string& entry, const std::string& userName,
                       const std::string& password, TRasHandle& handle,
                       TRasDialProgress progress) override {
        (void)userName;
        (void)password;
        handle = 0;
        const auto book = PhoneBook.Current();
        const auto index = book->IndexOf(entry);
        if (!index) {
            std::vector<std::string> names;
            for (const TPhoneBookEntry& known : book->Book.Entries)
                names.push_back(known.Name);
            return Errors.Remember(kRasErrorCannotFindEntry,
                                   "the phone book has no entry \"" + entry + "\"; " +
                                       SimulatedLinesText(names, PhoneBook.Path()));
        }
        const TPhoneBookEntry& found = book->Book.Entries[*index];
        auto dial = std::make_shared<TSimulatedDial>();
        dial->Name = found.Name;
        dial->Due = TClock::now() + std::chrono::seconds(found.ConnectDelaySeconds);
        dial->FailCode = found.FailCode;
        dial->Progress = std::move(progress);
        {
            const std::lock_guard<std::mutex> guard(Lock);
            TSimulatedLine& line = Lines[found.Name];
            if (line.Dialling)
                return Errors.Remember(kDialupErrorAlreadyDialling,
                                       "simulated line \"" + found.Name +
                                           "\" is being dialled already");
            line.Dialling = dial;
        }
        Wake.notify_all();
        handle = book->Handles[*index];
        return 0;
    }

    std::uint32_t HangUp(TRasHandle connection) override {
        const auto book = PhoneBook.Current();
        const auto index = book->IndexOf(connection);
        if (!index)
            return UnknownHandle(connection);
        const std::lock_guard<std::mutex> guard(Lock);
        TSimulatedLine& line = Lines[book->Book.Entries[*index].Name];
        line.Up = false;
        for (auto* dial : {&line.Dialling, &line.Completed}) {
            if (*dial)
                (*dial)->Cancelled = true;
            dial->reset();
        }
        return 0;
    }

    bool SetSimulatedLine(const std::string& entry, bool up) override {
        const auto book = PhoneBook.Current();
        const auto index = book->IndexOf(entry);
        if (!index)
            return false;
        const std::lock_guard<std::mutex> guard(Lock);
        Lines[book->Book.Entries[*index].Name].Up = up;
        return true;
    }

    // Said at start: a phone book silently replacing the one simulated line would surprise.
    std::optional<std::string> Notice() {
        struct stat info {};
        return SimulatedLinesNotice(PhoneBook.Path(), ::stat(PhoneBook.Path().c_str(), &info) == 0,
                                    PhoneBook.Current()->Book);
    }

private:
    std::uint32_t UnknownHandle(TRasHandle connection) {
        return Errors.Remember(kRasErrorInvalidHandle,
                               "no simulated line has the connection handle " +
                                   std::to_string(connection));
    }

    // Completes each dial at its time. Progress is posted outside the lock; a hang-up before the
    // task runs on the main thread cancels it.
    void RunTimer() {
        for (;;) {
            std::vector<std::shared_ptr<TSimulatedDial>> due;
            {
                std::unique_lock<std::mutex> guard(Lock);
                if (Stopping)
                    return;
                auto next = TClock::time_point::max();
                const auto now = TClock::now();
                for (auto& [name, line] : Lines) {
                    if (!line.Dialling)
                        continue;
                    if (line.Dialling->Due <= now) {
                        line.Up = line.Dialling->FailCode == 0;
                        line.Completed = line.Dialling;
                        due.push_back(std::move(line.Dialling));
                        line.Dialling.reset();
                    } else {
                        next = std::min(next, line.Dialling->Due);
                    }
                }
                if (due.empty()) {
                    if (next == TClock::time_point::max())
                        Wake.wait(guard);
                    else
                        Wake.wait_until(guard, next);
                    continue;
                }
            }
            for (const auto& dial : due)
                Post(dial);
        }
    }

    void Post(const std::shared_ptr<TSimulatedDial>& dial) {
        if (!Poster || !dial->Progress)
            return;
        const std::uint32_t state = dial->FailCode == 0 ? kRasConnected : kRasDisconnected;
        Poster([dial, state] {
            if (!dial->Cancelled)
                dial->Progress(state, dial->FailCode);
        });
    }

    const TMainThreadPoster Poster;
    TPhoneBookFile PhoneBook;
    TDialupErrorTexts Errors;

    std::mutex Lock; // guards Lines and Stopping
    std::condition_variable Wake;
    std::map<std::string, TSimulatedLine, AnsiCaseLess> Lines;
    bool Stopping = false;
    std::thread Timer;
};

std::string JoinNames(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : ", ") + names[i];
    return text;
}

} // namespace

std::string SimulatedLinesText(const std::vector<std::string>& entries,
                               const std::string& phoneBookPath) {
    if (entries.empty())
        return "there are none: " + phoneBookPath + " names no entry";
    return "the lines are: " + JoinNames(entries);
}

std::optional<std::string> SimulatedLinesNotice(const std::string& phoneBookPath, bool fileExists,
                                                const TPhoneBook& book) {
    if (!fileExists)
        return std::nullopt;
    std::vector<std::string> named;
    for (const TPhoneBookEntry& entry : book.Entries)
        if (entry.Line > 0)
            named.push_back(Cp1252ToUtf8(entry.Name));
    if (named.empty())
        return phoneBookPath + " names no entry: the simulated line is " + kSimulatedLineName;
    return "the simulated lines are the entries of " + phoneBookPath + ": " + JoinNames(named);
}

std::unique_ptr<TRasBackend> CreateSimulatedBackend(const std::string& phoneBookPath,
                                                    TMainThreadPoster postToMainThread,
                                                    TPhoneBookFile::TDiagnosticSink sink) {
    return std::make_unique<TSimulatedBackend>(phoneBookPath, std::move(postToMainThread),
                                               std::move(sink));
}

std::unique_ptr<TRasBackend> CreateSimulatedBackend(const std::string& phoneBookPath,
                                                    TMainThreadPoster postToMainThread) {
    auto backend = std::make_unique<TSimulatedBackend>(phoneBookPath, std::move(postToMainThread),
                                                       WriteDiagnosticLine);
    if (const std::optional<std::string> notice = backend->Notice())
        WriteDiagnosticLine(*notice);
    return backend;
}

} // namespace harbolt
