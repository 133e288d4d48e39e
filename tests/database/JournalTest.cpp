#include "database/Journal.h"
#include "Golden.h"

#include <gtest/gtest.h>

namespace harbolt {
namespace {

using test::Bytes;

std::string Save(const TJournal& journal) {
    TMemoryStream stream;
    journal.SaveToStream(stream);
    return stream.Data();
}

TJournal Load(const std::string& bytes) {
    TMemoryStream stream(bytes);
    TJournal journal;
    journal.LoadFromStream(stream);
    return journal;
}

TEST(TextIsTrue, AcceptsOnlyTheSixWordsInAnyCase) {
    for (const char* yes : {"YES", "yes", "Ja", "J", "j", "y", "Y", "+", "1"})
        EXPECT_TRUE(TextIsTrue(yes)) << yes;
    for (const char* no : {" yes", "yes ", "true", "on", "2", "", "no", "nein", "0", "jaa"})
        EXPECT_FALSE(TextIsTrue(no)) << no;
}

TEST(JournalStream, EmptyJournalIs24BytesAndRoundTrips) {
    TJournal journal;
    journal.JournalStart = 5;
    journal.JournalEnd = 9;
    const std::string bytes = Save(journal);
    EXPECT_EQ(bytes, Bytes({0x77, 0x19, 0x02, 0x27, 0, 0, 1, 0, 5, 0, 0, 0,
                            9,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0}));
    const TJournal back = Load(bytes);
    EXPECT_EQ(back.JournalStart, 5);
    EXPECT_EQ(back.JournalEnd, 9);
    EXPECT_FALSE(back.Complete);
    EXPECT_EQ(back.Count(), 0u);
}

TEST(JournalStream, OneDeletionEntryIs33Bytes) {
    TJournal journal;
    journal.Entries.push_back({"A", ""});
    journal.JournalEnd = 1;
    const std::string bytes = Save(journal);
    ASSERT_EQ(bytes.size(), 33u);
    EXPECT_EQ(bytes.substr(20), Bytes({1, 0, 0, 0, 1, 0, 0, 0, 'A', 0, 0, 0, 0}));
    const TJournal back = Load(bytes);
    ASSERT_EQ(back.Count(), 1u);
    EXPECT_EQ(back.Entries[0].Key, "A");
    EXPECT_EQ(back.Entries[0].Value, "");
}

TEST(JournalStream, FlagsReadBitZeroAndWriteOne) {
    TJournal journal;
    std::string bytes = Save(journal);
    bytes[16] = 3;
    const TJournal back = Load(bytes);
    EXPECT_TRUE(back.Complete);
    EXPECT_EQ(Save(back)[16], 1);
    bytes[16] = 2;
    EXPECT_FALSE(Load(bytes).Complete);
}

TEST(JournalStream, RefusesWrongIdentifierAndVersion) {
    const std::string good = Save(TJournal());
    std::string badId = good;
    badId[0] = 0x78;
    try {
        Load(badId);
        FAIL() << "bad identifier accepted";
    } catch (const EDataBase& e) {
        EXPECT_STREQ(e.what(), "bad ID in Journal");
    }
    std::string newer = good;
    newer[4] = 1; // 0x00010001: journals accept exactly one version
    try {
        Load(newer);
        FAIL() << "version 0x00010001 accepted";
    } catch (const EDataBase& e) {
        EXPECT_STREQ(e.what(), "bad version in Journal");
    }
}

TEST(JournalStream, ShortOrLyingStreamsFailWithReadError) {
    TJournal journal;
    journal.Entries.push_back({"Key", "Value"});
    journal.Entries.push_back({"Other", "x"});
    journal.JournalEnd = 2;
    const std::string bytes = Save(journal);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_THROW(Load(bytes.substr(0, cut)), EReadError) << "cut at " << cut;

    // A count or length far beyond the stream must fail at once, not allocate.
    std::string hugeCount = Save(TJournal());
    hugeCount.replace(20, 4, Bytes({0xff, 0xff, 0xff, 0x7f}));
    EXPECT_THROW(Load(hugeCount), EReadError);
    std::string hugeLength = bytes;
    hugeLength.replace(24, 4, Bytes({0xf0, 0xff, 0xff, 0x7f}));
    EXPECT_THROW(Load(hugeLength), EReadError);
    std::string negativeLength = bytes;
    negativeLength.replace(24, 4, Bytes({0xff, 0xff, 0xff, 0xff}));
    EXPECT_THROW(Load(negativeLength), EReadError);
}

TEST(JournalStream, FailedReadKeepsEntriesReadSoFarAndReloadDropsOldEntries) {
    TJournal journal;
    journal.Entries.push_back({"A", "1"});
    journal.Entries.push_back({"B", "2"});
    const std::string bytes = Save(journal);
    TJournal target;
    target.Entries.push_back({"old", "entry"});
    TMemoryStream shortStream(bytes.substr(0, bytes.size() - 1));
    EXPECT_THROW(target.LoadFromStream(shortStream), EReadError);
    ASSERT_EQ(target.Count(), 1u);
    EXPECT_EQ(target.Entries[0].Key, "A");
}

} // namespace
} // namespace harbolt
