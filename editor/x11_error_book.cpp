#include "editor/x11_error_book.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

// Xlib's internal header declares the per-display error hook; it defines min
// and max as macros, so it comes last and they go.
#include <X11/Xlibint.h>
#undef min
#undef max

namespace {

std::mutex gBooksLock;
std::vector<std::pair<Display*, int>> gBooks; // display, errors so far

Bool CountError(Display* display, XErrorEvent*, xError*) {
    std::lock_guard<std::mutex> hold(gBooksLock);
    for (auto& book : gBooks)
        if (book.first == display) ++book.second;
    return False; // dropped: the process-wide handler never sees it
}

void OpenErrorBook(Display* display) {
    {
        std::lock_guard<std::mutex> hold(gBooksLock);
        gBooks.emplace_back(display, 0);
    }
    for (int code = 1; code < 256; ++code)
        XESetWireToError(display, code, CountError);
}

void CloseErrorBook(Display* display) {
    std::lock_guard<std::mutex> hold(gBooksLock);
    gBooks.erase(std::remove_if(gBooks.begin(), gBooks.end(),
                                [display](const auto& book) { return book.first == display; }),
                 gBooks.end());
}

} // namespace

int ErrorsOf(Display* display) {
    std::lock_guard<std::mutex> hold(gBooksLock);
    for (const auto& book : gBooks)
        if (book.first == display) return book.second;
    return 0;
}

Display* OpenOwnDisplay() {
    Display* display = XOpenDisplay(nullptr);
    if (display) OpenErrorBook(display);
    return display;
}

void CloseOwnDisplay(Display* display) {
    XCloseDisplay(display);
    CloseErrorBook(display);
}
