// The simulation core that every program runs, free of GL and of file code.
// What it offers, by header:
//   chain.h         Chain<Real>: one simulation as a value, float or double
//   application.h   the default chain, the precision of a run, the view and
//                   the mouse and key rules
//   session.h       the fresh run and the session: run controls, scripted and
//                   live events, the recording
//   event_script.h  the event language's grammar; events.h its effect
//   live_input.h    arrow keys and window sizes as events
//   ensemble.h      an ensemble's members in SIMD lane groups
//   companions.h    the shadow chain, the ensemble fan, the phase portrait
//   energy_ledger.h damping and spring work, and the drift they leave
//   recorder.h      the run written as a replayable script
//   state_hash.h    the state's fingerprint
//   diagnostics.h   energy, tip position and mass matrix in double
//   parameters.h    the chain's parameters as text, with their checks
//   run_controls.h, pacing.h, readouts.h   what the window and the page show
//   text_sink.h, shortest_text.h, message_words.h   the text it writes
#pragma once

#include "sim/application.h"
#include "sim/chain.h"
#include "sim/companions.h"
#include "sim/diagnostics.h"
#include "sim/energy_ledger.h"
#include "sim/ensemble.h"
#include "sim/event_script.h"
#include "sim/events.h"
#include "sim/live_input.h"
#include "sim/message_words.h"
#include "sim/pacing.h"
#include "sim/parameters.h"
#include "sim/readouts.h"
#include "sim/recorder.h"
#include "sim/run_controls.h"
#include "sim/session.h"
#include "sim/shortest_text.h"
#include "sim/state_hash.h"
#include "sim/state_view.h"
#include "sim/text_sink.h"
