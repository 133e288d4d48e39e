#include "app/DataCommand.h"

#include "database/Database.h"
#include "platform/CodePage.h"
#include "platform/TimeSetter.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace harbolt {

const char* const kDataCommandUsage =
    "  harbolt data dump [--json] FILE   show what a data file holds (falls back to its .BAK)\n"
    "  harbolt data check FILE           check that FILE itself is well formed\n";

namespace {

std::string U(const std::string& cp1252) {
    return Cp1252ToUtf8(cp1252);
}

nlohmann::ordered_json ComputerToJson(const TComputerData& computer) {
    nlohmann::ordered_json properties = nlohmann::ordered_json::object();
    for (const auto& [key, value] : computer.Properties())
        properties[U(key)] = U(value);
    const TJournal journal = computer.Journal();
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    for (const TKeyValueObject& entry : journal.Entries)
        entries.push_back({U(entry.Key), U(entry.Value)});
    return {{"name", U(computer.Name())},
            {"own", computer.IsOwn()},
            {"lastUpdate", SystemTimeText(computer.LastUpdate())},
            {"properties", properties},
            {"journal",
             {{"start", journal.JournalStart},
              {"end", journal.JournalEnd},
              {"complete", journal.Complete},
              {"entries", entries}}}};
}

void PrintText(const TDatabase& database, const std::string& file, TLoadSource source,
               std::ostream& out) {
    out << file << " (read from "
        << (source == TLoadSource::DataFile ? "the data file" : "its backup") << ")\n";
    int count = 0;
    for (const TComputerData* c = database.First.get(); c != nullptr; c = c->Next.get()) {
        ++count;
        const TJournal journal = c->Journal();
        out << "\nComputer " << U(c->Name()) << (c->IsOwn() ? " (own)" : "") << "\n  last update  "
            << SystemTimeText(c->LastUpdate()) << "\n  journal      " << journal.JournalStart
            << " to " << journal.JournalEnd << (journal.Complete ? ", complete" : "") << ", "
            << journal.Count() << (journal.Count() == 1 ? " entry" : " entries") << "\n";
        const auto properties = c->Properties();
        out << "  properties   " << properties.size() << "\n";
        for (const auto& [key, value] : properties)
            out << "    " << U(key) << "=" << U(value) << "\n";
        if (journal.Count() > 0) {
            out << "  journal entries\n";
            std::int64_t number = journal.JournalStart;
            for (const TKeyValueObject& entry : journal.Entries)
                out << "    " << number++ << ": " << U(entry.Key) << "="
                    << (entry.Value.empty() ? "(deleted)" : U(entry.Value)) << "\n";
        }
    }
    if (count == 0)
        out << "\nNo computers with properties.\n";
}

// Why a data file does not load: why it cannot be read, or where and how it is damaged. Empty
// when it loads whole.
std::string LoadProblem(const std::string& file) {
    std::string bytes;
    try {
        bytes = ReadWholeFile(file);
    } catch (const std::exception& e) {
        return e.what();
    }
    TMemoryStream stream(std::move(bytes));
    TDatabase database;
    try {
        database.LoadFromStream(stream);
    } catch (const std::exception& e) {
        return DescribeDamage(stream, e);
    }
    return std::string();
}

int Dump(const std::string& file, bool json, std::ostream& out, std::ostream& err) {
    TDatabase database;
    TLoadSource source;
    try {
        source = database.LoadFromFile(file);
    } catch (const std::exception&) {
        // Both failed; say why for each file, not just for the backup.
        err << "harbolt: cannot read " << file << " (" << LoadProblem(file) << ") nor its backup "
            << BackupFileName(file) << " (" << LoadProblem(BackupFileName(file)) << ")\n";
        return 1;
    }
    if (!json) {
        PrintText(database, file, source, out);
        return 0;
    }
    nlohmann::ordered_json computers = nlohmann::ordered_json::array();
    for (const TComputerData* c = database.First.get(); c != nullptr; c = c->Next.get())
        computers.push_back(ComputerToJson(*c));
    nlohmann::ordered_json doc = {{"file", file},
                                  {"source", source == TLoadSource::DataFile ? "data" : "backup"},
                                  {"computers", computers}};
    // A path is not always valid UTF-8; the document must be.
    out << doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
    return 0;
}

int Check(const std::string& file, std::ostream& out, std::ostream& err) {
    const std::string problem = LoadProblem(file);
    if (!problem.empty()) {
        err << file << ": " << problem << "\n";
        return 1;
    }
    TMemoryStream stream(ReadWholeFile(file));
    TDatabase database;
    database.LoadFromStream(stream);
    std::vector<std::string> names;
    database.GetNames(names);
    out << file << ": well formed, " << names.size()
        << (names.size() == 1 ? " computer" : " computers") << "\n";
    return 0;
}

} // namespace

int RunDataCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const auto usage = [&err]() {
        err << "usage:\n" << kDataCommandUsage;
        return 2;
    };
    if (args.empty())
        return usage();
    if (args[0] == "dump") {
        bool json = false;
        std::string file;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--json")
                json = true;
            else if (file.empty() && !(args[i].size() > 1 && args[i][0] == '-'))
                file = args[i];
            else
                return usage();
        }
        if (file.empty())
            return usage();
        return Dump(file, json, out, err);
    }
    if (args[0] == "check" && args.size() == 2)
        return Check(args[1], out, err);
    return usage();
}

} // namespace harbolt
