// Input from the window system that reaches the session as events, shared by
// the window program and the page: the arrow keys and a new size of the
// window (or canvas). Both go through liveInput, so that a recording under way
// keeps them and chain20-batch replays them to the same bits.
#pragma once

struct Session;

// A special key (GLUT's code): the left and right arrows become the left and
// right events, which change the steps per frame. Returns false for any other
// key, which does nothing.
bool applyArrowKey(int specialKey, Session& session);

// The window is now width x height pixels: a resize event, from which on the
// cursor is mapped through the view of that size, when it differs from the
// size of the view in use. Returns whether it did.
bool applyWindowSize(int width, int height, Session& session);
