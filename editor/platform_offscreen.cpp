// The platform editor of builds without a window face.
#include "editor/offscreen_editor.h"
#include "editor/platform_editor.h"

Editor* NewPlatformEditor(EffectBase* effect, int32_t width, int32_t height, int32_t fps) {
    return new OffscreenEditor(effect, width, height, fps);
}
