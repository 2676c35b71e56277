// The editor frame of builds without a window system: nothing can be opened.
#include "tools/host/parent_window.h"

namespace {

class ParentNone : public ParentWindow {
public:
    bool Create(int, int, const std::string&) override {
        mError = "this build of the harness has no window system";
        return false;
    }
    void Destroy() override {}
    void* NativeHandle() const override { return nullptr; }
    void Pump(int, const std::function<void()>&) override {}
    void* EditorHandle() const override { return nullptr; }
    bool SendMouse(const MouseEvent&) override { return false; }
    bool Capture(std::vector<uint32_t>&, int&, int&) override { return false; }
};

} // namespace

std::unique_ptr<ParentWindow> NewParentWindow() {
    return std::unique_ptr<ParentWindow>(new ParentNone());
}
