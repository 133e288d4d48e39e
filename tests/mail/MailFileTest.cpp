#include "database/Database.h"
#include "mail/MailAccounts.h"
#include "mail/MailOptions.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <set>
#include <sys/resource.h>
#include <thread>

namespace harbolt {
namespace {

namespace fs = std::filesystem;

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

// A mail file written out by hand: checking every 10 minutes, dialling allowed, "ding.wav";
// "Home" on "mx:995" as "me" without a password, notifying whenever mail is present, with the
// UIDs "a1" and "b2"; "Work" on "pop" as "w" with five scrambled bytes (one of them 0), deleting
// all mail, no UIDs.
const std::string kWorkPassword = Bytes({0x11, 0x00, 0x7f, 0xff, 0x20});

std::string GoldenMailFile() {
    std::string s;
    s += Bytes({0x0a, 0x00, 0x00, 0x00});                               // frequency 10
    s += Bytes({0x01});                                                 // dialling allowed
    s += Bytes({0x08, 0x00, 0x00, 0x00}) + "ding.wav";                  // sound file
    s += Bytes({0x02, 0x00, 0x00, 0x00});                               // two mailboxes
    s += Bytes({0x04, 0x00, 0x00, 0x00}) + "Home";                      // name
    s += Bytes({0x06, 0x00, 0x00, 0x00}) + "mx:995";                    // server
    s += Bytes({0x02, 0x00, 0x00, 0x00}) + "me";                        // user
    s += Bytes({0x00, 0x00, 0x00, 0x00});                               // empty password
    s += Bytes({0x07, 0x00, 0x00, 0x00});                               // action 7
    s += Bytes({0x02, 0x00, 0x00, 0x00});                               // two UIDs, sorted
    s += Bytes({0x02, 0x00, 0x00, 0x00}) + "a1";                        //
    s += Bytes({0x02, 0x00, 0x00, 0x00}) + "b2";                        //
    s += Bytes({0x04, 0x00, 0x00, 0x00}) + "Work";                      // name
    s += Bytes({0x03, 0x00, 0x00, 0x00}) + "pop";                       // server
    s += Bytes({0x01, 0x00, 0x00, 0x00}) + "w";                         // user
    s += Bytes({0x05, 0x00, 0x00, 0x00, 0x11, 0x00, 0x7f, 0xff, 0x20}); // password
    s += Bytes({0x00, 0x80, 0x00, 0x00});                               // action 0x8000
    s += Bytes({0x00, 0x00, 0x00, 0x00});                               // no UIDs
    return s;
}

void FillGolden(TPop3Accounts& list) {
    list.Frequency = 10;
    list.Trigger = true;
    list.SoundFile = "ding.wav";
    auto home = std::make_unique<TPop3Account>();
    home->Name = "Home";
    home->Server = "mx:995";
    home->User = "me";
    home->Action = kMailNotifyPresent;
    home->UIDLs = {"b2", "a1", "b2"};
    auto work = std::make_unique<TPop3Account>();
    work->Name = "Work";
    work->Server = "pop";
    work->User = "w";
    work->Password = kWorkPassword;
    work->Action = kMailDeleteAll;
    list.Accounts.push_back(std::move(home));
    list.Accounts.push_back(std::move(work));
}

// A mail file of its own in a fresh directory, removed at the end.
class MailFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/harbolt-mailfile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
        Path = (Dir / "HarboltMail.DAT").string();
        Backup = Dir / "HarboltMail.BAK";
        Temporary = Dir / "HarboltMail.DA$";
    }
    void TearDown() override { fs::remove_all(Dir); }
    static void Write(const fs::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Read(const fs::path& path) { return ReadWholeFile(path.string()); }

    fs::path Dir;
    std::string Path;
    fs::path Backup;
    fs::path Temporary;
};

TEST_F(MailFileTest, LayoutIsByteExactAndReadsBackEqual) {
    std::string saved;
    {
        TPop3Accounts list;
        FillGolden(list);
        TMemoryStream stream;
        list.SaveToStream(stream);
        saved = stream.Data();
    }
    EXPECT_EQ(saved, GoldenMailFile());

    TPop3Accounts back;
    TMemoryStream stream(GoldenMailFile());
    back.LoadFromStream(stream);
    EXPECT_EQ(stream.Remaining(), 0u);
    EXPECT_EQ(back.Frequency, 10);
    EXPECT_TRUE(back.Trigger);
    EXPECT_EQ(back.SoundFile, "ding.wav");
    ASSERT_EQ(back.Accounts.size(), 2u);
    const TPop3Account& home = *back.Accounts[0];
    EXPECT_EQ(home.Name, "Home");
    EXPECT_EQ(home.Server, "mx:995");
    EXPECT_EQ(home.User, "me");
    EXPECT_EQ(home.Password, "");
    EXPECT_EQ(home.Action, 7);
    EXPECT_EQ(home.UIDLs, (std::set<std::string>{"a1", "b2"}));
    EXPECT_FALSE(home.Changed);
    EXPECT_FALSE(home.Checking);
    const TPop3Account& work = *back.Accounts[1];
    EXPECT_EQ(work.Password, kWorkPassword);
    EXPECT_EQ(work.Password.size(), 5u);
    EXPECT_EQ(work.Action, kMailDeleteAll);
    EXPECT_TRUE(work.UIDLs.empty());
    EXPECT_NE(home.Id, work.Id);

    TMemoryStream again;
    back.SaveToStream(again);
    EXPECT_EQ(again.Data(), GoldenMailFile());
}

TEST_F(MailFileTest, DefaultsAndTheListPointer) {
    EXPECT_EQ(MailAccounts, nullptr);
    {
        TPop3Accounts list;
        EXPECT_EQ(MailAccounts, &list);
        EXPECT_EQ(list.Frequency, 3);
        EXPECT_FALSE(list.Trigger);
        EXPECT_EQ(list.SoundFile, "email.wav");
        EXPECT_TRUE(list.Accounts.empty());
        EXPECT_FALSE(list.Changed);
        TMemoryStream stream;
        list.SaveToStream(stream);
        EXPECT_EQ(stream.Data(),
                  Bytes({3, 0, 0, 0, 0, 9, 0, 0, 0}) + "email.wav" + Bytes({0, 0, 0, 0}));
    }
    EXPECT_EQ(MailAccounts, nullptr);
}

TEST_F(MailFileTest, AccountIdsAreUniqueAcrossThreads) {
    std::vector<std::uint64_t> ids;
    std::mutex lock;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                TPop3Account account;
                std::lock_guard guard(lock);
                ids.push_back(account.Id);
            }
        });
    for (auto& thread : threads)
        thread.join();
    std::set<std::uint64_t> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), 800u);
}

// Appending: a list read twice holds both sets of mailboxes.
TEST_F(MailFileTest, LoadAppendsToTheAccountsThere) {
    TPop3Accounts list;
    TMemoryStream first(GoldenMailFile());
    list.LoadFromStream(first);
    TMemoryStream second(GoldenMailFile());
    list.LoadFromStream(second);
    ASSERT_EQ(list.Accounts.size(), 4u);
    EXPECT_EQ(list.Accounts[2]->Name, "Home");
    EXPECT_EQ(list.Find("Home"), list.Accounts[0].get());
    EXPECT_EQ(list.Find("home"), nullptr);
    EXPECT_EQ(list.FindById(list.Accounts[2]->Id), list.Accounts[2].get());
    EXPECT_EQ(list.FindById(0), nullptr);
}

// Each kind of damage is named where it is, and the backup alone is loaded (nothing of the
// damaged file stays); the damaged file is moved aside as the data file's is.
TEST_F(MailFileTest, DamagedFileIsKeptAsideAndOnlyTheBackupLoads) {
    const std::string golden = GoldenMailFile();
    // Three mailboxes, the third a copy of "Home" (bytes 21 to 68).
    const std::string twice =
        golden.substr(0, 17) + Bytes({3, 0, 0, 0}) + golden.substr(21) + golden.substr(21, 48);
    std::string negative = golden;
    negative.replace(17, 4, Bytes({0xff, 0xff, 0xff, 0xff}));
    std::string impossible = golden;
    impossible.replace(17, 4, Bytes({0x04, 0x00, 0x00, 0x00})); // 85 bytes cannot hold 4
    const struct {
        const char* Kind;
        std::string Bytes;
        std::string Where; // what the message must name
    } cases[] = {
        {"truncated", golden.substr(0, golden.size() - 3),
         "at offset " + std::to_string(golden.size() - 4) + " (mailbox 2 \"Work\", UIDs)"},
        {"zero-filled", std::string(golden.size(), '\0'), "at offset 0 (frequency)"},
        {"negative count", negative, "at offset 17 (mailbox count): stream read error"},
        {"impossible count", impossible, "at offset 17 (mailbox count)"},
        {"trailing bytes", golden + "xy",
         "at offset " + std::to_string(golden.size()) + " (end): 2 bytes after"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Kind);
        Write(Path, c.Bytes);
        Write(Backup, golden);
        TPop3Accounts list;
        const TLoadResult loaded = list.LoadKeepingDamaged(Path);
        EXPECT_TRUE(loaded.Loaded);
        EXPECT_EQ(loaded.Source, TLoadSource::Backup);
        EXPECT_NE(loaded.Problem.find(Path + " is damaged " + c.Where), std::string::npos)
            << loaded.Problem;
        // The backup's mailboxes and settings, nothing of the damaged file.
        EXPECT_EQ(list.Accounts.size(), 2u);
        EXPECT_EQ(list.Frequency, 10);
    }

    // Two equal mailboxes are what the settings dialog may make, not damage.
    Write(Path, twice);
    TPop3Accounts list;
    const TLoadResult loaded = list.LoadKeepingDamaged(Path);
    EXPECT_EQ(loaded.Source, TLoadSource::DataFile) << loaded.Problem;
    EXPECT_EQ(list.Accounts.size(), 3u);
}

TEST_F(MailFileTest, BothFilesDamagedStartEmptyAndKeepBoth) {
    Write(Path, "\x05");
    Write(Backup, Bytes({3, 0, 0, 0}));
    {
        TPop3Accounts list;
        list.Frequency = 7; // what the list held before stays
        const TLoadResult loaded = list.LoadKeepingDamaged(Path);
        EXPECT_FALSE(loaded.Loaded);
        EXPECT_NE(loaded.Problem.find("starting empty; the damaged files are kept as"),
                  std::string::npos)
            << loaded.Problem;
        EXPECT_TRUE(list.Accounts.empty());
        EXPECT_EQ(list.Frequency, 7);
        EXPECT_FALSE(fs::exists(Path));
        EXPECT_FALSE(fs::exists(Backup));
        EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 2);
    }
    // A crash between the renames of a save leaves only the backup.
    Write(Backup, GoldenMailFile());
    TPop3Accounts list;
    EXPECT_EQ(list.LoadKeepingDamaged(Path).Source, TLoadSource::Backup);
    EXPECT_EQ(list.Accounts.size(), 2u);
}

TEST_F(MailFileTest, CorruptCountsRaiseWithoutHugeAllocations) {
    TPop3Accounts list;
    // Two billion mailboxes announced in a file of a few bytes.
    TMemoryStream accounts(Bytes({3, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0x7f}));
    EXPECT_THROW(list.LoadFromStream(accounts), EReadError);
    // The first name's length beyond the end.
    std::string name = GoldenMailFile();
    name[21] = '\x7f';
    TMemoryStream text(name);
    EXPECT_THROW(list.LoadFromStream(text), EReadError);
    EXPECT_TRUE(list.Accounts.empty());
    // Two billion UIDs in the first mailbox.
    std::string uids = GoldenMailFile();
    uids.replace(53, 4, Bytes({0xff, 0xff, 0xff, 0x7f}));
    TMemoryStream count(uids);
    EXPECT_THROW(list.LoadFromStream(count), EReadError);
    EXPECT_TRUE(list.Accounts.empty());
}

TEST_F(MailFileTest, SavingTwiceKeepsThePreviousVersionAsBackup) {
    Write(Temporary, "left over from a crash");
    TPop3Accounts list;
    FillGolden(list);
    list.SaveToFile(Path);
    EXPECT_EQ(Read(Path), GoldenMailFile());
    EXPECT_FALSE(fs::exists(Backup));
    EXPECT_FALSE(fs::exists(Temporary));
    EXPECT_EQ(fs::status(Path).permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none);

    list.Accounts.pop_back();
    list.SaveToFile(Path);
    EXPECT_EQ(Read(Backup), GoldenMailFile());
    EXPECT_FALSE(fs::exists(Temporary));
    TPop3Accounts back;
    EXPECT_EQ(back.LoadKeepingDamaged(Path).Problem, "");
    ASSERT_EQ(back.Accounts.size(), 1u);
    EXPECT_EQ(back.Accounts[0]->Name, "Home");
}

TEST_F(MailFileTest, FailedSavesTouchNeitherFileNorBackup) {
    TPop3Accounts list;
    FillGolden(list);
    EXPECT_THROW(list.SaveToFile((Dir / "missing" / "HarboltMail.DAT").string()), EFileError);

    Write(Path, "previous file");
    Write(Backup, "previous backup");
    for (int i = 0; i < 100; ++i)
        list.Accounts[0]->UIDLs.insert(std::string(40, 'u') + std::to_string(i));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_THROW(list.SaveToFile(Path), EFileError);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(Read(Path), "previous file");
    EXPECT_EQ(Read(Backup), "previous backup");
    EXPECT_FALSE(fs::exists(Temporary));
}

TEST_F(MailFileTest, CheckChangedClearsOnlyTheListFlag) {
    TPop3Accounts list;
    FillGolden(list);
    EXPECT_FALSE(list.CheckChanged());

    list.Changed = true;
    EXPECT_TRUE(list.CheckChanged());
    EXPECT_FALSE(list.Changed);
    EXPECT_FALSE(list.CheckChanged());

    list.Accounts[1]->Changed = true;
    EXPECT_TRUE(list.CheckChanged());
    EXPECT_FALSE(list.Changed);
    // The account keeps its flag, so every later save writes again.
    EXPECT_TRUE(list.Accounts[1]->Changed);
    EXPECT_TRUE(list.CheckChanged());
}

// The settings dialog shows a stored action by its bits and stores its entries' values.
TEST(MailActionEntryTest, StoredBitsPickTheEntryAndEntriesStoreTheirValues) {
    const std::pair<std::int32_t, int> shown[] = {
        {0, -1}, {1, 0}, {2, 0},      {3, 0},      {4, -1},      {5, 1},
        {6, 1},  {7, 1}, {0x8000, 2}, {0x8003, 0}, {0x8004, -1}, {0x8007, 1}};
    for (const auto& [action, entry] : shown)
        EXPECT_EQ(MailActionEntry(action), entry) << action;
    for (int entry = -1; entry <= 2; ++entry)
        EXPECT_EQ(MailActionEntry(MailActionOfEntry(entry)), entry);
    EXPECT_EQ(MailActionOfEntry(-1), 0);
    EXPECT_EQ(MailActionOfEntry(1), 7);
}

} // namespace
} // namespace harbolt
