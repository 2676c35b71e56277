// What the frame tells its host of the user's work: the outbox's order and
// bounds, gestures (one begin and one end per parameter, values between,
// state changes once at the end), and delivery only with no lock of ours held.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "plug/host_outbox.h"
#include "tests/common/test_seed.h"
#include "tests/plug/note_effect.h"

namespace {

using Notes = std::vector<std::string>;

std::string Value(int index, double normalized) {
    char text[64];
    std::snprintf(text, sizeof text, "value %d %.6f", index, normalized);
    return text;
}

TEST(HostOutbox, KeepsEveryNoteInOrderUntilFull) {
    HostOutbox box;
    const int n = HostOutbox::kCapacity;
    for (int i = 0; i < n; ++i)
        box.Post(HostNote{HostNoteKind::Automate, i % 4, double(i)});
    HostNote note;
    for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(box.Take(note)) << i;
        EXPECT_EQ(note.index, i % 4);
        EXPECT_EQ(note.value, double(i)) << i;
    }
    EXPECT_FALSE(box.Take(note));
    EXPECT_TRUE(box.Empty());
}

// The host reads the latency when it hears of a change: one note waiting
// tells it of every change since, wherever the others are, in a queue that
// waits for the audio road (Ardour) as in any other.
TEST(HostOutbox, ALatencyNoteWaitingTellsEveryChangeSince) {
    for (const bool folding : {false, true}) {
        HostOutbox box;
        auto post = [&](HostNote note) { folding ? box.PostFolding(note) : box.Post(note); };
        post(HostNote{HostNoteKind::LatencyChanged, -1, 480.0});
        post(HostNote{HostNoteKind::Automate, 2, 0.5});
        post(HostNote{HostNoteKind::LatencyChanged, -1, 0.0});
        post(HostNote{HostNoteKind::LatencyChanged, -1, 441.0});
        HostNote note;
        ASSERT_TRUE(box.Take(note)) << folding;
        EXPECT_EQ(note.kind, HostNoteKind::LatencyChanged) << folding;
        EXPECT_EQ(note.value, 441.0) << folding;
        ASSERT_TRUE(box.Take(note)) << folding;
        EXPECT_EQ(note.kind, HostNoteKind::Automate) << folding;
        EXPECT_FALSE(box.Take(note)) << folding;
        // Once taken, the next change is a note of its own.
        post(HostNote{HostNoteKind::LatencyChanged, -1, 480.0});
        EXPECT_TRUE(box.Take(note)) << folding;
        EXPECT_EQ(box.Dropped(), 0) << folding;
    }
}

TEST(HostOutbox, AValueReplacesOnlyTheNewestNoteWhenThatIsAValueOfItsParameter) {
    struct Case {
        const char* name;
        HostNote newest; // queued before the posted value of parameter 2
        size_t queued;   // notes queued after posting
    };
    const Case cases[] = {
        {"its own value", {HostNoteKind::Automate, 2, 0.1}, 1},
        {"another parameter's value", {HostNoteKind::Automate, 3, 0.1}, 2},
        {"its begin edit", {HostNoteKind::BeginEdit, 2, 0.0}, 2},
        {"its end edit", {HostNoteKind::EndEdit, 2, 0.0}, 2},
        {"a state change", {HostNoteKind::StateChanged, -1, 0.0}, 2},
    };
    for (const Case& c : cases) {
        HostOutbox box;
        box.Post(c.newest);
        box.PostFolding(HostNote{HostNoteKind::Automate, 2, 0.9});
        std::vector<HostNote> taken;
        HostNote note;
        while (box.Take(note))
            taken.push_back(note);
        ASSERT_EQ(taken.size(), c.queued) << c.name;
        EXPECT_EQ(taken.back().kind, HostNoteKind::Automate) << c.name;
        EXPECT_EQ(taken.back().index, 2) << c.name;
        EXPECT_EQ(taken.back().value, 0.9) << c.name;
    }
    // An empty box simply takes the value.
    HostOutbox empty;
    empty.PostFolding(HostNote{HostNoteKind::Automate, 0, 0.5});
    EXPECT_FALSE(empty.Empty());
}

// A reader that does not come for a long while (a queue that waits for the
// audio road, or a delivering thread the scheduler put aside): the queue folds
// instead of dropping, and what the host finally hears is well formed, leaves
// every parameter held or let go as the gestures left it, at the last value
// posted.
TEST(HostOutbox, AQueueThatWaitsFoldsToWhatTheHostMustHearAndDropsNothing) {
    std::mt19937 random(TestSeed(20261209u));
    for (int round = 0; round < 120; ++round) {
        HostOutbox box;
        const bool folding = round % 2 == 1;
        auto post = [&](HostNote note) { folding ? box.PostFolding(note) : box.Post(note); };
        // The host holds parameter 0 from a begin told before the wait.
        std::map<int, bool> held{{0, true}};
        std::map<int, double> last;
        int states = 0;
        const int posts = 100 + int(random() % 3000);
        for (int k = 0; k < posts; ++k) {
            const int p = int(random() % 6);
            if (random() % 40 == 0) {
                post(HostNote{HostNoteKind::StateChanged, -1, 0.0});
                ++states;
            } else if (!held[p]) {
                post(HostNote{HostNoteKind::BeginEdit, p, 0.0});
                held[p] = true;
            } else if (random() % 3 == 0) {
                post(HostNote{HostNoteKind::EndEdit, p, 0.0});
                held[p] = false;
            } else {
                last[p] = double(k);
                post(HostNote{HostNoteKind::Automate, p, double(k)});
            }
        }
        EXPECT_EQ(box.Dropped(), 0) << "round " << round;
        std::map<int, bool> heard{{0, true}};
        std::map<int, double> heardLast;
        int heardStates = 0;
        HostNote note;
        while (box.Take(note)) {
            const int p = note.index;
            switch (note.kind) {
            case HostNoteKind::BeginEdit:
                ASSERT_FALSE(heard[p]) << "round " << round << ": second begin " << p;
                heard[p] = true;
                break;
            case HostNoteKind::EndEdit:
                ASSERT_TRUE(heard[p]) << "round " << round << ": end without begin " << p;
                heard[p] = false;
                break;
            case HostNoteKind::Automate:
                ASSERT_TRUE(heard[p]) << "round " << round << ": loose value " << p;
                heardLast[p] = note.value;
                break;
            default:
                ++heardStates;
            }
        }
        for (int p = 0; p < 6; ++p)
            EXPECT_EQ(heard[p], held[p]) << "round " << round << ", parameter " << p;
        EXPECT_EQ(heardLast, last) << "round " << round;
        EXPECT_EQ(heardStates > 0, states > 0) << "round " << round;
    }
}

TEST(HostNotes, AChangeOutsideAGestureIsAGestureOfItsOwnWithTheValueTaken) {
    NoteEffect fx;
    fx.ConnectAll();
    // Out of range requests are clamped; the host hears what the parameter took.
    const struct { double asked, taken; } cases[] = {{0.25, 0.25}, {1.5, 1.0}, {-3.0, 0.0}};
    for (const auto& c : cases) {
        fx.ClearNotes();
        fx.EditorParamChange(2, c.asked);
        EXPECT_EQ(fx.Notes(), (Notes{"begin 2", Value(2, c.taken), "end 2"})) << c.asked;
    }
    fx.ClearNotes();
    fx.EditorParamChange(99, 0.5); // no such parameter: nothing
    fx.EditorParamChange(-1, 0.5);
    EXPECT_TRUE(fx.Notes().empty());
}

TEST(HostNotes, AGestureHoldsEachParameterOnceAndTellsAStateChangeOnceAtTheEnd) {
    NoteEffect fx;
    fx.ConnectAll();
    fx.BeginGesture();
    fx.BeginGesture(); // nested: still one gesture
    fx.EditorParamChange(1, 0.5);
    fx.StateChanged();
    fx.EditorParamChange(1, 0.75);
    fx.EditorParamChange(3, 0.125);
    fx.StateChanged();
    EXPECT_EQ(fx.Notes(),
              (Notes{"begin 1", Value(1, 0.5), Value(1, 0.75), "begin 3", Value(3, 0.125)}));
    fx.EndGesture();
    fx.EndGesture(); // none open: nothing
    EXPECT_EQ(fx.Notes(), (Notes{"begin 1", Value(1, 0.5), Value(1, 0.75), "begin 3",
                                 Value(3, 0.125), "end 1", "end 3", "state"}));
    fx.ClearNotes();
    // Without a gesture a state change is told at once.
    fx.StateChanged();
    EXPECT_EQ(fx.Notes(), (Notes{"state"}));
}

TEST(HostNotes, NothingReachesTheHostWhileTheLockOrAHoldIsHeld) {
    NoteEffect fx;
    fx.ConnectAll();
    {
        ScopedLock hold(fx.FrameLock());
        fx.EditorParamChange(0, 0.5);
        fx.StateChanged();
        fx.DeliverHostNotes();
        EXPECT_TRUE(fx.Notes().empty()) << "delivered under the plug-in's lock";
    }
    fx.DeliverHostNotes();
    EXPECT_EQ(fx.Notes(), (Notes{"begin 0", Value(0, 0.5), "end 0", "state"}));
    fx.ClearNotes();
    {
        ScopedNoteHold outer(&fx);
        {
            ScopedNoteHold inner(&fx);
            fx.EditorParamChange(1, 0.5);
        }
        EXPECT_TRUE(fx.Notes().empty()) << "delivered while a hold was active";
    }
    EXPECT_EQ(fx.Notes(), (Notes{"begin 1", Value(1, 0.5), "end 1"})) << "the last release";
    EXPECT_EQ(fx.DeliveredUnderLock(), 0);
}

// A host that hears its notes only on its audio thread: nothing goes out
// from the editor's thread; the next processing call tells everything in
// order before it takes the lock, a drag's values between two blocks as the
// last of them. Switched off, the notes go out where they happen again.
TEST(HostNotes, NotesThatWaitForTheAudioRoadGoOutAtTheNextBlockInOrder) {
    NoteEffect fx;
    fx.ConnectAll(64);
    float silence[64] = {};
    float* channels[2] = {silence, silence};
    fx.SetNotesWaitForAudio(true);
    fx.BeginGesture();
    for (int step = 1; step <= 1000; ++step) // longer than the queue
        fx.EditorParamChange(1, step / 1000.0);
    fx.EditorParamChange(3, 0.25);
    fx.EditorParamChange(1, 0.5);
    fx.StateChanged();
    fx.EndGesture();
    fx.EditorParamChange(2, 0.75); // a gesture of its own
    fx.DeliverHostNotes();
    EXPECT_TRUE(fx.Notes().empty()) << "told from the editor's thread";
    fx.ProcessFloatReplacing(channels, channels, 64);
    EXPECT_EQ(fx.Notes(), (Notes{"begin 1", Value(1, 1.0), "begin 3", Value(3, 0.25), Value(1, 0.5),
                                 "end 1", "end 3", "state", "begin 2", Value(2, 0.75), "end 2"}));
    EXPECT_EQ(fx.DroppedHostNotes(), 0);
    EXPECT_EQ(fx.DeliveredUnderLock(), 0);

    fx.ClearNotes();
    fx.SetNotesWaitForAudio(false);
    fx.EditorParamChange(0, 0.5);
    EXPECT_EQ(fx.Notes(), (Notes{"begin 0", Value(0, 0.5), "end 0"}));
}

// Random sequences of gestures, changes, state changes, locks and holds: once
// everything is let go, what the host heard is well formed (values only while
// their parameter is held, one begin and one end each), no note came under the
// lock, every change was heard with its value, and state changes come at most
// once per gesture.
TEST(HostNotes, RandomWorkAlwaysReachesTheHostWellFormed) {
    std::mt19937 random(TestSeed(20261209u));
    for (int round = 0; round < 200; ++round) {
        NoteEffect fx(6);
        fx.ConnectAll();
        int changes = 0, looseStates = 0, locks = 0, holds = 0;
        bool open = false, stateInGesture = false;
        int gestureStates = 0;
        const int steps = 1 + int(random() % 60);
        for (int s = 0; s < steps; ++s) {
            switch (random() % 8) {
            case 0:
                open = true;
                fx.BeginGesture();
                break;
            case 1:
                if (open && stateInGesture) ++gestureStates;
                open = stateInGesture = false;
                fx.EndGesture();
                break;
            case 2:
            case 3:
                fx.EditorParamChange(int(random() % 6), double(random() % 1001) / 1000.0);
                ++changes;
                break;
            case 4:
                fx.StateChanged();
                if (open)
                    stateInGesture = true;
                else
                    ++looseStates;
                break;
            case 5:
                if (locks == 0 || (locks < 3 && random() % 2)) {
                    fx.FrameLock().Enter();
                    ++locks;
                } else {
                    fx.FrameLock().Leave();
                    --locks;
                }
                break;
            case 6:
                if (holds < 2 && random() % 2) {
                    fx.HoldHostNotes();
                    ++holds;
                } else if (holds > 0) {
                    fx.ReleaseHostNotes();
                    --holds;
                }
                break;
            default:
                fx.DeliverHostNotes();
                break;
            }
        }
        while (locks-- > 0)
            fx.FrameLock().Leave();
        while (holds-- > 0)
            fx.ReleaseHostNotes();
        if (open && stateInGesture) ++gestureStates;
        fx.EndGesture();
        fx.DeliverHostNotes();

        std::map<int, bool> held;
        int values = 0, states = 0;
        for (const std::string& note : fx.Notes()) {
            int index = -1;
            if (note == "state") {
                ++states;
            } else if (std::sscanf(note.c_str(), "begin %d", &index) == 1) {
                ASSERT_FALSE(held[index]) << "round " << round << ": second begin " << index;
                held[index] = true;
            } else if (std::sscanf(note.c_str(), "end %d", &index) == 1) {
                ASSERT_TRUE(held[index]) << "round " << round << ": end without begin " << index;
                held[index] = false;
            } else if (std::sscanf(note.c_str(), "value %d", &index) == 1) {
                ASSERT_TRUE(held[index]) << "round " << round << ": loose value " << index;
                ++values;
            }
        }
        for (const auto& h : held)
            EXPECT_FALSE(h.second) << "round " << round << ": " << h.first << " still held";
        EXPECT_EQ(values, changes) << "round " << round;
        EXPECT_EQ(states, looseStates + gestureStates) << "round " << round;
        EXPECT_EQ(fx.DeliveredUnderLock(), 0) << "round " << round;
        EXPECT_EQ(fx.DroppedHostNotes(), 0);
    }
}

} // namespace
