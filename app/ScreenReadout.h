#pragma once

class QQmlApplicationEngine;

namespace castora {

// A read-only look at the running window for the end-to-end tests (tests/e2e), which drive
// the program with real input events and need to know what is on screen and where.
//
// In development builds, when the environment variable CASTORA_INSPECT names a local socket
// path, the program listens there (owner-only access) and answers each request line
//
//   {"name": "<objectName>", "properties": ["text", ...]}
//
// with one line
//
//   {"items": [{"visible": bool, "enabled": bool, "x": .., "y": .., "width": .., "height": ..,
//               "properties": {"text": ..}}, ...]}
//
// listing every item of that object name in the engine's windows (popups included), in tree
// order; the rectangle is in screen coordinates. The request {"count": "frames"} is answered
// with {"frames": n}, the frames the windows have put on screen since the socket opened (for
// bench/: what an idle screen redraws); {"count": "<event>"} with {"<event>": n}, how often
// the program noted that event (countForInspection; 0 for one never noted). A malformed
// request is answered with {"error": "..."}. Nothing can be changed or called through it. Does
// nothing otherwise, and builds without CASTORA_DEVELOPMENT leave it out.
void startInspection(QQmlApplicationEngine &engine);

// Notes one more `event` for the inspection socket (GUI thread), such as a request to raise
// the window, which leaves nothing to see on a display without a window manager. Does nothing
// in builds without CASTORA_DEVELOPMENT.
void countForInspection(const char *event);

} // namespace castora
