// The value prompt's shared parts without a window: the parser, the state
// machine and the commit rule (unchanged text, no choice and nonsense commit
// nothing; a commit is one gesture for the host).
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "editor/value_prompt.h"
#include "tests/editor/editor_test_support.h"

namespace {

TEST(ValuePromptParser, ReadsNumbersWithTheOneRuleOfBothFaces) {
    const struct {
        const char* text;
        bool ok;
        double value;
    } cases[] = {
        {"2.5", true, 2.5},   {"2,5", true, 2.5},    {" \t-3", true, -3.0},
        {"+4", true, 4.0},    {"7 dB", true, 7.0},   {"1,5e2 Hz", true, 150.0},
        {"-.5", true, -0.5},  {"5.", true, 5.0},     {"1e", true, 1.0},
        {"1e+", true, 1.0},   {"2E-1", true, 0.2},   {"+-5", false, 0.0},
        {"-+5", false, 0.0},  {"\n5", false, 0.0},   {"\r\n5", false, 0.0},
        {"", false, 0.0},     {" ", false, 0.0},     {"-", false, 0.0},
        {".", false, 0.0},    {"nan", false, 0.0},   {"inf", false, 0.0},
        {"-inf", false, 0.0}, {"1e999", false, 0.0}, {"dB 5", false, 0.0},
        {"  -3", true, -3.0}, {"1,5", true, 1.5},    {"1e3", true, 1000.0},
    };
    for (const auto& c : cases) {
        double v = -99.0;
        EXPECT_EQ(ParsePromptNumber(c.text, v), c.ok) << "\"" << c.text << "\"";
        EXPECT_EQ(v, c.ok ? c.value : -99.0) << "\"" << c.text << "\"";
    }
    double v = 0.0;
    EXPECT_FALSE(ParsePromptNumber(nullptr, v));
}

TEST(ValuePromptParser, ADecimalCommaLocaleChangesNothing) {
    // The C library reads "2.5" as 2 under such a locale; the prompt does not.
    bool german = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE", "German", "de-DE"})
        if (std::setlocale(LC_ALL, name)) {
            german = true;
            break;
        }
    double value = 0.0;
    EXPECT_TRUE(ParsePromptNumber("2.5", value));
    EXPECT_EQ(value, 2.5);
    EXPECT_TRUE(ParsePromptNumber("2,5", value));
    EXPECT_EQ(value, 2.5);
    std::setlocale(LC_ALL, "C");
    if (!german) std::printf("(no German locale here; parsed in the C locale only)\n");
}

TEST(ValuePromptMachine, EventsLeadToTheActionsOfTheTick) {
    EditorPlug plug;
    PlainControl control(&plug, 0);
    // Each row: events in order, then the state and the tick's action.
    enum Event { Enter, Cancel, Gain, Lose, Drew };
    const struct {
        int start;
        std::vector<Event> events;
        int state;
        ValuePrompt::Action action;
    } cases[] = {
        {PromptFocused, {}, PromptFocused, ValuePrompt::kNothing},
        {PromptFocused, {Enter}, PromptCommit, ValuePrompt::kCommitAndClose},
        {PromptFocused, {Enter, Lose}, PromptCommit, ValuePrompt::kCommitAndClose},
        {PromptFocused, {Enter, Gain}, PromptCommit, ValuePrompt::kCommitAndClose},
        {PromptFocused, {Cancel, Lose, Gain}, PromptCancel, ValuePrompt::kClose},
        {PromptFocused, {Drew}, PromptFocused, ValuePrompt::kNothing},
        {PromptFocused, {Lose, Drew}, PromptRefresh, ValuePrompt::kShowText},
        {PromptIdle, {Gain}, PromptFocused, ValuePrompt::kNothing},
        {PromptIdle, {Drew, Enter}, PromptCommit, ValuePrompt::kCommitAndClose},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const auto& c = cases[i];
        ValuePrompt prompt;
        prompt.Open(&control, plug.ParamAt(0), c.start);
        for (Event e : c.events) {
            if (e == Enter) prompt.Enter();
            if (e == Cancel) prompt.Cancel();
            if (e == Gain) prompt.FocusGained();
            if (e == Lose) prompt.FocusLost();
            if (e == Drew) prompt.EditorDrew();
        }
        EXPECT_EQ(prompt.State(), c.state) << "row " << i;
        EXPECT_EQ(prompt.Tick(), c.action) << "row " << i;
    }
    // Closed, nothing happens.
    ValuePrompt closed;
    closed.Enter();
    EXPECT_EQ(closed.Tick(), ValuePrompt::kNothing);
    EXPECT_FALSE(closed.Commit("5"));
}

TEST(ValuePromptCommit, OnlyAChangedReadableTextOrAnotherEntryCommits) {
    EditorPlug plug;
    plug.ParamAt(2)->DefineSwitch("gate", false);
    PlainControl number(&plug, 0), gate(&plug, 2);
    plug.HostParamChange(0, plug.ParamAt(0)->NormalizedOf(8.73519));
    number.ReceiveValue(plug.ParamAt(0)->Normalized());
    const double before = plug.ParamAt(0)->Value();

    ValuePrompt prompt;
    prompt.Open(&number, plug.ParamAt(0));
    EXPECT_FALSE(prompt.IsList());
    const std::string shown = prompt.Shown();
    for (const char* text : {shown.c_str(), "", "+-5", "nonsense"}) {
        plug.ClearNotes();
        EXPECT_FALSE(prompt.Commit(text)) << "\"" << text << "\"";
        EXPECT_EQ(plug.ParamAt(0)->Value(), before) << "\"" << text << "\"";
        EXPECT_TRUE(plug.Notes().empty());
    }
    plug.ClearNotes();
    EXPECT_TRUE(prompt.Commit("-1,5"));
    EXPECT_DOUBLE_EQ(plug.ParamAt(0)->Value(), -1.5);
    const std::vector<std::string> notes = plug.Notes();
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_EQ(notes.front(), "begin 0");
    EXPECT_EQ(notes.back(), "end 0");

    ValuePrompt list;
    list.Open(&gate, plug.ParamAt(2));
    ASSERT_TRUE(list.IsList());
    EXPECT_EQ(list.Entries(), (std::vector<std::string>{"off", "on"}));
    EXPECT_EQ(list.ShownEntry(), 0);
    for (const char* text : {"", "off", "maybe"}) {
        plug.ClearNotes();
        EXPECT_FALSE(list.Commit(text)) << "\"" << text << "\"";
        EXPECT_EQ(plug.ParamAt(2)->Value(), 0.0);
        EXPECT_TRUE(plug.Notes().empty());
    }
    EXPECT_TRUE(list.Commit("on"));
    EXPECT_EQ(plug.ParamAt(2)->Value(), 1.0);
}

} // namespace
