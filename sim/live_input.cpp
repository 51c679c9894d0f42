#include "sim/live_input.h"

#include "sim/session.h"

bool applyArrowKey(int specialKey, Session& session) {
    if (specialKey != KEY_LEFT && specialKey != KEY_RIGHT) {
        return false;
    }
    liveInput(session, {0, specialKey == KEY_LEFT ? EventKind::LeftKey : EventKind::RightKey, 0, 0, 0});
    return true;
}

bool applyWindowSize(int width, int height, Session& session) {
    const auto& viewport = session.target.view.viewport;
    if (width == viewport[2] && height == viewport[3]) {
        return false;
    }
    liveInput(session, {0, EventKind::Resize, width, height, 0});
    return true;
}
