#include <gtest/gtest.h>

#include "app/consistency.h"
#include "app/process_exit.h"
#include "app/recording_dialogs.h"
#include "app/system_error.h"
#include "platform/last_error.h"

namespace relicta::app {
namespace {

class ConsistencyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetConsistencyFailures();
        SetExitHook([](int status) { throw ProcessExit{status}; });
    }
    void TearDown() override { SetExitHook(nullptr); }

    RecordingDialogs dialogs;
    ScopedDialogs installed{dialogs};
};

TEST_F(ConsistencyTest, MessageJoinsModuleLineAndTextExactly) {
    struct Case {
        const char* module;
        int line;
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"RawIO", 886, "(FatIndex) >= 2",
         "Internal Program consistency check failed.\nIn RawIO at 886: (FatIndex) >= 2\n"
         "Abort the program, or Ignore and continue?"},
        {"ntfs", 7, R"(strncmp((char *)mftptr->MultiSectorHeader.Signature,"FILE",4)==0)",
         "Internal Program consistency check failed.\nIn ntfs at 7: "
         R"(strncmp((char *)mftptr->MultiSectorHeader.Signature,"FILE",4)==0)"
         "\nAbort the program, or Ignore and continue?"},
        {"salvexDoc", 12345, R"(path\with\backslashes)",
         "Internal Program consistency check failed.\nIn salvexDoc at 12345: "
         "path\\with\\backslashes\n"
         "Abort the program, or Ignore and continue?"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ConsistencyMessage(c.module, c.line, c.text), c.expected);
    }
}

TEST_F(ConsistencyTest, ReportIsAWarningWithAbortRetryIgnore) {
    dialogs.answers = {MbResult::Ignore};
    EXPECT_EQ(ReportConsistencyFailure("RawIO", 10, "x"), 0);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    const MessageBoxRequest& box = dialogs.shown[0];
    EXPECT_EQ(box.caption, "Application Internal Error");
    EXPECT_EQ(box.buttons, MbButtons::AbortRetryIgnore);
    EXPECT_EQ(box.icon, MbIcon::Warning);
    EXPECT_EQ(box.owner, MbOwner::None);
    EXPECT_TRUE(box.foreground);
    EXPECT_TRUE(box.taskModal);
}

TEST_F(ConsistencyTest, AnswersMapToAbortOrContinue) {
    const std::pair<MbResult, int> cases[] = {
        {MbResult::Abort, 1},  {MbResult::Retry, 0}, {MbResult::Ignore, 0},
        {MbResult::Cancel, 1}, {MbResult::No, 1},
    };
    for (const auto& [answer, expected] : cases) {
        dialogs.answers = {answer};
        EXPECT_EQ(ReportConsistencyFailure("m", 1, "t"), expected) << static_cast<int>(answer);
    }
}

TEST_F(ConsistencyTest, MacroReportsItsOwnTextAndGoesOnAfterIgnore) {
    const int a = 1;
    dialogs.answers = {MbResult::Ignore};
    EXPECT_FALSE(CONSISTENCY_CHECK(a > 2));
    EXPECT_TRUE(CONSISTENCY_CHECK(a == 1));
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_NE(dialogs.shown[0].text.find("In test at "), std::string::npos);
    EXPECT_NE(dialogs.shown[0].text.find(": a > 2\n"), std::string::npos);
    EXPECT_EQ(IgnoredConsistencyFailures(), 1);
}

TEST_F(ConsistencyTest, TextFormReportsTheGivenSentence) {
    EXPECT_FALSE(CONSISTENCY_CHECK_TEXT(false, "Run length less than zero!"));
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_NE(dialogs.shown[0].text.find(": Run length less than zero!\n"), std::string::npos);
}

TEST_F(ConsistencyTest, LineNumberIsPlainDecimal) {
    const int line = __LINE__ + 1;
    CONSISTENCY_CHECK(false);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_NE(dialogs.shown[0].text.find("In test at " + std::to_string(line) + ": false\n"),
              std::string::npos);
}

TEST_F(ConsistencyTest, AbortExitsWithStatusOne) {
    dialogs.answers = {MbResult::Abort};
    try {
        CONSISTENCY_CHECK(1 == 2);
        FAIL() << "Abort must end the process";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status, 1);
    }
    EXPECT_EQ(IgnoredConsistencyFailures(), 0);
}

TEST_F(ConsistencyTest, SystemErrorShowsNothingWithoutAnError) {
    platform::SetLastError(0);
    EXPECT_EQ(ShowSystemError(), 0);
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(ConsistencyTest, SystemErrorShowsTheSystemTextOrUnknown) {
    const std::pair<int, std::string> cases[] = {
        {EACCES, platform::SystemErrorText(EACCES)},
        {EIO, platform::SystemErrorText(EIO)},
        {9999, "Unknown System Error"},
    };
    for (const auto& [code, text] : cases) {
        dialogs.shown.clear();
        platform::SetLastError(code);
        EXPECT_NE(ShowSystemError(), 0);
        ASSERT_EQ(dialogs.shown.size(), 1u);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(dialogs.shown[0].text, text);
        EXPECT_EQ(dialogs.shown[0].caption, "System Error");
        EXPECT_EQ(dialogs.shown[0].buttons, MbButtons::Ok);
    }
}

TEST_F(ConsistencyTest, PermissionErrorsCountAsAccessDenied) {
    platform::SetLastError(EPERM);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
}

}  // namespace
}  // namespace relicta::app
