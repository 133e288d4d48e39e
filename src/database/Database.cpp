#include "database/Database.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <set>
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

std::string AsciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
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
    stream.SetPlace("", "header");
    if (stream.ReadInt32() != kDatabaseId)
        throw EDataBase("bad ID in DataBase");
    if (stream.ReadInt32() != kDatabaseVersion)
        throw EDataBase("bad Version in DataBase");
    TComputerData* last = nullptr;
    std::set<std::string> names; // ASCII lower case
    for (int number = 1;; ++number) {
        stream.SetPlace(last == nullptr ? "" : "computer " + QuotedName(last->Name()),
                        last == nullptr ? "first marker" : "marker after it");
        if ((stream.ReadInt32() & 1) == 0)
            break;
        const std::size_t start = stream.Position();
        stream.SetPlace("computer " + std::to_string(number), "header");
        auto entry = std::make_unique<TComputerData>();
        TComputerData* added = entry.get();
        // Linked before it reads itself, so a failed read leaves what was read in the chain.
        if (last == nullptr)
            First = std::move(entry);
        else
            last->Next = std::move(entry);
        last = added;
        added->LoadFromStream(stream);
        // Names are unique in the chain: a second entry of a name would shadow the first.
        if (!names.insert(AsciiLower(added->Name())).second) {
            stream.SetPlace("computer " + std::to_string(number), "");
            throw EStreamDamage(start, "computer " + QuotedName(added->Name()) + " stored twice");
        }
    }
    // Bytes after the end marker are ignored: what the file holds was read whole before them.
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

TLoadResult TDatabase::LoadKeepingDamaged(const std::string& path) {
    TSaveCalls calls;
    return LoadKeepingDamaged(path, calls);
}

TLoadResult TDatabase::LoadKeepingDamaged(const std::string& path, TSaveCalls& calls) {
    const auto read = [this](TMemoryStream& stream) { LoadFromStream(stream); };
    return LoadFileOrBackup(
        path, read, [this] { Clear(); }, calls);
}

namespace {

// One attempt at a file: missing, read whole, or what is wrong with it.
struct TFileAttempt {
    bool Missing = false;
    std::string Damage; // "is damaged at offset ...", "cannot be read (...)"; empty: read whole
};

TFileAttempt TryToRead(const std::string& path, const std::function<void(TMemoryStream&)>& read) {
    TFileAttempt attempt;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 && errno == ENOENT) {
        attempt.Missing = true;
        return attempt;
    }
    std::string bytes;
    try {
        bytes = ReadWholeFile(path);
    } catch (const std::exception& e) {
        attempt.Damage = std::string("cannot be read (") + e.what() + ")";
        return attempt;
    }
    TMemoryStream stream(std::move(bytes));
    try {
        read(stream);
    } catch (const std::exception& e) {
        attempt.Damage = "is " + DescribeDamage(stream, e);
    }
    return attempt;
}

// "path.damaged-YYYYmmdd-HHMMSS" in local time, with "-2", "-3"... when that name is taken.
std::string DamagedFileName(const std::string& path) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = path + ".damaged-" + stamp;
    std::string name = base;
    for (int n = 2; ::access(name.c_str(), F_OK) == 0 && n < 10000; ++n)
        name = base + "-" + std::to_string(n);
    return name;
}

} // namespace

TLoadResult LoadFileOrBackup(const std::string& path,
                             const std::function<void(TMemoryStream&)>& read,
                             const std::function<void()>& reset, TSaveCalls& calls) {
    TLoadResult result;
    const TFileAttempt data = TryToRead(path, read);
    if (!data.Missing && data.Damage.empty())
        return result;
    reset();
    std::string problem = path + (data.Missing ? " is missing" : " " + data.Damage);
    std::vector<std::string> kept;
    // Moved aside, a damaged file can never be made the backup by a save.
    const auto keepAside = [&](const std::string& file) {
        const std::string aside = DamagedFileName(file);
        if (calls.Rename(file.c_str(), aside.c_str()) == 0) {
            kept.push_back(aside);
            return true;
        }
        problem += "; " + file + " could not be moved aside (" + ErrnoText(errno) + ")";
        return false;
    };
    if (!data.Missing && !keepAside(path)) {
        result.KeepBackup = true;
        problem += ", so the next save keeps the backup as it is";
    }
    const std::string backup = BackupFileName(path);
    const TFileAttempt saved = TryToRead(backup, read);
    if (!saved.Missing && saved.Damage.empty()) {
        result.Source = TLoadSource::Backup;
        problem += "; loaded its backup " + backup;
    } else {
        reset();
        result.Loaded = false;
        problem += "; its backup " + backup + (saved.Missing ? " is missing" : " " + saved.Damage);
        if (!saved.Missing)
            keepAside(backup);
        problem += "; starting empty";
    }
    if (kept.size() == 1)
        problem += "; the damaged file is kept as " + kept[0];
    else if (kept.size() == 2)
        problem += "; the damaged files are kept as " + kept[0] + " and " + kept[1];
    result.Problem = std::move(problem);
    return result;
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

void SaveFileWithBackup(const std::string& path, const std::string& bytes, bool keepBackup) {
    TSaveCalls calls;
    SaveFileWithBackup(path, bytes, calls, keepBackup);
}

// Every step either completes or leaves the data file and the backup as they were: the
// previous data file is first linked (or copied) to a second temporary name, the new content
// then replaces the data file in one rename, and only then does the previous content replace
// the backup, again in one rename.
void SaveFileWithBackup(const std::string& path, const std::string& bytes, TSaveCalls& calls,
                        bool keepBackup) {
    const std::string temporary = TemporaryFileName(path);
    const std::string backup = BackupFileName(path);
    const std::string nextBackup = TemporaryFileName(backup);
    WriteNewFile(temporary, bytes, calls);

    ::unlink(nextBackup.c_str());
    // No data file (a damaged one was moved aside): the backup stays the one good copy.
    const bool previous = !keepBackup && ::access(path.c_str(), F_OK) == 0;
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

void TDatabase::SaveToFile(const std::string& path, bool keepBackup) {
    TMemoryStream stream;
    SaveToStream(stream);
    SaveFileWithBackup(path, stream.Data(), keepBackup);
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
