#pragma once

#include "database/ComputerData.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace harbolt {

constexpr std::int32_t kDatabaseId = 0x27027700;
constexpr std::int32_t kDatabaseVersion = 0x00010000;

// A data file that cannot be opened or created.
class EFileError : public Exception {
public:
    using Exception::Exception;
};

// Which file a load took its data from.
enum class TLoadSource { DataFile, Backup };

// The data of every computer this instance knows, in a chain that new computers join at the
// front. Entries are never removed while the program runs, so an entry handed out by
// FindComputer stays valid.
class TDatabase {
public:
    // Becomes TheDatabase; destroying it clears TheDatabase again.
    TDatabase();
    ~TDatabase();
    TDatabase(const TDatabase&) = delete;
    TDatabase& operator=(const TDatabase&) = delete;

    // The entry of that name (ASCII case-insensitive), created when there is none.
    TComputerData& FindComputer(const std::string& name);
    void GetNames(std::vector<std::string>& names) const;
    void Clear();

    void LoadFromStream(TMemoryStream& stream);
    void SaveToStream(TMemoryStream& stream);

    // Reads the data file, falling back to its backup (".BAK") when it cannot be read. A failure
    // of the backup too is raised.
    TLoadSource LoadFromFile(const std::string& path);
    // Writes through "<path minus last char>$", keeps the previous file as ".BAK". A failed save
    // raises EFileError and leaves the data file and the backup as they were.
    void SaveToFile(const std::string& path);

    std::unique_ptr<TComputerData> First;
};

// The one database and the lock that guards it (and the chain); always taken before an entry's
// own lock.
extern TDatabase* TheDatabase;
extern std::recursive_mutex DatabaseLock;

// Replaces the last characters of the data file's name: "Harbolt.DAT" -> "Harbolt.BAK",
// "Harbolt.DA$".
std::string BackupFileName(const std::string& path);
std::string TemporaryFileName(const std::string& path);

// The file-system calls of a save; tests replace them to make any step fail.
class TSaveCalls {
public:
    virtual ~TSaveCalls() = default;
    virtual int Open(const char* path, int flags, mode_t mode);
    virtual ssize_t Write(int fd, const void* data, std::size_t size);
    virtual int Fsync(int fd);
    virtual int Close(int fd);
    virtual int Link(const char* from, const char* to);
    virtual int Rename(const char* from, const char* to);
};

// Writes bytes as the new content of path, keeping the previous content as its backup: through
// the temporary file, on the disk before it replaces the old one, the directory synced after.
// A failed create, write, sync, close, link or rename raises EFileError naming the file and the
// reason, and leaves the data file and the backup as they were.
void SaveFileWithBackup(const std::string& path, const std::string& bytes);
void SaveFileWithBackup(const std::string& path, const std::string& bytes, TSaveCalls& calls);

// Reads a whole file; raises EFileError naming the file when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// Operations for threads, by computer name. Each holds DatabaseLock for its whole run and works
// on FindComputer of TheDatabase; without a database they do nothing.
std::string GetComputerProperty(const std::string& computer, const std::string& key);
void SetComputerProperty(const std::string& computer, const std::string& key,
                         const std::string& value);
std::int32_t GetComputerJournalEnd(const std::string& computer);
std::optional<TJournal> GetComputerJournalSince(const std::string& computer, std::int32_t start);
void ApplyComputerJournal(const std::string& computer, const TJournal& journal);
void EndComputerUpdate(const std::string& computer);

} // namespace harbolt
