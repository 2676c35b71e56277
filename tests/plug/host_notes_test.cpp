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
#include "tests/plug/note_effect.h"

namespace {

using Notes = std::vector<std::string>;

std::string Value(int index, double normalized) {
    char text[64];
    std::snprintf(text, sizeof text, "value %d %.6f", index, normalized);
    return text;
}

uint32_t Seed() {
    const char* text = std::getenv("KELO_TEST_SEED");
    return text ? uint32_t(std::strtoul(text, nullptr, 10)) : 20261209u;
}

TEST(HostOutbox, KeepsOrderAndWhenFullKeepsTheLastValueOfEachParameter) {
    HostOutbox box;
    const int n = HostOutbox::kCapacity;
    for (int i = 0; i < n; ++i)
        box.Post(HostNote{HostNoteKind::Automate, i % 4, double(i)});
    // Full: a value replaces the newest queued value of its parameter; a note
    // of another kind, or for a parameter with no queued value, is dropped.
    box.Post(HostNote{HostNoteKind::Automate, 1, 1000.0});
    box.Post(HostNote{HostNoteKind::Automate, 9, 5.0});
    box.Post(HostNote{HostNoteKind::EndEdit, 1, 0.0});
    EXPECT_EQ(box.Dropped(), 2);
    HostNote note;
    for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(box.Take(note)) << i;
        EXPECT_EQ(note.index, i % 4);
        const double expected = i == n - 3 ? 1000.0 : double(i); // the newest value of 1
        EXPECT_EQ(note.value, expected) << i;
    }
    EXPECT_FALSE(box.Take(note));
    EXPECT_TRUE(box.Empty());
}

// The host reads the latency when it hears of a change: one note waiting
// tells it of every change since, wherever the others are.
TEST(HostOutbox, ALatencyNoteWaitingTellsEveryChangeSince) {
    HostOutbox box;
    box.Post(HostNote{HostNoteKind::LatencyChanged, -1, 480.0});
    box.Post(HostNote{HostNoteKind::Automate, 2, 0.5});
    box.Post(HostNote{HostNoteKind::LatencyChanged, -1, 0.0});
    box.Post(HostNote{HostNoteKind::LatencyChanged, -1, 441.0});
    HostNote note;
    ASSERT_TRUE(box.Take(note));
    EXPECT_EQ(note.kind, HostNoteKind::LatencyChanged);
    EXPECT_EQ(note.value, 441.0);
    ASSERT_TRUE(box.Take(note));
    EXPECT_EQ(note.kind, HostNoteKind::Automate);
    EXPECT_FALSE(box.Take(note));
    // Once taken, the next change is a note of its own.
    box.Post(HostNote{HostNoteKind::LatencyChanged, -1, 480.0});
    EXPECT_TRUE(box.Take(note));
    EXPECT_EQ(box.Dropped(), 0);
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

// Random sequences of gestures, changes, state changes, locks and holds: once
// everything is let go, what the host heard is well formed (values only while
// their parameter is held, one begin and one end each), no note came under the
// lock, every change was heard with its value, and state changes come at most
// once per gesture.
TEST(HostNotes, RandomWorkAlwaysReachesTheHostWellFormed) {
    std::mt19937 random(Seed());
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
