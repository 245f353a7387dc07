// The line a frame is at, as its f_lineno gives it, from a small cache.
#pragma once

#include <Python.h>

namespace ruvo {

// The frame's current line, -1 when its instruction has none. Only for frames
// outside a trace function's callback, where f_lineno is not pinned: then it
// is the code's line table at the frame's last instruction, which is what is
// cached (the interpreter scans the table from its start at every read).
int frame_line(PyFrameObject* frame);

}  // namespace ruvo
