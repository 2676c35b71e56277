// The product: the effect with its editor. The editor's controls and the two
// displays (the detect panel and the edit panel) are views of the effect;
// everything the effect runs on lives in KeloEffect.
#pragma once

#include "effect/kelo.h"

class AmpDisplay;
class Editor;
class EnvelopeView;

class KeloPlugin : public KeloEffect {
public:
    // Builds the platform's editor.
    explicit KeloPlugin(const InstanceInfo& instance);

    // Fills editor (the platform's editor when null) with the controls and the
    // displays and attaches it (replacing the one there was).
    void BuildEditor(Editor* editor = nullptr);
    // The edit panel of the current editor; null when there is none.
    AmpDisplay* AmpView() const { return mAmpDisplay; }

protected:
    void LimitControls(int32_t index, double low, double high) override;

private:
    AmpDisplay* mAmpDisplay = nullptr;
};
