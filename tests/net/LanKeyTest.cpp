#include "net/LanKey.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/EventLog.h"
#include "platform/Exceptions.h"

namespace harbolt {
namespace {

namespace fs = std::filesystem;

const std::string kSecret = "correct horse battery staple";

// The message of the Exception f raises ("" when it raises nothing).
template <typename F> std::string Failure(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

// A fresh directory per test, removed whatever the test did.
class LanKeyFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/harbolt-lankey-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        Directory = pattern;
        Path = LanKeyFilePath(Directory);
    }
    void TearDown() override { fs::remove_all(Directory); }

    void WriteRaw(const std::string& bytes, fs::perms mode) {
        std::ofstream(Path, std::ios::binary) << bytes;
        fs::permissions(Path, mode);
    }
    unsigned Mode() const {
        struct stat status {};
        ::stat(Path.c_str(), &status);
        return status.st_mode & 07777;
    }

    std::string Directory;
    std::string Path;
    std::string Warning = "stale";
};

TEST_F(LanKeyFileTest, WriteReadAndRemove) {
    EXPECT_EQ(ReadLanKeyFile(Path, Warning), std::nullopt);
    EXPECT_EQ(Warning, "");
    WriteRaw("an older key that others could read", fs::perms(0644));
    WriteLanKeyFile(Path, kSecret);
    EXPECT_EQ(Mode(), 0600u);
    EXPECT_EQ(ReadLanKeyFile(Path, Warning), kSecret);
    EXPECT_EQ(Warning, "");
    EXPECT_FALSE(fs::exists(Path + ".new"));
    EXPECT_TRUE(RemoveLanKeyFile(Path));
    EXPECT_EQ(ReadLanKeyFile(Path, Warning), std::nullopt);
    EXPECT_FALSE(RemoveLanKeyFile(Path));
}

TEST_F(LanKeyFileTest, OneTrailingLineEndIsNotPartOfTheKey) {
    for (const std::string ending : {"\n", "\r\n"}) {
        WriteRaw(kSecret + ending, fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(ReadLanKeyFile(Path, Warning), kSecret) << ending.size();
    }
    WriteRaw(kSecret + "\n\n", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ReadLanKeyFile(Path, Warning), kSecret + "\n");
}

TEST_F(LanKeyFileTest, ShortOrLongKeysAreRefusedWithTheReason) {
    // Fifteen bytes and a line end: the line end does not make up the sixteenth.
    WriteRaw(std::string(15, 'k') + "\n", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NE(Failure([&] { ReadLanKeyFile(Path, Warning); }).find("shorter than 16 bytes"),
              std::string::npos);
    WriteRaw(std::string(5000, 'k'), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NE(Failure([&] { ReadLanKeyFile(Path, Warning); }).find("longer than 4096 bytes"),
              std::string::npos);
    // A refused write leaves the key there was.
    WriteLanKeyFile(Path, kSecret);
    EXPECT_EQ(Failure([&] { WriteLanKeyFile(Path, "short"); }),
              "a LAN key needs at least 16 bytes; this one has 5");
    EXPECT_EQ(ReadLanKeyFile(Path, Warning), kSecret);
}

TEST_F(LanKeyFileTest, KeyReadableByOthersIsUsedWithAWarning) {
    for (const auto& [mode, text] : {std::pair{0644, "mode 0644"}, std::pair{0604, "mode 0604"}}) {
        WriteRaw(kSecret, fs::perms(mode));
        EXPECT_EQ(ReadLanKeyFile(Path, Warning), kSecret);
        EXPECT_NE(Warning.find(text), std::string::npos) << Warning;
        EXPECT_NE(Warning.find(Path), std::string::npos) << Warning;
    }
}

TEST(LanKeyMaterial, GeneratedSecretsAreUrlSafeBase64Of32Bytes) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    const std::string first = GenerateLanKeySecret();
    ASSERT_EQ(first.size(), 43u);
    EXPECT_EQ(first.find_first_not_of(alphabet), std::string::npos) << first;
    // The last digit holds the final four bits: its two low bits are zero.
    EXPECT_EQ(alphabet.find(first.back()) % 4, 0u) << first;
    EXPECT_NE(GenerateLanKeySecret(), first);
    EXPECT_NO_THROW(MakeLanKeyMaterial(first));
}

TEST(LanKeyMaterial, FingerprintFollowsTheSecretOnly) {
    const auto key = MakeLanKeyMaterial(kSecret);
    const auto again = MakeLanKeyMaterial(kSecret);
    const auto other = MakeLanKeyMaterial(kSecret + "!");
    EXPECT_TRUE(std::regex_match(key->Fingerprint, std::regex("[0-9a-f]{4}(-[0-9a-f]{4}){3}")))
        << key->Fingerprint;
    EXPECT_EQ(key->Fingerprint, again->Fingerprint);
    EXPECT_EQ(key->DatagramKey, again->DatagramKey);
    EXPECT_NE(key->Fingerprint, other->Fingerprint);
    EXPECT_NE(key->DatagramKey, other->DatagramKey);
    // One use's MAC must never stand for the other's.
    EXPECT_NE(key->DatagramKey, key->ChannelKey);
    EXPECT_EQ(Failure([] { MakeLanKeyMaterial(std::string(15, 'k')); }),
              "a LAN key needs at least 16 bytes; this one has 15");
    EXPECT_EQ(Failure([] { MakeLanKeyMaterial(std::string(4097, 'k')); }),
              "a LAN key has at most 4096 bytes; this one has 4097");
    EXPECT_NO_THROW(MakeLanKeyMaterial(std::string(16, 'k')));
    EXPECT_NO_THROW(MakeLanKeyMaterial(std::string(4096, 'k')));
}

TEST(UntrustedRegistry, CountsPerAddressKeepsTheNameAndForgetsOnANewKey) {
    ForgetUntrustedPeers();
    std::vector<std::string> lines;
    const TScopedEventSink sink(
        [&lines](TEventLevel, const std::string& text) { lines.push_back(text); });
    const std::uint32_t evil = htonl(0x0A4D0009); // 10.77.0.9
    NoteUntrusted(nullptr, evil, "EVIL", TTrustFailure::BadMac, true);
    NoteUntrusted(nullptr, evil, "", TTrustFailure::FailedHandshake,
                  false); // claims no name, erases none
    // Said once per sender, not per datagram.
    EXPECT_EQ(lines, std::vector<std::string>{"not trusting EVIL at 10.77.0.9: another LAN key or "
                                              "a forged MAC; its datagrams are dropped"});
    // The others come a millisecond later at least: the evil one is heard of longest ago.
    const std::int64_t evilMs = UntrustedPeers().at(0).LastUnixMs;
    for (int spin = 0; spin < 1'000'000 && UntrustedPeers().front().LastUnixMs <= evilMs; ++spin)
        NoteUntrusted(nullptr, htonl(0x0A000000), "FLOOD", TTrustFailure::NoMac, true);
    for (std::uint32_t i = 0; i < 255; ++i)
        NoteUntrusted(nullptr, htonl(0x0A000000 + i), "FLOOD", TTrustFailure::NoMac, true);
    auto peers = UntrustedPeers();
    ASSERT_EQ(peers.size(), 256u);
    const auto found = std::find_if(peers.begin(), peers.end(),
                                    [](const auto& peer) { return peer.Address == "10.77.0.9"; });
    ASSERT_NE(found, peers.end());
    EXPECT_EQ(found->Name, "EVIL");
    EXPECT_EQ(found->DatagramsDropped, 1u);
    EXPECT_EQ(found->ConnectionsRefused, 1u);
    EXPECT_EQ(found->LastFailure, TTrustFailure::FailedHandshake);
    // One more: the one heard of longest ago makes room.
    NoteUntrusted(nullptr, htonl(0x0A0000FF), "FLOOD", TTrustFailure::NoMac, true);
    peers = UntrustedPeers();
    EXPECT_EQ(peers.size(), 256u);
    EXPECT_TRUE(std::none_of(peers.begin(), peers.end(),
                             [](const auto& peer) { return peer.Address == "10.77.0.9"; }));
    const std::uint64_t generation = LanKeyGeneration();
    SetCurrentLanKey(MakeLanKeyMaterial(kSecret));
    SetCurrentLanKey(nullptr);
    EXPECT_EQ(LanKeyGeneration(), generation + 2);
    EXPECT_TRUE(UntrustedPeers().empty());
}


TEST(UntrustedRegistry, AJudgementUnderAKeyNoLongerInUseIsNotCounted) {
    const auto old = MakeLanKeyMaterial(kSecret);
    const auto current = MakeLanKeyMaterial(kSecret + "!");
    SetCurrentLanKey(current);
    // A thread that read the old key before the change reports after it.
    NoteUntrusted(old.get(), htonl(0x0A4D0009), "EVIL", TTrustFailure::NoMac, true);
    EXPECT_TRUE(UntrustedPeers().empty());
    NoteUntrusted(current.get(), htonl(0x0A4D0009), "EVIL", TTrustFailure::NoMac, true);
    EXPECT_EQ(UntrustedPeers().size(), 1u);
    SetCurrentLanKey(nullptr);
}
} // namespace
} // namespace harbolt
