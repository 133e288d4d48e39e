#include "platform/EventLog.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace harbolt {

namespace {

constexpr std::uint32_t kMinute = 60000;

std::atomic<bool> Verbose{false};
std::mutex SinkLock;
TEventSink Sink;

const char* Priority(TEventLevel level) {
    switch (level) {
    case TEventLevel::Error:
        return "<3>";
    case TEventLevel::Warning:
        return "<4>";
    case TEventLevel::Info:
        return "<6>";
    case TEventLevel::Detail:
        break;
    }
    return "<7>";
}

std::string Cleaned(std::string_view text) {
    std::string line(text);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return line;
}

// One write(2) of the whole line; only a write cut short (a line beyond the pipe's atomic size,
// a signal) continues with the rest.
void WriteLine(const std::string& line) {
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t written = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nowhere to report that standard error is gone
        done += static_cast<std::size_t>(written);
    }
}

bool ParseNumber(std::string_view text, unsigned long long& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

} // namespace

void SetEventLogVerbose(bool verbose) {
    Verbose = verbose;
}

bool EventLogVerbose() {
    return Verbose;
}

std::string EventLine(TEventLevel level, std::string_view text, bool journal) {
    std::string line = journal ? Priority(level) : "";
    line += "harbolt: ";
    line += Cleaned(text);
    line += '\n';
    return line;
}

bool JournalStreamNames(const char* journalStream, int fd) {
    if (journalStream == nullptr)
        return false;
    const std::string_view value = journalStream;
    const std::size_t colon = value.find(':');
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (colon == std::string_view::npos || !ParseNumber(value.substr(0, colon), device) ||
        !ParseNumber(value.substr(colon + 1), inode))
        return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return false;
    return static_cast<unsigned long long>(info.st_dev) == device &&
           static_cast<unsigned long long>(info.st_ino) == inode;
}

void LogEvent(TEventLevel level, std::string_view text) {
    if (level == TEventLevel::Detail && !Verbose)
        return;
    {
        const std::lock_guard lock(SinkLock);
        if (Sink) {
            Sink(level, std::string(text));
            return;
        }
    }
    // Looked at every time: events are rare, and standard error may be redirected meanwhile.
    const bool journal = JournalStreamNames(std::getenv("JOURNAL_STREAM"), STDERR_FILENO);
    WriteLine(EventLine(level, text, journal));
}

TScopedEventSink::TScopedEventSink(TEventSink sink) {
    const std::lock_guard lock(SinkLock);
    Previous = std::exchange(Sink, std::move(sink));
}

TScopedEventSink::~TScopedEventSink() {
    const std::lock_guard lock(SinkLock);
    Sink = std::move(Previous);
}

TEventRateLimit::TEventRateLimit(const TTickClock& clock, std::size_t perMinute, std::string what)
    : Clock(clock), PerMinute(perMinute), What(std::move(what)) {}

void TEventRateLimit::EndMinuteIfOver(std::uint32_t now) {
    if (!MinuteOpen || TicksSince(MinuteStart, now) < kMinute)
        return;
    if (Held > 0)
        LogEvent(HeldLevel, std::to_string(Held) + " more " + What + " in the last minute");
    MinuteOpen = false;
    Written = 0;
    Held = 0;
}

void TEventRateLimit::Log(TEventLevel level, std::string_view text) {
    const std::lock_guard lock(Lock);
    const std::uint32_t now = Clock.Now();
    EndMinuteIfOver(now);
    if (!MinuteOpen) {
        MinuteOpen = true;
        MinuteStart = now;
    }
    if (Written < PerMinute) {
        ++Written;
        LogEvent(level, text);
        return;
    }
    ++Held;
    HeldLevel = level;
}

void TEventRateLimit::Tick() {
    const std::lock_guard lock(Lock);
    EndMinuteIfOver(Clock.Now());
}

} // namespace harbolt
