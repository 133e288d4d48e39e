#pragma once

#include "database/ComputerData.h"

#include <functional>
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

// How the load of a file with a backup went, for the events log and the status.
struct TLoadResult {
    TLoadSource Source = TLoadSource::DataFile;
    // False: neither the file nor its backup could be read; nothing was loaded.
    bool Loaded = true;
    // Empty when the file was read whole; otherwise which file was damaged or missing, where and
    // why, what was loaded instead and where the damaged files are kept.
    std::string Problem;
    // The damaged file could not be moved aside: the next save must not make it the backup.
    bool KeepBackup = false;
};

class TSaveCalls;

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

    // Raises EDataBase or EStreamDamage where the stream does not read whole and consistently
    // (short, a negative or impossible count, a computer stored twice); what was read stays.
    void LoadFromStream(TMemoryStream& stream);
    void SaveToStream(TMemoryStream& stream);

    // Reads the data file, falling back to its backup (".BAK") when it cannot be read. A failure
    // of the backup too is raised. Changes no file: for looking at a file.
    TLoadSource LoadFromFile(const std::string& path);
    // The load at start (LoadFileOrBackup): a damaged file is moved aside, never left to become
    // the backup; when the backup cannot be read either, the database stays empty.
    TLoadResult LoadKeepingDamaged(const std::string& path);
    TLoadResult LoadKeepingDamaged(const std::string& path, TSaveCalls& calls);
    // Writes through "<path minus last char>$", keeps the previous file as ".BAK" (unless
    // keepBackup: see TLoadResult). A failed save raises EFileError and leaves the data file and
    // the backup as they were.
    void SaveToFile(const std::string& path, bool keepBackup = false);

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
// With keepBackup the previous content is not kept: it replaces a damaged file that must not
// become the backup.
void SaveFileWithBackup(const std::string& path, const std::string& bytes, bool keepBackup = false);
void SaveFileWithBackup(const std::string& path, const std::string& bytes, TSaveCalls& calls,
                        bool keepBackup = false);

// Loads path through read, which raises at any damage, or else its backup. A damaged file is
// renamed aside to "NAME.damaged-YYYYmmdd-HHMMSS" (local time; "-2", "-3"... when that exists)
// so that no later save makes it the backup, and a damaged backup likewise. reset undoes what a
// failed read left before the next read, and after the last when neither file could be read.
TLoadResult LoadFileOrBackup(const std::string& path,
                             const std::function<void(TMemoryStream&)>& read,
                             const std::function<void()>& reset, TSaveCalls& calls);

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
