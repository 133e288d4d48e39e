// Writes the seed corpora of the data-stream fuzz targets: well-formed streams of every layout,
// their truncations and single-bit flips. Run it after a format change:
//   make_seed_corpus tests/fuzz/corpus
#include "database/Database.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

using namespace harbolt;
namespace fs = std::filesystem;

namespace {

using TCorpus = std::map<std::string, std::string>;

void AddVariants(TCorpus& corpus, const std::string& name, const std::string& bytes) {
    corpus["golden-" + name] = bytes;
    const std::size_t step = bytes.size() > 40 ? bytes.size() / 8 : 5;
    for (std::size_t cut = 0; cut < bytes.size(); cut += step) {
        char label[32];
        std::snprintf(label, sizeof label, "-cut%04zu", cut);
        corpus["trunc-" + name + label] = bytes.substr(0, cut);
    }
    for (std::size_t at : {std::size_t{0}, std::size_t{4}, std::size_t{8}, std::size_t{12},
                           std::size_t{20}, bytes.size() / 2, bytes.size() - 1}) {
        if (at >= bytes.size())
            continue;
        for (int bit : {0, 7}) {
            std::string flipped = bytes;
            flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
            char label[32];
            std::snprintf(label, sizeof label, "-at%04zu-bit%d", at, bit);
            corpus["flip-" + name + label] = flipped;
        }
    }
}

std::string JournalBytes(const TJournal& journal) {
    TMemoryStream stream;
    journal.SaveToStream(stream);
    return stream.Data();
}

std::string ComputerBytes(TComputerData& computer) {
    TMemoryStream stream;
    computer.SaveToStream(stream);
    return stream.Data();
}

std::string OldComputer(std::int32_t version, const std::string& name) {
    TMemoryStream s;
    s.WriteInt32(kComputerDataId);
    s.WriteInt32(version);
    if (version >= 0x00010001) {
        const char time[16] = {
            static_cast<char>(0xea), 0x07, 12, 0, 1, 0, 7, 0, 23, 0, 14, 0, 2, 0, 0, 0};
        s.WriteBuffer(time, 16);
    }
    s.WriteText(name);
    s.WriteInt32(2);
    s.WriteText("$2026-12-07/23:14.02");
    s.WriteText("!New Connection! Home");
    s.WriteText("ProxyEnabled");
    s.WriteText("yes");
    TJournal().SaveToStream(s);
    return s.Data();
}

void WriteCorpus(const fs::path& dir, const TCorpus& corpus) {
    fs::create_directories(dir);
    for (const auto& [name, bytes] : corpus)
        std::ofstream(dir / name, std::ios::binary) << bytes;
    std::printf("%s: %zu files\n", dir.c_str(), corpus.size());
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seed_corpus DIR\n");
        return 2;
    }
    const fs::path root = argv[1];
    OwnComputerName = "PC1";

    TCorpus journals;
    journals["golden-empty"] = JournalBytes(TJournal());
    TJournal deletion;
    deletion.Entries.push_back({"A", ""});
    deletion.JournalEnd = 1;
    journals["golden-deletion"] = JournalBytes(deletion);
    TJournal history;
    history.JournalStart = 10;
    history.JournalEnd = 13;
    history.Entries = {{"ProxyEnabled", "yes"}, {"ProxyServerAddress", "alpha:1977"}, {"A", ""}};
    AddVariants(journals, "history", JournalBytes(history));
    TJournal snapshot = history;
    snapshot.JournalStart = 0;
    snapshot.Complete = true;
    std::string flags3 = JournalBytes(snapshot);
    flags3[16] = 3;
    journals["golden-complete-flags3"] = flags3;
    WriteCorpus(root / "journal", journals);

    TDatabase db;
    TComputerData& own = db.FindComputer("PC1");
    own.SetProperty("ProxyEnabled", "yes");
    TCorpus computers;
    AddVariants(computers, "pc1", ComputerBytes(own));
    computers["golden-v10000"] = OldComputer(0x00010000, "pc1");
    AddVariants(computers, "v10001", OldComputer(0x00010001, "Peer"));
    WriteCorpus(root / "computer", computers);

    TCorpus databases;
    {
        TMemoryStream stream;
        db.SaveToStream(stream);
        AddVariants(databases, "pc1", stream.Data());
    }
    TDatabase empty;
    {
        TMemoryStream stream;
        empty.SaveToStream(stream);
        databases["golden-empty"] = stream.Data();
    }
    TComputerData& peer = empty.FindComputer("Peer");
    peer.SetOwn(false);
    TJournal received;
    received.JournalEnd = 42;
    received.Complete = true;
    received.Entries = {{"Zeitmeister", "ja"}, {"RAS-Phonebook-entries", "Home,Office"}};
    peer.ApplyJournal(received);
    empty.FindComputer("PC1").SetProperty("D\xDC-Verbindungen", "Home");
    {
        TMemoryStream stream;
        empty.SaveToStream(stream);
        std::string two = stream.Data();
        AddVariants(databases, "two", two);
        two[8] = 3; // any marker with bit 0 set continues
        databases["golden-two-marker3"] = two;
    }
    WriteCorpus(root / "database", databases);
    return 0;
}
