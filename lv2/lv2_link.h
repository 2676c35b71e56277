// What the LV2 plug-in binary and its UI binary share: the URIs hosts store
// forever, the port numbers, and the editor link the plug-in instance hands to
// its UI through the host's instance-access feature. Both binaries are built
// from this one header; nothing else of the plug-in is linked into the UI.
#pragma once

#include <cstdint>

// The plug-in's URI: a random UUID of the project's own, so it claims no
// domain or URN namespace. Hosts keep it in their projects: never change it.
#define KELO_LV2_URI "urn:uuid:eaa7c74c-7e2c-4bc2-9eb2-85aef17ce553"
#define KELO_LV2_UI_URI KELO_LV2_URI "#ui"
// The saved state: one property holding the same bytes as the VST chunk.
#define KELO_LV2_STATE_KEY KELO_LV2_URI "#state"

// Port numbers. Hosts keep them in their projects (Ardour's automation
// names its parameters by port number), so a port never changes its number:
// the parameters follow the fixed ports in parameter index order, and ports
// added later follow the parameters.
enum KeloLv2Port : uint32_t {
    kPortInL = 0,
    kPortInR = 1,
    kPortOutL = 2,
    kPortOutR = 3,
    kPortTime = 4,    // atom sequence with time:Position objects, optional
    kPortLatency = 5, // control output: the effect's delay in frames
    kPortFirstParam = 6,
    // Atom sequence output, optional: state:StateChanged when the saved state
    // changed outside the parameters. Right after the eleven parameters.
    kPortNotify = 17,
};

// The editor link at the start of every plug-in instance. The UI checks the
// tag, then calls through the table: the editor lives in the plug-in binary.
// The tag names the table's layout: a new layout takes a new tag.
constexpr uint32_t kKeloLv2LinkTag = 0x4B656C32; // "Kel2"

// What the UI thread hands on to the host for one edit of the editor's.
enum KeloLv2UiNote : uint32_t {
    kUiNoteValue = 0,   // the port takes value (ui:write)
    kUiNoteGrab = 1,    // the user took hold of the port's control (ui:touch)
    kUiNoteRelease = 2, // and let go of it
};

struct KeloLv2EditorOps {
    // Opens the effect's editor as a child of the X11 window parent; returns
    // the editor's window id (0 on failure) and its size.
    uintptr_t (*open)(void* instance, uintptr_t parent, int32_t* width, int32_t* height);
    void (*close)(void* instance);
    // The UI thread's idle call: runs the editor's pending events and frame.
    void (*idle)(void* instance);
    // Hands what the editor's gestures did since the last call to
    // deliver(context, note, port, value), one call per KeloLv2UiNote, in the
    // order they happened: a grab before a port's first value, its release
    // after the last. Called from the UI thread, and calls back on it with no
    // lock held.
    void (*takeEdits)(void* instance, void* context,
                      void (*deliver)(void* context, uint32_t note, uint32_t port, float value));
    // A host's port value for a parameter port: the editor shows it.
    void (*portValue)(void* instance, uint32_t port, float value);
};

struct KeloLv2Link {
    uint32_t tag; // kKeloLv2LinkTag
    uint32_t paramCount;
    const KeloLv2EditorOps* ops;
};
