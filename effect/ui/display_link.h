// What the effect does to one of its displays from the audio path and the
// parameter hooks: ask it to redraw. The effect holds no display until the
// editor builds them, and then skips the call.
#pragma once

class DisplayLink {
public:
    virtual ~DisplayLink() = default;
    // Sets the display's redraw flag; drawing happens later on the editor thread.
    virtual void MarkDirty() = 0;
};
