// The value prompt both window faces open on a right click: one parser for
// typed numbers and one state machine with one commit rule. The faces do only
// the platform's part (make, show and close the text field or list, read what
// the user typed or chose) and ask this for everything else.
//
//   open ----> Focused <----> Idle ---(the editor drew)---> Refresh
//                 |  Enter / a choice in the list: Commit   (the face shows
//                 |  Escape / a right press:       Cancel    Shown() again)
//   on the face's next tick: Commit commits and closes, Cancel closes.
//
// A commit changes the parameter only when the text (or the chosen entry)
// differs from what the prompt showed and reads as a value: Enter on the text
// as shown keeps the value exactly as it was, whatever the display rounds it
// to; nonsense, an empty text and a list with nothing chosen keep it too.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class Control;
class EffectBase;
class Param;

// What the value prompt does next.
enum PromptState : int {
    PromptIdle = 0,    // open, nothing pending
    PromptFocused = 1, // has the keyboard: the editor window holds still
    PromptRefresh = 2, // shows the parameter's text again on the next tick
    PromptCancel = 3,  // closes on the next tick
    PromptCommit = 4,  // sets the value, then closes, on the next tick
};

// A number typed into the prompt, read the same in every locale: leading
// blanks (spaces, tabs), an optional sign, digits with a point or a comma
// before the decimals, an optional exponent, then any text (a unit). False for
// anything else (no digits, two signs, a leading line break, nan, inf, a
// number beyond the double range) and for null.
bool ParsePromptNumber(const char* text, double& value);

class ValuePrompt {
public:
    // The longest text the prompt takes, in characters; longer text is cut there.
    static constexpr size_t kMaxText = 31;

    // What the face does on its tick.
    enum Action {
        kNothing,        // leave the prompt as it is
        kShowText,       // show Shown() again (the value may have changed)
        kCommitAndClose, // Commit(what the user typed or chose), then close
        kClose,          // close without a commit
    };

    // Starts editing param for control: Shown() takes the parameter's text,
    // Entries() its value texts (empty: a text field). The state starts as given
    // (a face whose widget takes the focus by a message of its own starts Idle).
    void Open(Control* control, Param* param, int state = PromptFocused);
    void Close();
    bool IsOpen() const { return mControl && mParam; }
    Control* GetControl() const { return mControl; }
    Param* GetParam() const { return mParam; }
    int State() const { return mState; }
    bool IsList() const { return !mEntries.empty(); }
    const std::string& Shown() const { return mShown; }
    const std::vector<std::string>& Entries() const { return mEntries; }
    // The entry that Shown() names; -1 when none does.
    int ShownEntry() const;

    // --- events from the face
    void Enter();       // Enter, or a choice in the list
    void Cancel();      // Escape, a right press, a press outside
    void FocusGained(); // the widget took the keyboard
    void FocusLost();   // the widget lost it (a pending commit or cancel stays)
    void EditorDrew();  // the editor drew: the value shown may be old
    // The face's tick: the action due now. kShowText has already refreshed Shown().
    Action Tick();

    // Commits text (a typed text, or the chosen entry's text; "" for none)
    // through the control, as one user gesture of the plug-in's. False when the
    // value stays as it was (see the rule above); the prompt stays open.
    bool Commit(const char* text);
    // The normalized value text stands for; false when nothing is to change.
    bool ValueOf(const char* text, double& normalized) const;

private:
    Control* mControl = nullptr;
    Param* mParam = nullptr;
    int mState = PromptIdle;
    std::string mShown;
    std::vector<std::string> mEntries;
};
