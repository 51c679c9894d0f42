// The window's overlays, drawn with Dear ImGui over the chain: the readouts
// and controls panel (Tab) and the help overlay (h). Neither is drawn until
// asked for, so the first picture is the chain alone.
#pragma once

#include "sim/readouts.h"
#include "sim/session.h"

void initOverlay();
void shutdownOverlay();

// Input handed to the overlay first. The *Wants* queries say whether the
// overlay keeps the event from the chain: a press on the panel, a drag of one
// of its controls, or a key typed into one of its fields.
void overlayKeyboard(unsigned char key, int x, int y, bool down);
void overlaySpecial(int key, int x, int y, bool down);
void overlayMouseButton(int button, int state, int x, int y);
void overlayMouseMotion(int x, int y);
void overlayReshape(int width, int height);
bool overlayWantsMouse(const RunControls& controls);
bool overlayWantsKeys(const RunControls& controls);

// Draws whichever overlays are shown into the current picture; the panel's
// controls act on the session as they are used.
void drawOverlay(Session& session, const Readouts& readouts);
