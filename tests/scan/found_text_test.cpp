#include "scan/found_text.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "scan/found_files.h"
#include "view/found_file_list.h"

namespace relicta::scan {
namespace {

// Lengths either side of where the kept length needs another byte, and past a chunk's share.
TEST(FoundTextTest, EveryLengthReadsBackAsItWasKept) {
    ClearFoundFiles();
    const std::vector<std::size_t> lengths = {0,     1,     127,   128,      129,
                                              16383, 16384, 65536, 1u << 20, (1u << 20) + 1};
    std::vector<std::pair<Text, std::string>> kept;
    for (std::size_t length : lengths) {
        std::string text(length, '\0');
        for (std::size_t i = 0; i < length; ++i) {
            text[i] = static_cast<char>('a' + (i * 7 + length) % 26);
        }
        kept.emplace_back(Text(text), text);
    }
    for (const auto& [text, expected] : kept) {
        EXPECT_EQ(text.View(), expected) << expected.size();
        EXPECT_EQ(text.size(), expected.size());
    }
}

TEST(FoundTextTest, AFolderIsKeptOnceAndForgottenWithTheTable) {
    ClearFoundFiles();
    const SharedText a("C:\\PHOTOS\\2024\\");
    const SharedText b(std::string("C:\\PHOTOS\\2024\\"));
    const SharedText other("C:\\PHOTOS\\2023\\");
    const Text copy("C:\\PHOTOS\\2024\\");
    EXPECT_EQ(a.Identity(), b.Identity());
    EXPECT_NE(a.Identity(), other.Identity());
    EXPECT_NE(a.Identity(), copy.Identity());  // a name is never merged with another
    EXPECT_EQ(a, copy);
    const uint64_t generation = TextPoolGeneration();
    ClearFoundFiles();
    EXPECT_NE(TextPoolGeneration(), generation);
    EXPECT_EQ(SharedText("C:\\PHOTOS\\2024\\").View(), "C:\\PHOTOS\\2024\\");
}

TEST(FoundTextTest, TheTableKeepsItsFilesWhereTheyWereAdded) {
    ClearFoundFiles();
    view::FoundFileList list;
    constexpr uint32_t kFiles = 10'000;  // several chunks
    const FoundFile* first = nullptr;
    for (uint32_t i = 0; i < kFiles; ++i) {
        AddFoundFile(list, "f" + std::to_string(i), "C:\\D" + std::to_string(i % 3) + "\\", i, 0, 0,
                     kGood, i);
        first = first != nullptr ? first : &foundFiles[0];
    }
    EXPECT_EQ(&foundFiles[0], first);
    ASSERT_EQ(foundFiles.size(), kFiles);
    EXPECT_EQ(foundFiles[kFiles - 1].name, "f9999");
    EXPECT_EQ(foundFiles[4096].dir.Identity(), foundFiles[1].dir.Identity());
    EXPECT_EQ(foundFiles.at(5).condition, kGood);
    EXPECT_THROW(foundFiles.at(kFiles), std::out_of_range);
    ClearFoundFiles();
}

}  // namespace
}  // namespace relicta::scan
