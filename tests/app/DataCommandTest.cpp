#include "app/DataCommand.h"
#include "../database/Golden.h"
#include "database/Database.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace harbolt {
namespace {

namespace fs = std::filesystem;

class DataCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/harbolt-datacmd-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        Dir = pattern;
        File = (Dir / "Harbolt.DAT").string();
    }
    void TearDown() override { fs::remove_all(Dir); }
    void Write(const fs::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    int Run(std::vector<std::string> args) {
        Out.str("");
        Err.str("");
        return RunDataCommand(args, Out, Err);
    }
    fs::path Dir;
    std::string File;
    std::ostringstream Out;
    std::ostringstream Err;
};

TEST_F(DataCommandTest, JsonDumpOfTheKnownPc1File) {
    Write(File, test::Pc1DataFile());
    ASSERT_EQ(Run({"dump", "--json", File}), 0) << Err.str();
    const auto doc = nlohmann::json::parse(Out.str());
    EXPECT_EQ(doc["file"], File);
    EXPECT_EQ(doc["source"], "data");
    ASSERT_EQ(doc["computers"].size(), 1u);
    const auto& pc1 = doc["computers"][0];
    EXPECT_EQ(pc1["name"], "PC1");
    EXPECT_EQ(pc1["own"], true);
    EXPECT_EQ(pc1["lastUpdate"], "1980-01-01 00:00:00.000");
    EXPECT_EQ(pc1["properties"], nlohmann::json({{"ProxyEnabled", "yes"}}));
    EXPECT_EQ(pc1["journal"]["start"], 0);
    EXPECT_EQ(pc1["journal"]["end"], 1);
    EXPECT_EQ(pc1["journal"]["complete"], false);
    EXPECT_EQ(pc1["journal"]["entries"], nlohmann::json::parse(R"([["ProxyEnabled","yes"]])"));
    // Keys come in the documented order.
    EXPECT_EQ(Out.str().find("\"file\""), Out.str().find('"'));
}

TEST_F(DataCommandTest, DumpConvertsTextsToUtf8AndReportsTheBackup) {
    {
        OwnComputerName = "Box";
        TDatabase db;
        db.FindComputer("Box").SetProperty("DF\xDC-Verbindungen", "Stra\xDF"
                                                                  "e \x80");
        db.FindComputer("Peer");
        db.SaveToFile(File);
        OwnComputerName = "unknown";
    }
    fs::rename(File, Dir / "Harbolt.BAK");
    ASSERT_EQ(Run({"dump", "--json", File}), 0) << Err.str();
    const auto doc = nlohmann::json::parse(Out.str());
    EXPECT_EQ(doc["source"], "backup");
    ASSERT_EQ(doc["computers"].size(), 1u);
    EXPECT_EQ(doc["computers"][0]["properties"]["DFÜ-Verbindungen"], "Straße €");

    ASSERT_EQ(Run({"dump", File}), 0);
    EXPECT_NE(Out.str().find("DFÜ-Verbindungen=Straße €"), std::string::npos) << Out.str();
    EXPECT_NE(Out.str().find("backup"), std::string::npos);
}

TEST_F(DataCommandTest, MissingFilesAreAnErrorNamingTheFile) {
    EXPECT_EQ(Run({"dump", File}), 1);
    EXPECT_NE(Err.str().find(File), std::string::npos) << Err.str();
    EXPECT_EQ(Out.str(), "");
    EXPECT_EQ(Run({"check", File}), 1);
    EXPECT_NE(Err.str().find(File), std::string::npos);

    // A corrupt data file without a backup: both reasons are given.
    Write(File, "corrupt");
    EXPECT_EQ(Run({"dump", "--json", File}), 1);
    EXPECT_NE(Err.str().find("bad ID in DataBase"), std::string::npos) << Err.str();
    EXPECT_NE(Err.str().find("Harbolt.BAK"), std::string::npos) << Err.str();
}

TEST_F(DataCommandTest, CheckIsStrictAndNamesTheFormatError) {
    Write(File, test::Pc1DataFile());
    EXPECT_EQ(Run({"check", File}), 0) << Err.str();

    std::string bad = test::Pc1DataFile();
    bad[4] = 2;
    Write(File, bad);
    Write(Dir / "Harbolt.BAK", test::Pc1DataFile()); // check never falls back
    EXPECT_EQ(Run({"check", File}), 1);
    EXPECT_NE(Err.str().find("bad Version in DataBase"), std::string::npos) << Err.str();

    // Cut inside the value of a dial-up record of a computer other than the first.
    std::string two;
    {
        TDatabase source;
        source.FindComputer("BETA").SetProperty("$2024-05-06/07:08.09", "DSL online 60");
        source.FindComputer("PC1").SetProperty("ProxyEnabled", "yes");
        TMemoryStream stream;
        source.SaveToStream(stream);
        two = stream.Data();
    }
    const std::size_t value = two.find("DSL online") - 4;
    Write(File, two.substr(0, value + 7));
    EXPECT_EQ(Run({"check", File}), 1);
    EXPECT_EQ(Err.str(), File + ": damaged at offset " + std::to_string(value) +
                             " (computer \"BETA\", dial-up records): stream read error (text "
                             "length 13, 3 bytes left)\n");
}

TEST_F(DataCommandTest, BadUsageIsRefused) {
    EXPECT_EQ(Run({}), 2);
    EXPECT_EQ(Run({"dump"}), 2);
    EXPECT_EQ(Run({"dump", "--xml", File}), 2);
    EXPECT_EQ(Run({"check"}), 2);
    EXPECT_EQ(Run({"frobnicate", File}), 2);
    EXPECT_NE(Err.str().find("usage"), std::string::npos);
}

TEST(HarboltBinary, HelpAndVersionTellTheTruth) {
    const std::string binary = HARBOLT_BINARY;
    EXPECT_EQ(std::system((binary + " --help > /dev/null").c_str()), 0);
    EXPECT_EQ(std::system((binary + " --version > /dev/null").c_str()), 0);
    EXPECT_NE(std::system((binary + " --no-such-option 2> /dev/null").c_str()), 0);
    EXPECT_NE(std::system((binary + " data dump /nonexistent/Harbolt.DAT 2> /dev/null").c_str()),
              0);
}

// What a command prints on its standard output (and error, with 2>&1 in it), and its status.
std::string Output(const std::string& command, int& status) {
    std::string text;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return text;
    }
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, n);
    status = ::pclose(pipe);
    return text;
}

TEST(HarboltBinary, OnlyTheDesktopProgramLoadsTheWindowToolkit) {
    int status = 0;
    const std::string headless =
        Output(std::string("LD_TRACE_LOADED_OBJECTS=1 ") + HARBOLT_BINARY + " 2>&1", status);
    EXPECT_EQ(status, 0) << headless;
    EXPECT_NE(headless.find("libQt6Core"), std::string::npos) << headless;
    EXPECT_EQ(headless.find("libQt6Widgets"), std::string::npos) << headless;
    EXPECT_EQ(headless.find("libQt6Gui"), std::string::npos) << headless;
#ifdef HARBOLT_DESKTOP_BINARY // not in a build without the windows
    const std::string desktop = Output(
        std::string("LD_TRACE_LOADED_OBJECTS=1 ") + HARBOLT_DESKTOP_BINARY + " 2>&1", status);
    EXPECT_EQ(status, 0) << desktop;
    EXPECT_NE(desktop.find("libQt6Widgets"), std::string::npos) << desktop;
#endif

    // With a display and no desktop program beside it, the run fails and says which is missing.
    const fs::path directory =
        fs::temp_directory_path() / ("harbolt-alone-" + std::to_string(::getpid()));
    fs::create_directories(directory);
    struct TRemove {
        fs::path Path;
        ~TRemove() {
            std::error_code ignored;
            fs::remove_all(Path, ignored);
        }
    } remove{directory};
    const fs::path alone = directory / "harbolt";
    std::error_code linkError;
    fs::create_hard_link(HARBOLT_BINARY, alone, linkError);
    if (linkError)
        fs::copy_file(HARBOLT_BINARY, alone);
    const std::string refused = Output("DISPLAY=:99 " + alone.string() + " --data-dir " +
                                           (directory / "data").string() + " 2>&1",
                                       status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << refused;
    EXPECT_NE(refused.find((directory / "harbolt-desktop").string()), std::string::npos) << refused;
    EXPECT_NE(refused.find("--headless"), std::string::npos) << refused;
    EXPECT_FALSE(fs::exists(directory / "data")) << "nothing was started";
}

} // namespace
} // namespace harbolt
