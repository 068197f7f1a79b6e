#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/console_dialogs.h"

namespace relicta::app {
namespace {

// Runs one box through console dialogs with `input` typed at the terminal.
struct Console {
    std::string output;
    MbResult answer;
};

Console RunBox(const MessageBoxRequest& request, CheckPolicy policy, bool interactive,
               const std::string& input = "") {
    FILE* in = ::fmemopen(const_cast<char*>(input.data()), input.size() + 1, "r");
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* out = ::open_memstream(&buffer, &size);
    ConsoleDialogs dialogs(policy, in, out, interactive);
    Console result;
    result.answer = dialogs.Show(request);
    std::fclose(out);
    result.output.assign(buffer, size);
    std::free(buffer);
    std::fclose(in);
    return result;
}

MessageBoxRequest Box(MbButtons buttons, std::string text = "text",
                      std::string caption = "Caption") {
    MessageBoxRequest r;
    r.text = std::move(text);
    r.caption = std::move(caption);
    r.buttons = buttons;
    return r;
}

TEST(ConsoleDialogs, PrintsCaptionColonTextWithoutCarriageReturns) {
    const Console c =
        RunBox(Box(MbButtons::Ok, "line one\r\nline two", "Error"), CheckPolicy::Ignore, false);
    EXPECT_EQ(c.output, "Error: line one\nline two\n");
    EXPECT_EQ(c.answer, MbResult::Ok);
}

TEST(ConsoleDialogs, UnattendedAnswersFollowThePolicyAndNeverRepeatAQuestion) {
    struct Case {
        MbButtons buttons;
        CheckPolicy policy;
        MbResult expected;
    };
    const Case cases[] = {
        {MbButtons::AbortRetryIgnore, CheckPolicy::Ignore, MbResult::Ignore},
        {MbButtons::AbortRetryIgnore, CheckPolicy::Abort, MbResult::Abort},
        {MbButtons::AbortRetryIgnore, CheckPolicy::Ask, MbResult::Ignore},
        {MbButtons::OkCancel, CheckPolicy::Ignore, MbResult::Cancel},
        {MbButtons::YesNoCancel, CheckPolicy::Abort, MbResult::Cancel},
        {MbButtons::Ok, CheckPolicy::Abort, MbResult::Ok},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RunBox(Box(c.buttons), c.policy, false).answer, c.expected);
    }
}

TEST(ConsoleDialogs, AsksOnATerminal) {
    struct Case {
        MbButtons buttons;
        CheckPolicy policy;
        std::string input;
        MbResult expected;
    };
    const Case cases[] = {
        {MbButtons::AbortRetryIgnore, CheckPolicy::Ask, "r\n", MbResult::Retry},
        {MbButtons::AbortRetryIgnore, CheckPolicy::Ask, "x\nI\n", MbResult::Ignore},
        {MbButtons::AbortRetryIgnore, CheckPolicy::Ask, "", MbResult::Abort},       // end of input
        {MbButtons::AbortRetryIgnore, CheckPolicy::Abort, "i\n", MbResult::Abort},  // policy wins
        {MbButtons::OkCancel, CheckPolicy::Ignore, "o\n", MbResult::Ok},
        {MbButtons::YesNoCancel, CheckPolicy::Ignore, "n\n", MbResult::No},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RunBox(Box(c.buttons), c.policy, true, c.input).answer, c.expected) << c.input;
    }
}

}  // namespace
}  // namespace relicta::app
