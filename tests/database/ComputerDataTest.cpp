#include "database/ComputerData.h"
#include "Golden.h"

#include <gtest/gtest.h>

namespace harbolt {
namespace {

struct OwnComputer : ::testing::Test {
    TComputerData own; // a new entry is own until its creator says otherwise
};

TEST_F(OwnComputer, SettingJournalsEachChangeAndTrimsToThePropertyCount) {
    own.SetProperty("A", "1");
    EXPECT_EQ(own.Properties().size(), 1u);
    TJournal journal = own.Journal();
    EXPECT_EQ(journal.JournalStart, 0);
    EXPECT_EQ(journal.JournalEnd, 1);
    EXPECT_EQ(journal.Count(), 1u);
    EXPECT_TRUE(own.Modified());

    own.SetModified(false);
    own.SetProperty("A", "1");
    EXPECT_EQ(own.GetJournalEnd(), 1);
    EXPECT_FALSE(own.Modified());

    own.SetProperty("A", "");
    EXPECT_TRUE(own.IsEmpty());
    journal = own.Journal();
    EXPECT_EQ(journal.JournalEnd, 2);
    EXPECT_EQ(journal.JournalStart, 2);
    EXPECT_EQ(journal.Count(), 0u);

    own.SetProperty("Absent", ""); // deleting what is not there is no change
    EXPECT_EQ(own.GetJournalEnd(), 2);
}

TEST_F(OwnComputer, KeysCompareWithoutCaseAndKeepTheirFirstSpelling) {
    own.SetProperty("ProxyEnabled", "no");
    own.SetProperty("proxyenabled", "yes");
    const auto properties = own.Properties();
    ASSERT_EQ(properties.size(), 1u);
    EXPECT_EQ(properties[0].first, "ProxyEnabled");
    EXPECT_EQ(own.GetProperty("PROXYENABLED"), "yes");
    const TJournal journal = own.Journal();
    EXPECT_EQ(journal.Entries.back().Key, "proxyenabled");
    // Values compare with case: a change of case alone is a change.
    own.SetProperty("ProxyEnabled", "YES");
    EXPECT_EQ(own.GetJournalEnd(), 3);
}

TEST_F(OwnComputer, JournalSinceGivesHistoryOrSnapshot) {
    own.SetProperty("A", "a");
    own.SetProperty("B", "b");
    own.SetProperty("C", "c");
    for (int i = 0; i < 10; ++i)
        own.SetProperty(std::string(1, static_cast<char>('A' + i % 3)), std::to_string(i));
    TJournal held = own.Journal();
    ASSERT_EQ(held.JournalStart, 10);
    ASSERT_EQ(held.JournalEnd, 13);

    const TJournal snapshot = own.GetJournalSince(9);
    EXPECT_TRUE(snapshot.Complete);
    EXPECT_EQ(snapshot.JournalStart, 0);
    EXPECT_EQ(snapshot.JournalEnd, 13);
    ASSERT_EQ(snapshot.Count(), 3u);
    EXPECT_EQ(snapshot.Entries[0], (TKeyValueObject{"A", "9"}));

    const TJournal since11 = own.GetJournalSince(11);
    EXPECT_FALSE(since11.Complete);
    EXPECT_EQ(since11.JournalStart, 11);
    EXPECT_EQ(since11.JournalEnd, 13);
    ASSERT_EQ(since11.Count(), 2u);
    EXPECT_EQ(since11.Entries[0], held.Entries[1]);
    EXPECT_EQ(since11.Entries[1], held.Entries[2]);

    for (int start : {13, 20, 0x7fffffff}) {
        const TJournal none = own.GetJournalSince(start);
        EXPECT_EQ(none.Count(), 0u) << start;
        EXPECT_EQ(none.JournalEnd, 13) << start;
        EXPECT_FALSE(none.Complete) << start;
    }
    EXPECT_TRUE(own.GetJournalSince(-5).Complete);
}

TEST_F(OwnComputer, RefusesForeignJournals) {
    TJournal journal;
    journal.JournalEnd = 1;
    try {
        own.ApplyJournal(journal);
        FAIL() << "own entry took a journal";
    } catch (const EDataBase& e) {
        EXPECT_STREQ(e.what(), "internal error 0 in TComputerData.ApplyJournal");
    }
}

struct PeerCopy : ::testing::Test {
    TComputerData copy;
    void SetUp() override {
        copy.SetOwn(false);
        copy.SetName("Peer");
    }
    static TJournal Journal(std::int32_t start, std::int32_t end,
                            std::initializer_list<TKeyValueObject> entries, bool complete = false) {
        TJournal j;
        j.JournalStart = start;
        j.JournalEnd = end;
        j.Complete = complete;
        j.Entries.assign(entries.begin(), entries.end());
        return j;
    }
};

TEST_F(PeerCopy, AppliesInOrderWithoutJournallingAndIgnoresOlderAnswers) {
    copy.ApplyJournal(Journal(0, 7, {{"K", "1"}, {"K", "2"}, {"L", "x"}, {"L", ""}}));
    EXPECT_EQ(copy.GetProperty("K"), "2");
    EXPECT_EQ(copy.GetProperty("L"), "");
    TJournal held = copy.Journal();
    EXPECT_EQ(held.Count(), 0u);
    EXPECT_EQ(held.JournalStart, 7);
    EXPECT_EQ(held.JournalEnd, 7);
    EXPECT_NE(copy.LastUpdate(), TSystemTime());

    // An older answer changes nothing, not even the time of the last update.
    copy.SetModified(false);
    const TSystemTime touched = copy.LastUpdate();
    copy.ApplyJournal(Journal(3, 5, {{"K", "old"}}));
    EXPECT_EQ(copy.GetProperty("K"), "2");
    EXPECT_EQ(copy.GetJournalEnd(), 7);
    EXPECT_FALSE(copy.Modified());
    EXPECT_EQ(copy.LastUpdate(), touched);

    // The same end again is applied: an empty answer touches without modifying.
    copy.ApplyJournal(Journal(7, 7, {}));
    EXPECT_FALSE(copy.Modified());
}

TEST_F(PeerCopy, CompleteJournalReplacesEverything) {
    copy.ApplyJournal(Journal(0, 2, {{"A", "1"}, {"B", "2"}}));
    copy.SetModified(false);
    copy.ApplyJournal(Journal(0, 9, {}, true));
    EXPECT_TRUE(copy.IsEmpty());
    EXPECT_TRUE(copy.Modified());
    EXPECT_EQ(copy.GetJournalEnd(), 9);
}

TEST_F(PeerCopy, ResetForgetsDataButKeepsTheCompleteFlag) {
    copy.ApplyJournal(Journal(0, 4, {{"A", "1"}}));
    copy.Reset();
    EXPECT_TRUE(copy.IsEmpty());
    EXPECT_EQ(copy.GetJournalEnd(), 0);
    // The next announcement of journal end 4 therefore fetches everything again.
    copy.ApplyJournal(Journal(0, 4, {{"A", "1"}}, true));
    EXPECT_EQ(copy.GetProperty("A"), "1");
}

std::string Save(TComputerData& computer) {
    TMemoryStream stream;
    computer.SaveToStream(stream);
    return stream.Data();
}

TEST(ComputerStream, RoundTripKeepsEverything) {
    TComputerData original;
    original.SetName("Gamma");
    original.SetProperty("Zeitmeister", "ja");
    original.SetProperty("D\xDC-x", "\xE4\x80");
    original.Touch();
    const std::string bytes = Save(original);
    EXPECT_FALSE(original.Modified());

    TComputerData back;
    back.SetOwn(false);
    back.SetProperty("stale", "value");
    TMemoryStream stream(bytes);
    back.LoadFromStream(stream);
    EXPECT_EQ(stream.Remaining(), 0u);
    EXPECT_EQ(back.Name(), "Gamma");
    EXPECT_TRUE(back.IsOwn());
    EXPECT_EQ(back.Properties(), original.Properties());
    EXPECT_EQ(back.LastUpdate(), original.LastUpdate());
    EXPECT_EQ(back.Journal().Entries, original.Journal().Entries);
    EXPECT_FALSE(back.Modified());
    EXPECT_EQ(Save(back), bytes);
}

// Stream of a computer in an older layout: version 0x00010000 has no time and no own flag,
// 0x00010001 has the time but no own flag.
std::string OldComputer(std::int32_t version, const std::string& name) {
    TMemoryStream s;
    s.WriteInt32(kComputerDataId);
    s.WriteInt32(version);
    if (version >= 0x00010001)
        s.WriteBuffer(test::Bytes({0xc6, 0x07, 3, 0, 2, 0, 9, 0, 8, 0, 7, 0, 6, 0, 5, 0}).data(),
                      16);
    s.WriteText(name);
    s.WriteInt32(1);
    s.WriteText("Key");
    s.WriteText("Value");
    TJournal().SaveToStream(s);
    return s.Data();
}

TEST(ComputerStream, OldVersionsDeriveOwnershipFromTheName) {
    OwnComputerName = "MyBox";
    for (std::int32_t version : {0x00010000, 0x00010001}) {
        for (const char* name : {"mybox", "MYBOX", "Other"}) {
            TComputerData computer;
            computer.SetOwn(!SameTextAscii(name, "mybox"));
            TMemoryStream stream(OldComputer(version, name));
            computer.LoadFromStream(stream);
            EXPECT_EQ(computer.IsOwn(), SameTextAscii(name, "mybox")) << version << name;
            EXPECT_EQ(computer.GetProperty("key"), "Value");
            EXPECT_EQ(computer.LastUpdate().Year, version == 0x00010000 ? 1980 : 1990);
        }
    }
    OwnComputerName = "unknown";
}

TEST(ComputerStream, StoredOwnFlagWinsOverTheName) {
    OwnComputerName = "NewName";
    TComputerData renamed; // own under its old network name
    renamed.SetName("OldName");
    renamed.SetProperty("A", "1");
    TMemoryStream stream(Save(renamed));
    TComputerData back;
    back.LoadFromStream(stream);
    EXPECT_TRUE(back.IsOwn());
    EXPECT_THROW(back.ApplyJournal(TJournal()), EDataBase);
    OwnComputerName = "unknown";
}

TEST(ComputerStream, RefusesWrongIdentifierAndNewerVersion) {
    TComputerData computer;
    computer.SetName("X");
    const std::string good = Save(computer);
    std::string bytes = good;
    bytes[0] = 0;
    TMemoryStream badId(bytes);
    try {
        computer.LoadFromStream(badId);
        FAIL();
    } catch (const EDataBase& e) {
        EXPECT_STREQ(e.what(), "bad ID in ComputerData");
    }
    bytes = good;
    bytes[4] = 3; // 0x00010003
    TMemoryStream newer(bytes);
    try {
        computer.LoadFromStream(newer);
        FAIL();
    } catch (const EDataBase& e) {
        EXPECT_STREQ(e.what(), "bad version in ComputerData");
    }
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        TMemoryStream shortStream(good.substr(0, cut));
        EXPECT_THROW(computer.LoadFromStream(shortStream), EReadError) << cut;
    }
}

TEST(ListProperties, KeepsShownLinesAndHidesDialUpRecordsUnlessAskedFor) {
    TComputerData computer;
    computer.SetProperty("B", "2");
    computer.SetProperty("A", "1");
    computer.SetProperty("$2026-12-07/23:14.02", "!New Connection! Home");
    computer.SetProperty("$2026-12-07/23:14.02#0001", "!Online! Home since 0 seconds");

    std::vector<std::string> lines = {"b=2", "gone=x"};
    computer.ListProperties(lines, false);
    // "b=2" matches without regard to case and keeps its place; "A=1" is appended.
    EXPECT_EQ(lines, (std::vector<std::string>{"b=2", "A=1"}));

    computer.ListProperties(lines, true);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "b=2", "A=1", "$2026-12-07/23:14.02=!New Connection! Home",
                         "$2026-12-07/23:14.02#0001=!Online! Home since 0 seconds"}));
    computer.SetProperty("A", "");
    computer.ListProperties(lines, false);
    EXPECT_EQ(lines, (std::vector<std::string>{"b=2"}));
}

} // namespace
} // namespace harbolt
