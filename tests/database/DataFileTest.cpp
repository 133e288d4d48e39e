#include "Golden.h"
#include "database/Database.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
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

// Each kind of damage: the file is moved aside whole, the backup is loaded, and the next save
// leaves the backup as it was.
TEST_F(DataFileTest, DamagedFileIsKeptAsideAndTheNextSaveKeepsTheBackup) {
    const std::string pc1 = test::Pc1DataFile();
    std::string negative = pc1;
    negative.replace(47, 4, test::Bytes({0xff, 0xff, 0xff, 0xff})); // property count
    std::string impossible = pc1;
    impossible.replace(94, 4, test::Bytes({0xff, 0xff, 0xff, 0x7f})); // journal entry count
    const std::string computer = pc1.substr(12, 109);
    const std::string twice =
        pc1.substr(0, 12) + computer + pc1.substr(8, 4) + computer + pc1.substr(121);
    const struct {
        const char* Kind;
        std::string Bytes;
        std::string Where;
    } cases[] = {
        {"truncated", pc1.substr(0, 60), "at offset 51 (computer \"PC1\", properties)"},
        {"zero-filled", std::string(pc1.size(), '\0'), "at offset 0 (header): bad ID"},
        {"negative count", negative, "at offset 47 (computer \"PC1\", properties)"},
        {"impossible count", impossible, "at offset 94 (computer \"PC1\", journal)"},
        {"duplicate name", twice, "at offset 125 (computer 2): computer \"PC1\" stored twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Kind);
        Write(Path, c.Bytes);
        Write(Dir / "Harbolt.BAK", pc1);
        TDatabase db;
        const TLoadResult loaded = db.LoadKeepingDamaged(Path);
        EXPECT_EQ(loaded.Source, TLoadSource::Backup);
        EXPECT_NE(loaded.Problem.find(Path + " is damaged " + c.Where), std::string::npos)
            << loaded.Problem;
        std::vector<std::string> names;
        db.GetNames(names);
        EXPECT_EQ(names, std::vector<std::string>{"PC1"});
        EXPECT_FALSE(fs::exists(Path));
        std::vector<fs::path> aside;
        for (const auto& entry : fs::directory_iterator(Dir))
            if (entry.path().filename().string().starts_with("Harbolt.DAT.damaged-"))
                aside.push_back(entry.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(Read(aside[0]), c.Bytes);
        EXPECT_NE(loaded.Problem.find("; loaded its backup " + (Dir / "Harbolt.BAK").string() +
                                      "; the damaged file is kept as " + aside[0].string()),
                  std::string::npos)
            << loaded.Problem;

        db.FindComputer("PC1").SetProperty("Timemaster", "yes");
        db.SaveToFile(Path);
        EXPECT_EQ(Read(Dir / "Harbolt.BAK"), pc1);
        fs::remove(aside[0]);
    }
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
    EXPECT_THROW(db.SaveToFile(Path), EFileError);
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

// Fails the call of one kind (its n-th occurrence) with an error number, as a full disk, a
// failing device or a read-only remount would.
class TFailingCalls : public TSaveCalls {
public:
    enum class TStep { Open, Write, Fsync, Close, Link, RenameData, RenameBackup };
    TFailingCalls(TStep step, int error) : Step(step), Error(error) {}

    int Open(const char* path, int flags, mode_t mode) override {
        return Fail(TStep::Open) ? -1 : TSaveCalls::Open(path, flags, mode);
    }
    ssize_t Write(int fd, const void* data, std::size_t size) override {
        if (Step != TStep::Write || Failed)
            return TSaveCalls::Write(fd, data, size);
        // A short write first, as a disk filling up gives, then the failure.
        if (!ShortWritten && size > 1) {
            ShortWritten = true;
            return TSaveCalls::Write(fd, data, size / 2);
        }
        Fail(TStep::Write);
        return -1;
    }
    int Fsync(int fd) override { return Fail(TStep::Fsync) ? -1 : TSaveCalls::Fsync(fd); }
    int Close(int fd) override {
        const int result = TSaveCalls::Close(fd);
        return Fail(TStep::Close) ? -1 : result;
    }
    int Link(const char* from, const char* to) override {
        return Fail(TStep::Link) ? -1 : TSaveCalls::Link(from, to);
    }
    int Rename(const char* from, const char* to) override {
        const bool data = std::string_view(to).ends_with(".DAT");
        if (Fail(data ? TStep::RenameData : TStep::RenameBackup))
            return -1;
        return TSaveCalls::Rename(from, to);
    }

private:
    bool Fail(TStep step) {
        if (step != Step || Failed)
            return false;
        Failed = true;
        errno = Error;
        return true;
    }
    const TStep Step;
    const int Error;
    bool Failed = false;
    bool ShortWritten = false;
};

// Whatever step of a save fails, the save says so, the data file keeps the previous content,
// no temporary file stays behind, and the next save goes through.
TEST_F(DataFileTest, EveryFailingStepOfASaveRaisesAndKeepsThePreviousFiles) {
    using S = TFailingCalls::TStep;
    for (const auto& [step, error] : {std::pair{S::Open, ENOSPC},
                                      {S::Write, ENOSPC},
                                      {S::Fsync, EIO},
                                      {S::Close, EDQUOT},
                                      {S::Link, ENOSPC},
                                      {S::RenameData, EROFS},
                                      {S::RenameBackup, EIO}}) {
        SCOPED_TRACE(static_cast<int>(step));
        Write(Path, "previous data file");
        Write(Dir / "Harbolt.BAK", "previous backup");
        TFailingCalls calls(step, error);
        try {
            SaveFileWithBackup(Path, "new content", calls);
            ADD_FAILURE() << "the save did not raise";
        } catch (const EFileError& e) {
            EXPECT_NE(std::string(e.what()).find(std::strerror(error)), std::string::npos)
                << e.what();
        }
        // Only a failure of the last rename finds the new content in place already.
        EXPECT_EQ(Read(Path), step == S::RenameBackup ? "new content" : "previous data file");
        EXPECT_EQ(Read(Dir / "Harbolt.BAK"), "previous backup");
        EXPECT_FALSE(fs::exists(Dir / "Harbolt.DA$"));
        EXPECT_FALSE(fs::exists(Dir / "Harbolt.BA$"));

        SaveFileWithBackup(Path, "next content");
        EXPECT_EQ(Read(Path), "next content");
    }
}

// A damaged file that cannot be moved aside stays; the next save then replaces it without
// making it the backup.
TEST_F(DataFileTest, DamagedFileThatCannotBeMovedAsideNeverBecomesTheBackup) {
    Write(Path, "damaged");
    Write(Dir / "Harbolt.BAK", test::Pc1DataFile());
    TFailingCalls calls(TFailingCalls::TStep::RenameBackup, EBUSY);
    TDatabase db;
    const TLoadResult loaded = db.LoadKeepingDamaged(Path, calls);
    EXPECT_TRUE(loaded.KeepBackup);
    EXPECT_NE(loaded.Problem.find("could not be moved aside (" + std::string(std::strerror(EBUSY))),
              std::string::npos)
        << loaded.Problem;
    EXPECT_EQ(db.FindComputer("PC1").GetProperty("ProxyEnabled"), "yes");

    TSaveCalls plain;
    SaveFileWithBackup(Path, "new content", plain, loaded.KeepBackup);
    EXPECT_EQ(Read(Path), "new content");
    EXPECT_EQ(Read(Dir / "Harbolt.BAK"), test::Pc1DataFile());
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
