#include "net/LanKey.h"

#include "platform/CodePage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/EventLog.h"
#include "platform/Exceptions.h"

namespace harbolt {

namespace {

constexpr std::size_t kUntrustedLimit = 256;

std::string ErrorText(int error) {
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);
}

// The secret as a key of its own: HMAC-SHA-256 with a label, one per use.
TMacKey DeriveKey(std::string_view secret, std::string_view label) {
    TMacKey derived{};
    unsigned length = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(label.data()), label.size(), derived.data(),
         &length);
    return derived;
}

// Closes on every path.
struct TDescriptor {
    int Value;
    explicit TDescriptor(int value) : Value(value) {}
    ~TDescriptor() {
        if (Value >= 0)
            ::close(Value);
    }
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;
};

std::mutex KeyLock;
std::shared_ptr<const TLanKeyMaterial> Key;
std::uint64_t Generation = 0;

std::mutex UntrustedLock;
std::vector<TUntrustedPeer> Untrusted; // unordered; small
// One line per newly untrusted sender, but spoofed source addresses must not fill the log.
TEventRateLimit& UntrustedLines() {
    static auto* const limit = new TEventRateLimit(SystemTickClock(), 16, "untrusted computers");
    return *limit;
}

} // namespace

TMacKey Hmac256(const TMacKey& key, const std::vector<std::string_view>& parts) {
    // The parts are a datagram or a few nonces: joining them costs less than a context.
    std::string joined;
    for (const std::string_view part : parts)
        joined.append(part);
    TMacKey mac{};
    unsigned length = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(joined.data()), joined.size(), mac.data(),
             &length) == nullptr)
        throw Exception("cannot compute a MAC");
    return mac;
}

bool SameBytes(const unsigned char* a, const unsigned char* b, std::size_t size) {
    return CRYPTO_memcmp(a, b, size) == 0;
}

void RandomBytes(unsigned char* destination, std::size_t size) {
    if (RAND_bytes(destination, static_cast<int>(size)) != 1)
        throw Exception("the system has no random numbers to give");
}

std::string HexText(const unsigned char* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

bool ParseHex(std::string_view text, unsigned char* destination, std::size_t size) {
    if (text.size() != size * 2)
        return false;
    for (std::size_t i = 0; i < size; ++i) {
        const int high = HexDigitValue(text[2 * i]);
        const int low = HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        destination[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return true;
}

std::shared_ptr<const TLanKeyMaterial> MakeLanKeyMaterial(std::string_view secret) {
    if (secret.size() < kLanKeyMinimumBytes)
        throw Exception("a LAN key needs at least " + std::to_string(kLanKeyMinimumBytes) +
                        " bytes; this one has " + std::to_string(secret.size()));
    if (secret.size() > kLanKeyMaximumBytes)
        throw Exception("a LAN key has at most " + std::to_string(kLanKeyMaximumBytes) +
                        " bytes; this one has " + std::to_string(secret.size()));
    auto material = std::make_shared<TLanKeyMaterial>();
    material->DatagramKey = DeriveKey(secret, "harbolt lan key: announcements");
    material->ChannelKey = DeriveKey(secret, "harbolt lan key: connections");
    const TMacKey print = DeriveKey(secret, "harbolt lan key: fingerprint");
    const std::string hex = HexText(print.data(), 8);
    material->Fingerprint = hex.substr(0, 4) + "-" + hex.substr(4, 4) + "-" + hex.substr(8, 4) +
                            "-" + hex.substr(12, 4);
    return material;
}

std::string GenerateLanKeySecret() {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    unsigned char bytes[33]{};
    RandomBytes(bytes, 32);
    std::string text;
    // 32 bytes are 256 bits: 43 digits of six bits, the last holding the final four.
    for (std::size_t bit = 0; bit < 256; bit += 6) {
        const std::size_t index = bit / 8;
        const unsigned window = (static_cast<unsigned>(bytes[index]) << 8) | bytes[index + 1];
        text += kAlphabet[(window >> (10 - bit % 8)) & 63];
    }
    return text;
}

std::string LanKeyFilePath(const std::string& dataDirectory) {
    return dataDirectory + "/" + kLanKeyFileName;
}

std::optional<std::string> ReadLanKeyFile(const std::string& path, std::string& warning) {
    warning.clear();
    const TDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (file.Value < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw Exception("cannot read the LAN key " + path + ": " + ErrorText(errno));
    }
    struct stat status {};
    if (::fstat(file.Value, &status) != 0 || !S_ISREG(status.st_mode))
        throw Exception("the LAN key " + path + " is not a regular file");
    if (status.st_size > static_cast<off_t>(kLanKeyMaximumBytes + 2))
        throw Exception("the LAN key " + path + " is longer than " +
                        std::to_string(kLanKeyMaximumBytes) + " bytes");
    std::string secret(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t filled = 0;
    while (filled < secret.size()) {
        const ssize_t got = ::read(file.Value, secret.data() + filled, secret.size() - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw Exception("cannot read the LAN key " + path + ": " + ErrorText(errno));
        if (got == 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    secret.resize(filled);
    if (!secret.empty() && secret.back() == '\n')
        secret.pop_back();
    if (!secret.empty() && secret.back() == '\r')
        secret.pop_back();
    if (secret.size() < kLanKeyMinimumBytes)
        throw Exception("the LAN key " + path + " is shorter than " +
                        std::to_string(kLanKeyMinimumBytes) + " bytes");
    if (secret.size() > kLanKeyMaximumBytes)
        throw Exception("the LAN key " + path + " is longer than " +
                        std::to_string(kLanKeyMaximumBytes) + " bytes");
    if ((status.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        warning = "the LAN key " + path + " may be read by others (mode " + mode +
                  "): chmod 600 it, and choose a new key if others did read it";
    }
    return secret;
}

void WriteLanKeyFile(const std::string& path, std::string_view secret) {
    MakeLanKeyMaterial(secret); // the length checks
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    {
        const TDescriptor file(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (file.Value < 0)
            throw Exception("cannot write the LAN key " + temporary + ": " + ErrorText(errno));
        std::size_t written = 0;
        bool failed = false;
        int error = 0;
        while (written < secret.size() && !failed) {
            const ssize_t put =
                ::write(file.Value, secret.data() + written, secret.size() - written);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0) {
                failed = true;
                error = put < 0 ? errno : ENOSPC;
            } else {
                written += static_cast<std::size_t>(put);
            }
        }
        if (!failed && ::fsync(file.Value) != 0) {
            failed = true;
            error = errno;
        }
        if (failed) {
            ::unlink(temporary.c_str());
            throw Exception("cannot write the LAN key " + temporary + ": " + ErrorText(error));
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw Exception("cannot replace the LAN key " + path + ": " + ErrorText(error));
    }
    // The rename lasts through a crash only once the directory has reached the disk.
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const TDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.Value >= 0)
        ::fsync(directory.Value);
}

bool RemoveLanKeyFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0)
        return true;
    if (errno == ENOENT)
        return false;
    throw Exception("cannot remove the LAN key " + path + ": " + ErrorText(errno));
}

void SetCurrentLanKey(std::shared_ptr<const TLanKeyMaterial> key) {
    {
        const std::scoped_lock lock(KeyLock);
        Key = std::move(key);
        ++Generation;
    }
    ForgetUntrustedPeers();
}

std::shared_ptr<const TLanKeyMaterial> CurrentLanKey() {
    const std::scoped_lock lock(KeyLock);
    return Key;
}

std::uint64_t LanKeyGeneration() {
    const std::scoped_lock lock(KeyLock);
    return Generation;
}

const char* TrustFailureText(TTrustFailure failure) {
    switch (failure) {
    case TTrustFailure::NoMac:
        return "no LAN key";
    case TTrustFailure::BadMac:
        return "another LAN key or a forged MAC";
    case TTrustFailure::Replayed:
        return "a replayed datagram";
    case TTrustFailure::Stale:
        return "a time stamp too far from this clock";
    case TTrustFailure::NoHandshake:
        return "a connection without the LAN key handshake";
    case TTrustFailure::FailedHandshake:
        return "a failed LAN key handshake";
    }
    return "untrusted";
}

void NoteUntrusted(const TLanKeyMaterial* judgedWith, std::uint32_t address, std::string_view name,
                   TTrustFailure failure, bool datagram) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr held{};
    held.s_addr = address;
    ::inet_ntop(AF_INET, &held, text, sizeof text);
    const std::int64_t now = UnixMilliseconds();
    std::string line;
    {
        const std::scoped_lock lock(UntrustedLock);
        // Under this lock: a key set after this look forgets the entry only after it is made.
        if (CurrentLanKey().get() != judgedWith)
            return;
        auto found = std::find_if(Untrusted.begin(), Untrusted.end(),
                                  [&](const TUntrustedPeer& peer) { return peer.Address == text; });
        if (found == Untrusted.end()) {
            if (Untrusted.size() >= kUntrustedLimit)
                Untrusted.erase(
                    std::min_element(Untrusted.begin(), Untrusted.end(),
                                     [](const TUntrustedPeer& a, const TUntrustedPeer& b) {
                                         return a.LastUnixMs < b.LastUnixMs;
                                     }));
            Untrusted.push_back({});
            found = std::prev(Untrusted.end());
            found->Address = text;
            line = "not trusting " +
                   (name.empty() ? std::string("a computer") : Cp1252ToUtf8(name)) + " at " + text +
                   ": " + TrustFailureText(failure) +
                   (datagram ? "; its datagrams are dropped" : "; its connection was closed");
        }
        if (!name.empty())
            found->Name = std::string(name);
        if (datagram)
            ++found->DatagramsDropped;
        else
            ++found->ConnectionsRefused;
        found->LastFailure = failure;
        found->LastUnixMs = now;
    }
    if (!line.empty())
        UntrustedLines().Log(TEventLevel::Warning, line);
}

std::vector<TUntrustedPeer> UntrustedPeers() {
    std::vector<TUntrustedPeer> peers;
    {
        const std::scoped_lock lock(UntrustedLock);
        peers = Untrusted;
    }
    std::stable_sort(peers.begin(), peers.end(),
                     [](const TUntrustedPeer& a, const TUntrustedPeer& b) {
                         return a.LastUnixMs > b.LastUnixMs;
                     });
    return peers;
}

void ForgetUntrustedPeers() {
    const std::scoped_lock lock(UntrustedLock);
    Untrusted.clear();
}

} // namespace harbolt
