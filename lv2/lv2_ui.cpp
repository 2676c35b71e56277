// The UI binary: opens the effect's own editor (which lives in the plug-in
// binary) as a child of the host's X11 window. It needs the plug-in instance
// (instance-access) and the parent window (ui:parent); it tells the host the
// editor's size (ui:resize, when offered) and runs the editor from the host's
// idle calls (ui:idleInterface). Knob turns reach the host as port writes on
// this thread, each gesture held between a grab and a release of the port's
// control (ui:touch, when offered: hosts record Touch automation by it); the
// host's port events move the knobs.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <lv2/instance-access/instance-access.h>
#include <lv2/log/log.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include "lv2/lv2_link.h"

namespace {

struct KeloUi {
    void* instance;
    const KeloLv2EditorOps* ops;
    LV2UI_Write_Function write;
    LV2UI_Controller controller;
    const LV2UI_Touch* touch; // null when the host offers none
};

void Refuse(const LV2_Feature* const* features, const char* text) {
    LV2_Log_Log* log = nullptr;
    LV2_URID_Map* map = nullptr;
    for (int i = 0; features && features[i]; ++i) {
        if (!features[i]->URI) continue;
        if (!std::strcmp(features[i]->URI, LV2_LOG__log))
            log = static_cast<LV2_Log_Log*>(features[i]->data);
        if (!std::strcmp(features[i]->URI, LV2_URID__map))
            map = static_cast<LV2_URID_Map*>(features[i]->data);
    }
    if (log && map)
        log->printf(log->handle, map->map(map->handle, LV2_LOG__Error), "Kelo UI: %s\n", text);
    else
        std::fprintf(stderr, "Kelo UI: %s\n", text);
}

LV2UI_Handle Instantiate(const LV2UI_Descriptor*, const char* pluginUri, const char*,
                         LV2UI_Write_Function write, LV2UI_Controller controller,
                         LV2UI_Widget* widget, const LV2_Feature* const* features) {
    void* instance = nullptr;
    uintptr_t parent = 0;
    const LV2UI_Resize* resize = nullptr;
    const LV2UI_Touch* touch = nullptr;
    for (int i = 0; features && features[i]; ++i) {
        const char* uri = features[i]->URI;
        if (!uri) continue;
        if (!std::strcmp(uri, LV2_INSTANCE_ACCESS_URI)) instance = features[i]->data;
        if (!std::strcmp(uri, LV2_UI__parent))
            parent = reinterpret_cast<uintptr_t>(features[i]->data);
        if (!std::strcmp(uri, LV2_UI__resize))
            resize = static_cast<const LV2UI_Resize*>(features[i]->data);
        if (!std::strcmp(uri, LV2_UI__touch))
            touch = static_cast<const LV2UI_Touch*>(features[i]->data);
    }
    if (touch && !touch->touch) touch = nullptr;
    if (!pluginUri || std::strcmp(pluginUri, KELO_LV2_URI) != 0) {
        Refuse(features, "this UI belongs to another plug-in");
        return nullptr;
    }
    if (!instance) {
        Refuse(features, "the host does not give the plug-in instance (instance-access)");
        return nullptr;
    }
    if (!parent) {
        Refuse(features, "the host gives no parent window (ui:parent)");
        return nullptr;
    }
    const KeloLv2Link* link = static_cast<const KeloLv2Link*>(instance);
    if (link->tag != kKeloLv2LinkTag || !link->ops) {
        Refuse(features, "the instance is not a Kelo plug-in of this build");
        return nullptr;
    }
    int32_t width = 0, height = 0;
    const uintptr_t window = link->ops->open(instance, parent, &width, &height);
    if (!window) {
        Refuse(features, "the editor's window could not be opened");
        return nullptr;
    }
    if (resize && resize->ui_resize) resize->ui_resize(resize->handle, width, height);
    if (widget) *widget = reinterpret_cast<LV2UI_Widget>(window);
    return new KeloUi{instance, link->ops, write, controller, touch};
}

void Deliver(void* context, uint32_t note, uint32_t port, float value) {
    KeloUi* ui = static_cast<KeloUi*>(context);
    switch (note) {
    case kUiNoteValue:
        if (ui->write) ui->write(ui->controller, port, sizeof(float), 0, &value);
        break;
    case kUiNoteGrab:
    case kUiNoteRelease:
        if (ui->touch) ui->touch->touch(ui->touch->handle, port, note == kUiNoteGrab);
        break;
    default:
        break;
    }
}

void Cleanup(LV2UI_Handle handle) {
    KeloUi* ui = static_cast<KeloUi*>(handle);
    ui->ops->close(ui->instance);
    // A gesture the closing cut short ends here, while the host still listens.
    ui->ops->takeEdits(ui->instance, ui, &Deliver);
    delete ui;
}

void PortEvent(LV2UI_Handle handle, uint32_t port, uint32_t size, uint32_t format,
               const void* buffer) {
    KeloUi* ui = static_cast<KeloUi*>(handle);
    // Control ports only: format 0 carries one float.
    if (format != 0 || size != sizeof(float) || !buffer) return;
    ui->ops->portValue(ui->instance, port, *static_cast<const float*>(buffer));
}

int Idle(LV2UI_Handle handle) {
    KeloUi* ui = static_cast<KeloUi*>(handle);
    ui->ops->idle(ui->instance);
    ui->ops->takeEdits(ui->instance, ui, &Deliver);
    return 0;
}

const LV2UI_Idle_Interface kIdle = {&Idle};

const void* ExtensionData(const char* uri) {
    if (uri && !std::strcmp(uri, LV2_UI__idleInterface)) return &kIdle;
    return nullptr;
}

const LV2UI_Descriptor kDescriptor = {KELO_LV2_UI_URI, &Instantiate, &Cleanup, &PortEvent,
                                      &ExtensionData};

} // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
