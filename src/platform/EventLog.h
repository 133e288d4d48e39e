#pragma once

#include "platform/Clock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

// The events log: one line on standard error for each thing a person wants to know the instance
// did, "harbolt: text". Under systemd standard error is the journal's stream; the lines then
// start with the priority the journal reads ("<6>harbolt: ..."). Any thread may log.
namespace harbolt {

enum class TEventLevel {
    Error,
    Warning,
    Info,
    Detail, // only with --verbose
};

// Whether detail lines are written; set once at start.
void SetEventLogVerbose(bool verbose);
bool EventLogVerbose();

// Writes the line with one write(2), so that lines of several threads never mix.
void LogEvent(TEventLevel level, std::string_view text);

// The line as LogEvent writes it, with the priority prefix when journal is true. Control
// characters (a name from the network may hold a line end) become '?': one event, one line.
std::string EventLine(TEventLevel level, std::string_view text, bool journal);

// Whether journalStream ("device:inode", as systemd sets JOURNAL_STREAM) names the file open on
// fd. A null or malformed value names nothing.
bool JournalStreamNames(const char* journalStream, int fd);

// Receives the events instead of standard error while it is set (level and the bare text);
// restores the previous receiver when it goes.
using TEventSink = std::function<void(TEventLevel level, const std::string& text)>;
class TScopedEventSink {
public:
    explicit TScopedEventSink(TEventSink sink);
    ~TScopedEventSink();
    TScopedEventSink(const TScopedEventSink&) = delete;
    TScopedEventSink& operator=(const TScopedEventSink&) = delete;

private:
    TEventSink Previous;
};

// Keeps a kind of event that outsiders can cause at will from flooding the log: at most
// perMinute lines in the minute that starts with the first of them; the rest are counted and
// summed up as "N more <what> in the last minute" once that minute is over.
class TEventRateLimit {
public:
    TEventRateLimit(const TTickClock& clock, std::size_t perMinute, std::string what);

    void Log(TEventLevel level, std::string_view text);
    // Writes the summary of a minute that has ended; called once a second by the instance, so
    // that it comes without waiting for the next event.
    void Tick();

private:
    void EndMinuteIfOver(std::uint32_t now);

    const TTickClock& Clock;
    const std::size_t PerMinute;
    const std::string What;
    std::mutex Lock;
    bool MinuteOpen = false;
    std::uint32_t MinuteStart = 0;
    std::size_t Written = 0;
    std::size_t Held = 0;
    TEventLevel HeldLevel = TEventLevel::Info;
};

} // namespace harbolt
