#include "database/Database.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harbolt {

TDatabase* TheDatabase = nullptr;
std::recursive_mutex DatabaseLock;

namespace {

using TDatabaseGuard = std::lock_guard<std::recursive_mutex>;

std::string ErrnoText(int error) {
    return std::strerror(error);
}

// Closes a descriptor on every path.
class TFileDescriptor {
public:
    explicit TFileDescriptor(int fd) : Fd(fd) {}
    ~TFileDescriptor() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    int Get() const { return Fd; }

private:
    int Fd;
};

// Makes a rename durable: the directory entry itself must reach the disk.
void SyncDirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::string ReplaceTail(const std::string& path, std::size_t count, const std::string& tail) {
    if (path.size() < count)
        return path + tail;
    return path.substr(0, path.size() - count) + tail;
}

} // namespace

std::string BackupFileName(const std::string& path) {
    return ReplaceTail(path, 3, "BAK");
}

std::string TemporaryFileName(const std::string& path) {
    return ReplaceTail(path, 1, "$");
}

std::string ReadWholeFile(const std::string& path) {
    TFileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0)
        throw EFileError("Cannot open file \"" + path + "\". " + ErrnoText(errno));
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(file.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw EFileError("Cannot read file \"" + path + "\". " + ErrnoText(errno));
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

TDatabase::TDatabase() {
    TDatabaseGuard guard(DatabaseLock);
    TheDatabase = this;
}

TDatabase::~TDatabase() {
    TDatabaseGuard guard(DatabaseLock);
    Clear();
    if (TheDatabase == this)
        TheDatabase = nullptr;
}

TComputerData& TDatabase::FindComputer(const std::string& name) {
    TDatabaseGuard guard(DatabaseLock);
    for (TComputerData* entry = First.get(); entry != nullptr; entry = entry->Next.get())
        if (SameTextAscii(entry->Name(), name))
            return *entry;
    auto entry = std::make_unique<TComputerData>();
    entry->SetName(name);
    entry->SetOwn(SameTextAscii(name, OwnComputerName));
    entry->Next = std::move(First);
    First = std::move(entry);
    return *First;
}

void TDatabase::GetNames(std::vector<std::string>& names) const {
    TDatabaseGuard guard(DatabaseLock);
    for (const TComputerData* entry = First.get(); entry != nullptr; entry = entry->Next.get())
        names.push_back(entry->Name());
}

void TDatabase::Clear() {
    TDatabaseGuard guard(DatabaseLock);
    // Unlink one at a time: a long chain must not be destroyed recursively.
    while (First)
        First = std::move(First->Next);
}

void TDatabase::LoadFromStream(TMemoryStream& stream) {
    Clear();
    if (stream.ReadInt32() != kDatabaseId)
        throw EDataBase("bad ID in DataBase");
    if (stream.ReadInt32() != kDatabaseVersion)
        throw EDataBase("bad Version in DataBase");
    TComputerData* last = nullptr;
    while ((stream.ReadInt32() & 1) != 0) {
        auto entry = std::make_unique<TComputerData>();
        TComputerData* added = entry.get();
        // Linked before it reads itself, so a failed read leaves what was read in the chain.
        if (last == nullptr)
            First = std::move(entry);
        else
            last->Next = std::move(entry);
        last = added;
        added->LoadFromStream(stream);
    }
}

void TDatabase::SaveToStream(TMemoryStream& stream) {
    TDatabaseGuard guard(DatabaseLock);
    stream.WriteInt32(kDatabaseId);
    stream.WriteInt32(kDatabaseVersion);
    for (TComputerData* entry = First.get(); entry != nullptr; entry = entry->Next.get()) {
        std::lock_guard<std::recursive_mutex> entryGuard(entry->Lock);
        if (entry->IsEmpty())
            continue;
        stream.WriteInt32(1);
        entry->SaveToStream(stream);
    }
    stream.WriteInt32(0);
}

TLoadSource TDatabase::LoadFromFile(const std::string& path) {
    try {
        TMemoryStream stream(ReadWholeFile(path));
        LoadFromStream(stream);
        return TLoadSource::DataFile;
    } catch (const std::exception&) {
        // Any failure of the data file: the backup holds the previous save.
    }
    TMemoryStream stream(ReadWholeFile(BackupFileName(path)));
    LoadFromStream(stream);
    return TLoadSource::Backup;
}

int TSaveCalls::Open(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
ssize_t TSaveCalls::Write(int fd, const void* data, std::size_t size) {
    return ::write(fd, data, size);
}
int TSaveCalls::Fsync(int fd) {
    return ::fsync(fd);
}
int TSaveCalls::Close(int fd) {
    return ::close(fd);
}
int TSaveCalls::Link(const char* from, const char* to) {
    return ::link(from, to);
}
int TSaveCalls::Rename(const char* from, const char* to) {
    return ::rename(from, to);
}

namespace {

[[noreturn]] void RaiseSaveError(const std::string& what, const std::string& path, int error) {
    throw EFileError("Cannot " + what + " \"" + path + "\". " + ErrnoText(error));
}

// Writes bytes as a new file at path, on the disk before it returns; on any failure the file is
// removed again and the failure raised.
void WriteNewFile(const std::string& path, const std::string& bytes, TSaveCalls& calls) {
    ::unlink(path.c_str());
    const int fd =
        calls.Open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        RaiseSaveError("create file", path, errno);
    int error = 0;
    const char* step = "write file";
    for (std::size_t done = 0; done < bytes.size() && error == 0;) {
        const ssize_t n = calls.Write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            error = n < 0 ? errno : ENOSPC;
        else
            done += static_cast<std::size_t>(n);
    }
    // The content must be on the disk before it replaces the old file: a power cut after the
    // rename would otherwise leave an empty file.
    if (error == 0 && calls.Fsync(fd) != 0) {
        error = errno;
        step = "sync file";
    }
    // A delayed write error shows at the close.
    if (calls.Close(fd) != 0 && error == 0) {
        error = errno;
        step = "close file";
    }
    if (error != 0) {
        ::unlink(path.c_str());
        RaiseSaveError(step, path, error);
    }
}

} // namespace

void SaveFileWithBackup(const std::string& path, const std::string& bytes) {
    TSaveCalls calls;
    SaveFileWithBackup(path, bytes, calls);
}

// Every step either completes or leaves the data file and the backup as they were: the
// previous data file is first linked (or copied) to a second temporary name, the new content
// then replaces the data file in one rename, and only then does the previous content replace
// the backup, again in one rename.
void SaveFileWithBackup(const std::string& path, const std::string& bytes, TSaveCalls& calls) {
    const std::string temporary = TemporaryFileName(path);
    const std::string backup = BackupFileName(path);
    const std::string nextBackup = TemporaryFileName(backup);
    WriteNewFile(temporary, bytes, calls);

    ::unlink(nextBackup.c_str());
    bool previous = ::access(path.c_str(), F_OK) == 0;
    if (previous && calls.Link(path.c_str(), nextBackup.c_str()) != 0) {
        const int error = errno;
        if (error != EPERM && error != EOPNOTSUPP && error != EXDEV && error != EMLINK) {
            ::unlink(temporary.c_str());
            RaiseSaveError("keep the previous file as", nextBackup, error);
        }
        // A file system without hard links: the previous content is copied instead.
        try {
            WriteNewFile(nextBackup, ReadWholeFile(path), calls);
        } catch (const std::exception&) {
            ::unlink(temporary.c_str());
            throw;
        }
    }
    if (calls.Rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        ::unlink(nextBackup.c_str());
        RaiseSaveError("replace file", path, error);
    }
    if (previous && calls.Rename(nextBackup.c_str(), backup.c_str()) != 0) {
        // The new data is in place; only the backup is one save older than it should be.
        const int error = errno;
        ::unlink(nextBackup.c_str());
        SyncDirectoryOf(path);
        RaiseSaveError("replace file", backup, error);
    }
    SyncDirectoryOf(path);
}

void TDatabase::SaveToFile(const std::string& path) {
    TMemoryStream stream;
    SaveToStream(stream);
    SaveFileWithBackup(path, stream.Data());
}

std::string GetComputerProperty(const std::string& computer, const std::string& key) {
    TDatabaseGuard guard(DatabaseLock);
    if (TheDatabase == nullptr)
        return std::string();
    return TheDatabase->FindComputer(computer).GetProperty(key);
}

void SetComputerProperty(const std::string& computer, const std::string& key,
                         const std::string& value) {
    TDatabaseGuard guard(DatabaseLock);
    if (TheDatabase != nullptr)
        TheDatabase->FindComputer(computer).SetProperty(key, value);
}

std::int32_t GetComputerJournalEnd(const std::string& computer) {
    TDatabaseGuard guard(DatabaseLock);
    if (TheDatabase == nullptr)
        return -1;
    return TheDatabase->FindComputer(computer).GetJournalEnd();
}

std::optional<TJournal> GetComputerJournalSince(const std::string& computer, std::int32_t start) {
    TDatabaseGuard guard(DatabaseLock);
    if (TheDatabase == nullptr)
        return std::nullopt;
    return TheDatabase->FindComputer(computer).GetJournalSince(start);
}

void ApplyComputerJournal(const std::string& computer, const TJournal& journal) {
    TDatabaseGuard guard(DatabaseLock);
    if (TheDatabase != nullptr)
        TheDatabase->FindComputer(computer).ApplyJournal(journal);
}

void EndComputerUpdate(const std::string& computer) {
    TDatabaseGuard guard(DatabaseLock);
    if (TheDatabase != nullptr)
        TheDatabase->FindComputer(computer).UpdateRunning = false;
}

} // namespace harbolt
