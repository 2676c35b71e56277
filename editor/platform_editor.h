// The editor of this platform: the window face the build selects (Win32 on
// Windows, X11 on Linux), or the window-less OffscreenEditor where there is none.
#pragma once

#include <cstdint>

class Editor;
class EffectBase;

Editor* NewPlatformEditor(EffectBase* effect, int32_t width, int32_t height, int32_t fps);
