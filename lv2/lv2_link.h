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

// Port numbers. The parameters come last, in parameter index order, so the
// fixed ports keep their numbers should parameters be added.
enum KeloLv2Port : uint32_t {
    kPortInL = 0,
    kPortInR = 1,
    kPortOutL = 2,
    kPortOutR = 3,
    kPortTime = 4,    // atom sequence with time:Position objects, optional
    kPortLatency = 5, // control output: the effect's delay in frames
    kPortFirstParam = 6,
};

// The editor link at the start of every plug-in instance. The UI checks the
// tag, then calls through the table: the editor lives in the plug-in binary.
constexpr uint32_t kKeloLv2LinkTag = 0x4B656C6F; // "Kelo"

struct KeloLv2EditorOps {
    // Opens the effect's editor as a child of the X11 window parent; returns
    // the editor's window id (0 on failure) and its size.
    uintptr_t (*open)(void* instance, uintptr_t parent, int32_t* width, int32_t* height);
    void (*close)(void* instance);
    // The UI thread's idle call: runs the editor's pending events and frame.
    void (*idle)(void* instance);
    // Hands every parameter the editor changed since the last call to
    // deliver(context, port, value), one call per parameter, in port order.
    // Called from the UI thread, and calls back on it with no lock held.
    void (*takeEdits)(void* instance, void* context,
                      void (*deliver)(void* context, uint32_t port, float value));
    // A host's port value for a parameter port: the editor shows it.
    void (*portValue)(void* instance, uint32_t port, float value);
};

struct KeloLv2Link {
    uint32_t tag; // kKeloLv2LinkTag
    uint32_t paramCount;
    const KeloLv2EditorOps* ops;
};
