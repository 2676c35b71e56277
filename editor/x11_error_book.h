// The X error book: every editor talks to the X server over a display
// connection of its own, so its errors can be caught on that connection alone.
// The display's wire-to-error hook (one per error code, per display) counts
// each error in the connection's book and drops it before Xlib would hand it
// to the process-wide handler. Nothing process-wide is swapped, so the host's
// own handler never races with ours and is never restored stale. The face
// reads the count after an XSync where it must know at once (opening, the
// prompt's focus) and at the start of each tick otherwise.
//
// Any thread: the books are kept under a lock of their own, taken by nothing
// else.
#pragma once

#include <X11/Xlib.h>

// A display connection of the editor's own with an empty error book; null when
// no server answers.
Display* OpenOwnDisplay();
// Closes the connection and its book.
void CloseOwnDisplay(Display* display);
// The errors the server reported on the connection since it was opened (0 for
// a connection without a book).
int ErrorsOf(Display* display);
