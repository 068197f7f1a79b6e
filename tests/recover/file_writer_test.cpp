// Files written on the writer's thread: whole, in order, their outcomes told in order.

#include "recover/file_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace relicta::recover {
namespace {

namespace fs = std::filesystem;

std::string Contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::span<const uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

class FileWriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("relicta-writer-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    // A file begun in the test's folder, held open as a recovery holds its folders.
    void Begin(FileWriter& writer, const std::string& name, bool readOnly) const {
        writer.Begin(platform::OutputFolder::Open(dir_.string()), name, Path(name), readOnly);
    }

    fs::path dir_;
};

TEST_F(FileWriterTest, FilesAreWrittenWholeAndToldInOrder) {
    constexpr uint64_t kFileTime2000 = 125911584000000000;  // 2000-01-01 00:00 UTC
    struct Case {
        std::string name;
        std::vector<std::string> pieces;
        bool discard;
        bool readOnly;
    };
    const std::vector<Case> cases = {
        {"a.txt", {"hello ", "world"}, false, false},
        {"empty", {}, false, true},
        {"dropped", {"partial"}, true, false},
        {"big.bin", {std::string(40 << 20, 'x'), "end"}, false, false},  // past the queue's limit
    };
    std::vector<std::string> told;
    {
        FileWriter writer;
        for (const Case& c : cases) {
            Begin(writer, c.name, c.readOnly);
            EXPECT_TRUE(writer.IsPending(Path(c.name)));
            for (const std::string& piece : c.pieces) {
                writer.Write(Bytes(piece));
            }
            if (c.discard) {
                writer.Discard();
            } else {
                writer.SetLastWriteTime(kFileTime2000);
                writer.Close();
            }
            writer.Then([&told, name = c.name](const WriteOutcome* outcome) {
                ASSERT_NE(outcome, nullptr);
                EXPECT_EQ(outcome->createError + outcome->writeError + outcome->closeError, 0);
                told.push_back(name);
            });
        }
        writer.Then([&told](const WriteOutcome* outcome) {
            EXPECT_EQ(outcome, nullptr);  // no file begun since the last
            told.push_back("none");
        });
        writer.Settle();
        EXPECT_FALSE(writer.IsPending(Path("a.txt")));
    }
    EXPECT_EQ(told, (std::vector<std::string>{"a.txt", "empty", "dropped", "big.bin", "none"}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.discard) {
            EXPECT_FALSE(fs::exists(Path(c.name)));
            continue;
        }
        std::string whole;
        for (const std::string& piece : c.pieces) {
            whole += piece;
        }
        EXPECT_EQ(Contents(Path(c.name)), whole);
        struct stat st {};
        ASSERT_EQ(::stat(Path(c.name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, 946684800);
        EXPECT_EQ((st.st_mode & 0222) == 0, c.readOnly);
    }
}

TEST_F(FileWriterTest, FailuresComeBackWithTheirFile) {
    FileWriter writer;
    std::vector<int> errors;
    const auto note = [&errors](const WriteOutcome* outcome) {
        errors.push_back(outcome->createError != 0 ? outcome->createError : outcome->closeError);
    };
    Begin(writer, "missing/dir/file", false);  // no such directory
    writer.Write(Bytes("data"));
    writer.Close();
    writer.Then(note);
    std::ofstream(Path("taken")) << "old";
    Begin(writer, "taken", false);  // the name was taken before it could be linked in
    writer.Write(Bytes("new"));
    writer.Close();
    writer.Then(note);
    writer.Settle();
    EXPECT_EQ(errors, (std::vector<int>{ENOENT, EEXIST}));
    EXPECT_EQ(Contents(Path("taken")), "old");
}

}  // namespace
}  // namespace relicta::recover
