#include "database/Database.h"
#include "Golden.h"

#include <gtest/gtest.h>

#include <thread>

namespace harbolt {
namespace {

using test::Bytes;

struct DatabaseTest : ::testing::Test {
    void SetUp() override { OwnComputerName = "PC1"; }
    void TearDown() override { OwnComputerName = "unknown"; }
    std::string Save(TDatabase& db) {
        TMemoryStream stream;
        db.SaveToStream(stream);
        return stream.Data();
    }
};

TEST_F(DatabaseTest, EmptyDatabaseIs12BytesEvenWithPropertylessComputers) {
    TDatabase db;
    const std::string empty = Bytes({0, 0x77, 2, 0x27, 0, 0, 1, 0, 0, 0, 0, 0});
    EXPECT_EQ(Save(db), empty);
    db.FindComputer("PC1");
    db.FindComputer("Other");
    EXPECT_EQ(Save(db), empty);
}

TEST_F(DatabaseTest, Pc1IsExactlyTheKnown125Bytes) {
    TDatabase db;
    TComputerData& pc1 = db.FindComputer("PC1");
    EXPECT_TRUE(pc1.IsOwn());
    pc1.SetProperty("ProxyEnabled", "yes");
    const std::string bytes = Save(db);
    EXPECT_EQ(bytes.size(), 125u);
    EXPECT_EQ(bytes, test::Pc1DataFile());

    TDatabase back;
    TMemoryStream stream(bytes);
    back.LoadFromStream(stream);
    std::vector<std::string> names;
    back.GetNames(names);
    ASSERT_EQ(names, std::vector<std::string>{"PC1"});
    TComputerData& read = back.FindComputer("pc1");
    EXPECT_TRUE(read.IsOwn());
    EXPECT_EQ(read.GetProperty("ProxyEnabled"), "yes");
    EXPECT_EQ(read.GetJournalEnd(), 1);
    EXPECT_EQ(read.Journal().Count(), 1u);
    EXPECT_EQ(read.LastUpdate(), TSystemTime());
}

TEST_F(DatabaseTest, RefusesWrongHeader) {
    TDatabase db;
    std::string bytes = test::Pc1DataFile();
    bytes[1] = 0x78;
    TMemoryStream badId(bytes);
    try {
        db.LoadFromStream(badId);
        FAIL();
    } catch (const EDataBase& e) {
        EXPECT_STREQ(e.what(), "bad ID in DataBase");
    }
    bytes = test::Pc1DataFile();
    bytes[4] = 1;
    TMemoryStream badVersion(bytes);
    try {
        db.LoadFromStream(badVersion);
        FAIL();
    } catch (const EDataBase& e) {
        EXPECT_STREQ(e.what(), "bad Version in DataBase");
    }
}

TEST_F(DatabaseTest, MarkersReadBitZeroOnlyAndTrailingDataIsIgnored) {
    std::string bytes = test::Pc1DataFile();
    bytes[8] = 3;   // continues with a computer
    bytes[121] = 2; // ends the file
    bytes += "trailing garbage";
    TDatabase db;
    TMemoryStream stream(bytes);
    db.LoadFromStream(stream);
    std::vector<std::string> names;
    db.GetNames(names);
    EXPECT_EQ(names, std::vector<std::string>{"PC1"});
}

TEST_F(DatabaseTest, FailedLoadKeepsWhatWasRead) {
    TDatabase source;
    source.FindComputer("Two").SetProperty("K", "2");
    source.FindComputer("One").SetProperty("K", "1");
    const std::string bytes = Save(source);
    TDatabase db;
    TMemoryStream stream(bytes.substr(0, bytes.size() - 10));
    EXPECT_THROW(db.LoadFromStream(stream), EReadError);
    std::vector<std::string> names;
    db.GetNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"One", "Two"}));
}

TEST_F(DatabaseTest, FindComputerIgnoresCaseAndPutsNewEntriesFirst) {
    TDatabase db;
    TComputerData& upper = db.FindComputer("ALPHA");
    EXPECT_EQ(&db.FindComputer("alpha"), &upper);
    EXPECT_FALSE(upper.IsOwn());
    db.FindComputer("pc1");
    std::vector<std::string> names;
    db.GetNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"pc1", "ALPHA"}));
    EXPECT_TRUE(db.FindComputer("Pc1").IsOwn());
}

TEST_F(DatabaseTest, ModuleOperationsWorkByNameAndDoNothingWithoutDatabase) {
    EXPECT_EQ(TheDatabase, nullptr);
    SetComputerProperty("PC1", "A", "1");
    EXPECT_EQ(GetComputerProperty("PC1", "A"), "");
    EXPECT_EQ(GetComputerJournalEnd("PC1"), -1);
    EXPECT_FALSE(GetComputerJournalSince("PC1", 0).has_value());
    {
        TDatabase db;
        EXPECT_EQ(TheDatabase, &db);
        SetComputerProperty("pc1", "A", "1");
        EXPECT_EQ(GetComputerProperty("PC1", "a"), "1");
        EXPECT_EQ(GetComputerJournalEnd("PC1"), 1);
        ASSERT_TRUE(GetComputerJournalSince("PC1", 0).has_value());
        EXPECT_EQ(GetComputerJournalSince("PC1", 0)->Count(), 1u);

        TJournal journal;
        journal.JournalEnd = 3;
        journal.Entries.push_back({"X", "y"});
        db.FindComputer("Peer").UpdateRunning = true;
        ApplyComputerJournal("peer", journal);
        EndComputerUpdate("PEER");
        EXPECT_EQ(GetComputerProperty("Peer", "X"), "y");
        EXPECT_FALSE(db.FindComputer("Peer").UpdateRunning);
    }
    EXPECT_EQ(TheDatabase, nullptr);
}

// The main thread, sync threads and the periodic save use the database at once; under the
// thread sanitizer this shows any access outside the locks.
TEST_F(DatabaseTest, ConcurrentUseFromThreadsIsSafe) {
    TDatabase db;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const std::string peer = "Peer" + std::to_string(t);
            for (int i = 0; i < 200; ++i) {
                SetComputerProperty("PC1", "Key" + std::to_string(t), std::to_string(i));
                TJournal journal;
                journal.JournalEnd = i + 1;
                journal.Entries.push_back({"Value", std::to_string(i)});
                ApplyComputerJournal(peer, journal);
                GetComputerJournalSince("PC1", i);
            }
        });
    }
    for (int i = 0; i < 50; ++i) {
        TMemoryStream stream;
        db.SaveToStream(stream);
        std::vector<std::string> names;
        db.GetNames(names);
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(GetComputerJournalEnd("PC1"), 800);
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(GetComputerProperty("Peer" + std::to_string(t), "Value"), "199");
}

} // namespace
} // namespace harbolt
