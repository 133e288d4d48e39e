#include "Golden.h"
#include "database/Database.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>

namespace harbolt {
namespace {

namespace fs = std::filesystem;

class DataFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        OwnComputerName = "PC1";
        char pattern[] = "/tmp/harbolt-datafile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
        Path = (Dir / "Harbolt.DAT").string();
    }
    void TearDown() override {
        OwnComputerName = "unknown";
        fs::remove_all(Dir);
    }
    static void Write(const fs::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Read(const fs::path& path) { return ReadWholeFile(path.string()); }

    fs::path Dir;
    std::string Path;
};

TEST_F(DataFileTest, NamesOfTemporaryAndBackupFiles) {
    EXPECT_EQ(BackupFileName("/x/Harbolt.DAT"), "/x/Harbolt.BAK");
    EXPECT_EQ(TemporaryFileName("/x/Harbolt.DAT"), "/x/Harbolt.DA$");
}

TEST_F(DataFileTest, SaveKeepsThePreviousFileAsBackup) {
    TDatabase db;
    db.FindComputer("PC1").SetProperty("ProxyEnabled", "yes");
    db.SaveToFile(Path);
    const std::string first = Read(Path);
    EXPECT_EQ(first, test::Pc1DataFile());
    EXPECT_FALSE(fs::exists(Dir / "Harbolt.BAK"));

    db.FindComputer("PC1").SetProperty("Timemaster", "yes");
    db.SaveToFile(Path);
    EXPECT_EQ(Read(Dir / "Harbolt.BAK"), first);
    EXPECT_NE(Read(Path), first);
    EXPECT_FALSE(fs::exists(Dir / "Harbolt.DA$"));
    EXPECT_EQ(fs::status(Path).permissions() & fs::perms::others_read, fs::perms::none);

    TDatabase back;
    EXPECT_EQ(back.LoadFromFile(Path), TLoadSource::DataFile);
    EXPECT_EQ(back.FindComputer("PC1").GetProperty("Timemaster"), "yes");
    EXPECT_EQ(back.FindComputer("PC1").GetJournalEnd(), 2);
}

TEST_F(DataFileTest, CorruptDataFileFallsBackToBackupAndIsReplacedOnNextSave) {
    Write(Dir / "Harbolt.BAK", test::Pc1DataFile());
    const std::string corrupt = "not a data file at all";
    Write(Path, corrupt);
    TDatabase db;
    EXPECT_EQ(db.LoadFromFile(Path), TLoadSource::Backup);
    EXPECT_EQ(db.FindComputer("PC1").GetProperty("ProxyEnabled"), "yes");

    db.SaveToFile(Path);
    EXPECT_EQ(Read(Dir / "Harbolt.BAK"), corrupt);
    EXPECT_EQ(Read(Path), test::Pc1DataFile());
}

TEST_F(DataFileTest, TruncatedDataFileAlsoFallsBackAndStartsFromAClearDatabase) {
    std::string twoComputers;
    {
        TDatabase source;
        source.FindComputer("Peer").SetProperty("A", "1");
        source.FindComputer("PC1").SetProperty("B", "2");
        TMemoryStream stream;
        source.SaveToStream(stream);
        twoComputers = stream.Data();
    }
    Write(Path, twoComputers.substr(0, twoComputers.size() - 3));
    Write(Dir / "Harbolt.BAK", test::Pc1DataFile());
    TDatabase db;
    EXPECT_EQ(db.LoadFromFile(Path), TLoadSource::Backup);
    std::vector<std::string> names;
    db.GetNames(names);
    EXPECT_EQ(names, std::vector<std::string>{"PC1"});
}

TEST_F(DataFileTest, BothUnreadableRaisesAndMissingFileIsNamed) {
    TDatabase db;
    try {
        db.LoadFromFile(Path);
        FAIL() << "missing files loaded";
    } catch (const EFileError& e) {
        EXPECT_NE(std::string(e.what()).find("Harbolt.BAK"), std::string::npos) << e.what();
    }
    Write(Path, "garbage");
    Write(Dir / "Harbolt.BAK", std::string(12, '\0'));
    try {
        db.LoadFromFile(Path);
        FAIL() << "corrupt files loaded";
    } catch (const EDataBase& e) {
        EXPECT_STREQ(e.what(), "bad ID in DataBase");
    }
}

TEST_F(DataFileTest, StaleTemporaryFileIsReplaced) {
    Write(Dir / "Harbolt.DA$", "left over from a crash");
    TDatabase db;
    db.FindComputer("PC1").SetProperty("ProxyEnabled", "yes");
    db.SaveToFile(Path);
    EXPECT_EQ(Read(Path), test::Pc1DataFile());
    EXPECT_FALSE(fs::exists(Dir / "Harbolt.DA$"));
}

TEST_F(DataFileTest, UncreatableTemporaryFileRaisesAndTouchesNothing) {
    TDatabase db;
    db.FindComputer("PC1").SetProperty("ProxyEnabled", "yes");
    EXPECT_THROW(db.SaveToFile((Dir / "no-such-dir" / "Harbolt.DAT").string()), EFileError);
}

// A write that fails half-way (disk full, quota) must leave the data file and the backup as they
// were and remove the temporary file. The file size limit makes the kernel refuse the write.
TEST_F(DataFileTest, FailedWriteLeavesDataFileAndBackupIntact) {
    Write(Path, "previous data file");
    Write(Dir / "Harbolt.BAK", "previous backup");
    TDatabase db;
    TComputerData& own = db.FindComputer("PC1");
    for (int i = 0; i < 100; ++i)
        own.SetProperty("Key" + std::to_string(i), std::string(100, 'v'));

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    db.SaveToFile(Path);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(Read(Path), "previous data file");
    EXPECT_EQ(Read(Dir / "Harbolt.BAK"), "previous backup");
    EXPECT_FALSE(fs::exists(Dir / "Harbolt.DA$"));

    db.SaveToFile(Path); // with room again the save goes through
    EXPECT_EQ(Read(Dir / "Harbolt.BAK"), "previous data file");
    TDatabase back;
    back.LoadFromFile(Path);
    EXPECT_EQ(back.FindComputer("PC1").GetProperty("Key99"), std::string(100, 'v'));
}

TEST_F(DataFileTest, OwnComputerWithoutPropertiesIsNotWrittenAndStartsAgainAtZero) {
    {
        TDatabase db;
        db.FindComputer("PC1");
        db.SaveToFile(Path);
    }
    EXPECT_EQ(Read(Path).size(), 12u);
    TDatabase db;
    db.LoadFromFile(Path);
    std::vector<std::string> names;
    db.GetNames(names);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(db.FindComputer("PC1").GetJournalEnd(), 0);
}

} // namespace
} // namespace harbolt
