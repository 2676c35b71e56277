// The editor thread draws the displays and routes the mouse while host threads
// automate every parameter, save and load the state and process audio. Under
// ThreadSanitizer this finds unguarded sharing and lock-order inversions
// between the plug-in's lock and the displays'.
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "base/db.h"
#include "editor_fixture.h"
#include "plug/vst_abi.h"

namespace {

using EditorThreadsTest = KeloEditorTest;

TEST_F(EditorThreadsTest, HostThreadsAndTheEditorThreadShareTheEffectSafely) {
    std::atomic<bool> done{false};
    std::atomic<int> blocks{0}, passes{0};
    std::thread audio([&] { // a hit every eighth block over a quiet tone
        std::vector<double> inL(256), inR(256), outL(256), outR(256);
        double* in[2] = {inL.data(), inR.data()};
        double* out[2] = {outL.data(), outR.data()};
        for (int n = 0; !done; ++n, ++blocks) {
            for (size_t i = 0; i < 256; ++i)
                inL[i] = inR[i] = n % 8 == 0 ? ((i & 15) < 8 ? 0.9 : -0.9) : 0.01;
            fx.ProcessDoubleReplacing(in, out, 256);
            fx.mPosition += 256;
        }
    });
    std::thread host([&] { // automation, state saves and loads, resets
        std::mt19937 rng(12);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (int round = 0; round < 200 || blocks < 100 || passes < 30; ++round) {
            for (int p = 0; p < kParamCount; ++p)
                fx.HostParamChange(p, unit(rng));
            if (round % 10 == 0) {
                void* data = nullptr;
                const intptr_t size = fx.Dispatch(kVstOpGetChunk, 0, 0, &data, 0.0f);
                std::vector<unsigned char> copy(static_cast<unsigned char*>(data),
                                                static_cast<unsigned char*>(data) + size);
                fx.Dispatch(kVstOpSetChunk, 0, intptr_t(copy.size()), copy.data(), 0.0f);
            }
            if (round % 25 == 0) {
                fx.SetSampleRate(round % 50 == 0 ? 44100.0 : 48000.0);
                fx.NotifyAllParams();
            }
        }
        done = true;
    });
    // The editor thread: the timer's passes and a user at the mouse.
    std::mt19937 rng(34);
    std::uniform_int_distribution<int> x(0, 674), y(0, 618), step(-6, 6);
    MouseKeys left;
    left.L = true;
    for (; !done; ++passes) {
        DrawDirty();
        const int px = x(rng), py = y(rng);
        editor->OnMouseOver(px, py, MouseKeys());
        editor->OnMouseDown(px, py, left);
        for (int i = 1; i <= 4; ++i)
            editor->OnMouseDrag(px + step(rng), py + step(rng), left);
        editor->OnMouseUp(px, py);
        editor->OnMouseWheel(px, py, MouseKeys(), step(rng));
        if (passes % 7 == 0) editor->OnMouseDblClick(px, py, MouseKeys());
        if (passes % 3 == 0) Drag(400, view->ThresholdY(), 0, step(rng));
        editor->OnMouseOut();
    }
    audio.join();
    host.join();
    DrawAll();
    for (int p = 0; p < kParamCount; ++p) {
        EXPECT_GE(fx.ParamAt(p)->Value(), fx.ParamAt(p)->Min()) << p;
        EXPECT_LE(fx.ParamAt(p)->Value(), fx.ParamAt(p)->Max()) << p;
    }
    EXPECT_GE(view->ThresholdY(), EnvelopeView::kPlotTop);
    EXPECT_LE(view->ThresholdY(), EnvelopeView::kPlotBottom);
    // The view shows the threshold the effect heard last (to its 0.1 dB steps).
    EXPECT_NEAR(AmpToDb(view->Threshold()), AmpToDb(fx.Threshold()), 0.06);
}

} // namespace
