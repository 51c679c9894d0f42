// The headless runner's parts in process: the event script parser, the
// mapping of events onto the input rules, the CSV row, and the energy and tip
// position that the rows carry.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "sim/application.h"
#include "sim/events.h"
#include "batch/csv.h"
#include "sim/diagnostics.h"
#include "sim/recorder.h"
#include "sim/session.h"
#include "batch/ensemble.h"
#include "batch/run.h"
#include "cli/script_file.h"
#include "dynamics/chain_dynamics.h"
#include "model/chain_model.h"

namespace {

constexpr double PI = 3.14159265358979323846;

class BatchTest : public ::testing::Test {
protected:
    void SetUp() override { freshRun(ChainDescription{}, Precision::Float, WINDOW_WIDTH, WINDOW_HEIGHT, {}); }
};

std::vector<ScriptEvent> parseOk(const std::string& text, std::int64_t lastStep = 1000) {
    std::vector<ScriptEvent> events;
    std::string error;
    EXPECT_TRUE(parseEventScript(text, "script.txt", lastStep, events, error)) << error;
    return events;
}

std::string parseError(const std::string& text, std::int64_t lastStep = 1000) {
    std::vector<ScriptEvent> events;
    std::string error;
    EXPECT_FALSE(parseEventScript(text, "script.txt", lastStep, events, error)) << "accepted:\n" << text;
    return error;
}

// ---- Event script ----

TEST_F(BatchTest, ParsesEveryVerbWithCommentsBlankLinesAndCarriageReturns) {
    const auto events = parseOk(
        "# a drag\n"
        "\n"
        "0 press 320 320\r\n"
        "   5\tdrag -12 700   # outside the window\n"
        "5 release\n"
        "7 left\n"
        "1000 right\n");
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].step, 0);
    EXPECT_EQ(events[0].kind, EventKind::Press);
    EXPECT_EQ(events[0].x, 320);
    EXPECT_EQ(events[0].y, 320);
    EXPECT_EQ(events[0].line, 3);
    EXPECT_EQ(events[1].step, 5);
    EXPECT_EQ(events[1].kind, EventKind::Drag);
    EXPECT_EQ(events[1].x, -12);
    EXPECT_EQ(events[1].y, 700);
    EXPECT_EQ(events[1].line, 4);
    EXPECT_EQ(events[2].kind, EventKind::Release);
    EXPECT_EQ(events[3].kind, EventKind::LeftKey);
    EXPECT_EQ(events[3].step, 7);
    EXPECT_EQ(events[4].kind, EventKind::RightKey);
    EXPECT_EQ(events[4].step, 1000);
    EXPECT_EQ(events[4].line, 7);
}

TEST_F(BatchTest, EmptyScriptHasNoEvents) {
    EXPECT_TRUE(parseOk("").empty());
    EXPECT_TRUE(parseOk("# nothing\n\n   \n").empty());
}

TEST_F(BatchTest, LastLineWithoutNewlineIsRead) {
    const auto events = parseOk("1 press 1 2\n3 drag 4 5");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].x, 4);
    EXPECT_EQ(events[1].y, 5);
}

struct BadLine {
    const char* text;
    int line;
    const char* says;
};

TEST_F(BatchTest, EveryKindOfBadLineIsNamedWithItsLine) {
    const BadLine cases[] = {
        {"1 press 0 0\n2 jump 3 4\n", 2, "unknown event 'jump'"},
        {"1 Press 0 0\n", 1, "unknown event 'Press'"},
        {"1 press 10\n", 1, "press needs the X and Y"},
        {"1 drag\n", 1, "drag needs the X and Y"},
        {"1 press x 10\n", 1, "X coordinate 'x' is not a whole number"},
        {"1 drag 10 2.5\n", 1, "Y coordinate '2.5' is not a whole number"},
        {"1 drag 10 +5\n", 1, "Y coordinate '+5' is not a whole number"},
        {"1 drag 10 -\n", 1, "Y coordinate '-' is not a whole number"},
        {"1 press 1 2 3\n", 1, "unexpected '3' after the press event"},
        {"\n\n1 release now\n", 3, "unexpected 'now' after the release event"},
        {"1 left 5\n", 1, "unexpected '5' after the left event"},
        {"1 right right\n", 1, "unexpected 'right' after the right event"},
        {"7\n", 1, "no event after the step"},
        {"1 press 0 0\n# fine\n10 drag 1 1\n9 release\n", 4, "step 9 comes after step 10 on line 3"},
        {"-3 release\n", 1, "step -3 is negative"},
        {"press 1 2\n", 1, "step 'press' is not a whole number"},
        {"1.5 release\n", 1, "step '1.5' is not a whole number"},
        {"99999999999999999999999 release\n", 1, "lies beyond the last step"},
        {"1 reset now\n", 1, "unexpected 'now' after the reset event"},
        {"1 resize 640\n", 1, "resize needs the window's width and height"},
        {"1 resize 0 640\n", 1, "width '0' is not a whole number of pixels from 1 to 16384"},
        {"1 resize 640 16385\n", 1, "height '16385' is not a whole number of pixels from 1 to 16384"},
        {"1 resize 640 -5\n", 1, "height '-5' is not a whole number"},
        {"1 set gravity\n", 1, "set needs a parameter name and a value"},
        {"1 set mass 3\n", 1, "unknown parameter 'mass' (expected links, gravity, damping, stiffness or initial-angle)"},
        {"1 set damping -1\n", 1, "damping: '-1' is not a finite number >= 0"},
        {"1 set links 0\n", 1, "links: '0' is not a whole number from 1 to 100000"},
        {"1 set gravity nan\n", 1, "gravity: 'nan' is not a finite number"},
        {"1 set stiffness 1e39\n", 1, "stiffness: '1e39' is not a finite number"},
        {"1 set gravity 9.81 m/s2\n", 1, "unexpected 'm/s2' after the set event"},
    };
    for (const BadLine& bad : cases) {
        const std::string error = parseError(bad.text);
        const std::string where = "script.txt:" + std::to_string(bad.line) + ": ";
        EXPECT_EQ(error.rfind(where, 0), 0u) << "script:\n" << bad.text << "message: " << error;
        EXPECT_NE(error.find(bad.says), std::string::npos) << "script:\n" << bad.text << "message: " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

// A value or a name of 100,000 characters is quoted by its first 40 and
// "..." (the options' messages are checked in bad_input.sh).
TEST_F(BatchTest, LongWordsAreQuotedShortInEveryMessage) {
    const std::string longWord(100000, '7');
    const std::string shown = "'" + longWord.substr(0, 40) + "...'";
    const std::string scripts[] = {"1 set gravity " + longWord + "x\n", "1 set links " + longWord + "\n",
                                   "1 set " + longWord + " 3\n", "1 press " + longWord + " 0\n"};
    for (const std::string& script : scripts) {
        const std::string error = parseError(script);
        EXPECT_NE(error.find(shown), std::string::npos) << error.substr(0, 200);
        EXPECT_LT(error.size(), 160u) << error.substr(0, 200);
    }
}

// The final line that a recording ends with is read back as written, with
// its events hash or, from a recording made before events were hashed,
// without; lines that only look like it state nothing.
TEST_F(BatchTest, RecordingEndIsReadFromTheFinalLine) {
    const std::string script =
        "0 set links 7\n12 press 1 2\n" + finalLine(4000, 0x0123456789abcdefu, 0xfedcba9876543210u) + "\r\n";
    const auto end = recordingEnd(script);
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->step, 4000);
    EXPECT_EQ(end->hash, 0x0123456789abcdefu);
    EXPECT_EQ(end->events, 0xfedcba9876543210u);
    EXPECT_EQ(recordingEnd(finalLine(1, 1, 1) + "\n" + finalLine(2147483647, 0xffffffffffffffffu, 0))->step,
              2147483647);
    const auto old = recordingEnd("1 release\n# final: step 40, state hash 0123456789abcdef\n");
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->hash, 0x0123456789abcdefu);
    EXPECT_FALSE(old->events.has_value());
    const char* const lookalikes[] = {
        "# final: step 40, state hash 0123456789ABCDEF", "# final: step 40, state hash 0123456789abcde",
        "# final: step +40, state hash 0123456789abcdef", " # final: step 40, state hash 0123456789abcdef",
        "# final: step 40, state hash 0123456789abcdef # edited", "# final: step 40",
        "# final: step 40, state hash 0123456789abcdef, events hash 0123456789abcde",
        "# final: step 40, state hash 0123456789abcdef, events hash 0123456789abcdeF",
        "# final: step 40, state hash 0123456789abcdef, events hash 0123456789abcdef0",
        "# final: step 40, state hash 0123456789abcdef, events hash ",
        "# final: step 40, events hash 0123456789abcdef, state hash 0123456789abcdef"};
    for (const char* line : lookalikes) {
        EXPECT_FALSE(recordingEnd(std::string("1 release\n") + line + "\n").has_value()) << line;
    }
}

// A replay is checked on its events as well as its state: a change to an
// event whose effect the state no longer shows (before the last reset, or a
// pacing key) still differs. A recording without an events hash is checked
// on its state alone, and says so.
TEST_F(BatchTest, ReplayCheckCoversEveryEventAndTheState) {
    const auto eventsOf = [](const std::string& text) { return scriptHash(parseOk(text)); };
    const std::string recorded = "0 set links 7\n10 press 600 320\n50 reset\n60 right\n";
    const RecordingEnd end{100, 0x1111, eventsOf(recorded)};
    const std::string edits[] = {"0 set links 7\n10 press 601 320\n50 reset\n60 right\n",
                                 "0 set links 7\n10 press 600 320\n50 reset\n60 left\n",
                                 "0 set links 7\n10 press 600 320\n50 reset\n",
                                 "0 set links 7\n10 press 600 320\n50 reset\n60 right\n60 right\n"};
    for (const std::string& edited : edits) {
        const ReplayCheck check = checkReplay(end, eventsOf(edited), 100, 0x1111);
        EXPECT_EQ(check.verdict, ReplayVerdict::Differs) << edited;
        EXPECT_NE(check.message.find("its events are not the recorded ones"), std::string::npos) << check.message;
    }
    // Spelling and comments are no events.
    EXPECT_EQ(eventsOf("0  set links 7 # seven\n\n10 press 600 320\r\n50 reset\n60 right\n"), *end.events);

    const std::string otherState = "replay differs from the recording (expected 0000000000001111, got 0000000000002222)";
    const std::pair<ReplayCheck, ReplayCheck> cases[] = {
        {checkReplay(end, *end.events, 100, 0x1111), {ReplayVerdict::Matches, "replay matches the recording"}},
        {checkReplay(end, *end.events, 100, 0x2222),
         {ReplayVerdict::Differs, otherState}},
        {checkReplay(end, 0, 99, 0x2222), {ReplayVerdict::NotCompared, "the recording ends at step 100; not compared"}},
        {checkReplay({100, 0x1111, std::nullopt}, 0, 100, 0x1111),
         {ReplayVerdict::Matches,
          "replay matches the recording's state (its final line has no events hash: the events are not checked)"}},
        {checkReplay({100, 0x1111, std::nullopt}, 0, 100, 0x2222),
         {ReplayVerdict::Differs, otherState}},
    };
    for (const auto& [got, expected] : cases) {
        EXPECT_EQ(got.verdict, expected.verdict) << got.message;
        EXPECT_EQ(got.message, expected.message);
    }
}

// A recording of a chain whose parameters are whole numbers, 100,000 links
// among them, reads back as the events and events hash it was written with.
TEST_F(BatchTest, RecordingOfWholeNumberParametersReadsBack) {
    ChainDescription start;
    start.links = MOST_LINKS;
    start.gravity = 100000.0f;
    start.damping = 2000000.0f;
    start.stiffness = 16777216.0f;
    start.initialAngle = -3.0f;
    Recorder recorder("chain20", "today", start, 640, 640);
    ChainDescription later = start;
    later.gravity = -1.0e6f;
    recorder.record(setEvent(ChainParameter::Gravity, later), currentState);
    const std::string script = recorder.script(0, currentState);
    EXPECT_NE(script.find("0 set links 100000\n0 set gravity 100000\n0 set damping 2000000\n"
                          "0 set stiffness 16777216\n0 set initial-angle -3\n0 resize 640 640\n"
                          "0 set gravity -1000000\n"),
              std::string::npos)
        << script;
    const auto end = recordingEnd(script);
    ASSERT_TRUE(end.has_value());
    const std::vector<ScriptEvent> events = parseOk(script, end->step);
    ASSERT_EQ(events.size(), 7u);
    const float values[] = {100000.0f, 100000.0f, 2000000.0f, 16777216.0f, -3.0f};
    for (int i = 0; i < CHAIN_PARAMETERS; ++i) {
        EXPECT_EQ(events[static_cast<std::size_t>(i)].value, values[i]) << i;
    }
    EXPECT_EQ(events[6].value, -1.0e6f);
    EXPECT_EQ(end->events, scriptHash(events));
}

TEST_F(BatchTest, EventLinesReadBackAsTheSameEvents) {
    const std::string script =
        "0 resize 800 400\n1 press 600 -20\n1 drag 1000000 -1000000\n9 release\n9 left\n12 right\n40 reset\n"
        "40 set links 50\n40 set gravity -1.5e-07\n41 set damping 0\n41 set stiffness 200\n42 set initial-angle -1.570796\n"
        "43 set links 100000\n43 set gravity -0\n43 set stiffness 100000\n43 set damping 3e+38\n"
        "43 set gravity 16777218\n";
    std::string printed;
    for (const ScriptEvent& event : parseOk(script)) {
        printed += eventLine(event) + "\n";
    }
    EXPECT_EQ(printed, script);
}

TEST_F(BatchTest, StepsMayRepeatAndReachTheLastStep) {
    const auto events = parseOk("3 press 1 1\n3 drag 2 2\n3 release\n50 left\n", 50);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[3].step, 50);
}

// Every numeric limit at both ends: the end itself is accepted, one past it
// is refused with a message that names the fault.
TEST_F(BatchTest, NumericLimitsHoldAtBothEnds) {
    const auto ends = parseOk("0 press -1000000 1000000\n1000 drag 1000000 -1000000\n");
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0].step, 0);
    EXPECT_EQ(ends[0].x, -1000000);
    EXPECT_EQ(ends[0].y, 1000000);
    EXPECT_EQ(ends[1].step, 1000);
    EXPECT_EQ(ends[1].x, 1000000);
    EXPECT_EQ(ends[1].y, -1000000);
    const std::pair<const char*, const char*> pastTheEnds[] = {
        {"-1 release\n", "step -1 is negative"},
        {"1001 release\n", "lies beyond the last step of the run (1000)"},
        {"1 press -1000001 0\n", "X coordinate '-1000001' is out of range"},
        {"1 press 1000001 0\n", "X coordinate '1000001' is out of range"},
        {"1 drag 0 -1000001\n", "Y coordinate '-1000001' is out of range"},
        {"1 drag 0 1000001\n", "Y coordinate '1000001' is out of range"},
    };
    for (const auto& [line, says] : pastTheEnds) {
        const std::string error = parseError(line);
        EXPECT_NE(error.find(says), std::string::npos) << line << error;
    }
    // The last step may be the largest 64-bit count.
    constexpr std::int64_t LONGEST = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(parseOk("9223372036854775807 release\n", LONGEST).at(0).step, LONGEST);
    EXPECT_NE(parseError("9223372036854775808 release\n", LONGEST).find("lies beyond the last step"),
              std::string::npos);
}

// ---- Events through the input rules ----

TEST_F(BatchTest, PressAtTheCentreTargetsHalfAUnitLeftOfTheBaseAtDoubleScale) {
    std::ostringstream echo;
    EventTarget view = eventTarget(640, 640, echo);
    applyEvent({1, EventKind::Press, 320, 320, 1}, view);
    EXPECT_EQ(mouseDown, 1);
    // (95 x / w - 49, 50 - 100 y / h), up to the single-precision frustum.
    EXPECT_NEAR(mouseTarget(1, 1), -1.5f, 8e-6f);
    EXPECT_NEAR(mouseTarget(2, 1), 0.0f, 1e-5f);
    EXPECT_TRUE(echo.str().empty());
}

TEST_F(BatchTest, CornersMapToTheEdgesOfTheView) {
    std::ostringstream echo;
    EventTarget view = eventTarget(640, 640, echo);
    applyEvent({1, EventKind::Press, 0, 0, 1}, view);
    EXPECT_NEAR(mouseTarget(1, 1), -49.0f, 1e-4f);
    EXPECT_NEAR(mouseTarget(2, 1), 50.0f, 1e-4f);
    applyEvent({1, EventKind::Drag, 640, 640, 2}, view);
    EXPECT_NEAR(mouseTarget(1, 1), 46.0f, 1e-4f);
    EXPECT_NEAR(mouseTarget(2, 1), -50.0f, 1e-4f);
}

TEST_F(BatchTest, WindowSizeScalesTheCursorMapping) {
    // The same fraction of a wider, shorter window is the same target.
    std::ostringstream echo;
    EventTarget wide = eventTarget(1280, 320, echo);
    applyEvent({1, EventKind::Press, 960, 80, 1}, wide);
    EXPECT_NEAR(mouseTarget(1, 1), 95.0f * 0.75f - 49.0f, 1e-4f);
    EXPECT_NEAR(mouseTarget(2, 1), 50.0f - 100.0f * 0.25f, 1e-4f);
    // A resize event changes the mapping of the events after it.
    applyEvent({2, EventKind::Resize, 640, 640, 2}, wide);
    applyEvent({2, EventKind::Drag, 320, 320, 3}, wide);
    EXPECT_NEAR(mouseTarget(1, 1), -1.5f, 8e-6f);
    EXPECT_NEAR(mouseTarget(2, 1), 0.0f, 1e-5f);
}

TEST_F(BatchTest, DragMovesTheTargetAndReleaseKeepsIt) {
    std::ostringstream echo;
    EventTarget view = eventTarget(640, 640, echo);
    applyEvent({1, EventKind::Drag, 0, 0, 1}, view);
    EXPECT_EQ(mouseDown, -1) << "a drag alone does not press the button";
    EXPECT_NEAR(mouseTarget(1, 1), -49.0f, 1e-4f);
    applyEvent({2, EventKind::Press, 320, 320, 2}, view);
    EXPECT_EQ(mouseDown, 1);
    applyEvent({3, EventKind::Drag, 640, 320, 3}, view);
    EXPECT_EQ(mouseDown, 1);
    EXPECT_NEAR(mouseTarget(1, 1), 46.0f, 1e-4f);
    applyEvent({4, EventKind::Release, 0, 0, 4}, view);
    EXPECT_EQ(mouseDown, 0);
    EXPECT_NEAR(mouseTarget(1, 1), 46.0f, 1e-4f) << "release leaves the target where it was";
    EXPECT_NEAR(mouseTarget(2, 1), 0.0f, 1e-4f);
}

TEST_F(BatchTest, ArrowKeysChangeStepsPerFrameAndOnlyTheRightOneEchoes) {
    std::ostringstream echo;
    EventTarget view = eventTarget(640, 640, echo);
    applyEvent({1, EventKind::RightKey, 0, 0, 1}, view);
    applyEvent({1, EventKind::RightKey, 0, 0, 2}, view);
    EXPECT_EQ(stepsPerFrame, 32);
    EXPECT_EQ(echo.str(), "31\n32\n");
    for (int i = 0; i < 40; ++i) {
        applyEvent({2, EventKind::LeftKey, 0, 0, 3}, view);
    }
    EXPECT_EQ(stepsPerFrame, 1);
    EXPECT_EQ(echo.str(), "31\n32\n");
}

// ---- Energy and tip ----

StateVector stateWithAngles(const double* angles) {
    StateVector state{};
    for (int i = 0; i < LINK_COUNT; ++i) {
        state[LINK_COUNT + i] = static_cast<float>(angles[i]);
    }
    return state;
}

TEST_F(BatchTest, HangingChainHasTheLowestPotentialAndItsTipTwentyBelow) {
    double angles[LINK_COUNT] = {};
    angles[0] = -PI / 2;
    const StateVector state = stateWithAngles(angles);
    // Centres of mass at depths 0.5, 1.5, ..., 19.5: m g sum = 9.81 x 200.
    EXPECT_NEAR(potentialEnergy(state), -1962.0, 1e-9);
    EXPECT_NEAR(kineticEnergy(state), 0.0, 1e-12);
    const TipPosition tip = tipPosition(state);
    EXPECT_NEAR(tip.x, 0.0, 1e-5);  // the float angle is within 5e-8 of -pi/2
    EXPECT_NEAR(tip.y, -20.0, 1e-9);
}

TEST_F(BatchTest, TipOfAZigzagAndOfAStraightHorizontalChain) {
    double angles[LINK_COUNT] = {};
    TipPosition tip = tipPosition(stateWithAngles(angles));
    EXPECT_DOUBLE_EQ(tip.x, 20.0);
    EXPECT_DOUBLE_EQ(tip.y, 0.0);
    EXPECT_DOUBLE_EQ(potentialEnergy(stateWithAngles(angles)), 0.0);
    // Up 90 degrees, then alternate right and left turns: links point up,
    // right, up, right, ... ten of each.
    angles[0] = PI / 2;
    for (int i = 1; i < LINK_COUNT; ++i) {
        angles[i] = i % 2 == 1 ? -PI / 2 : PI / 2;
    }
    const StateVector zigzag = stateWithAngles(angles);
    tip = tipPosition(zigzag);
    EXPECT_NEAR(tip.x, 10.0, 1e-5);
    EXPECT_NEAR(tip.y, 10.0, 1e-5);
    // Upward links have centres at 0.5, 1.5, ..., 9.5; rightward ones at 1..10.
    EXPECT_NEAR(potentialEnergy(zigzag), 9.81 * (50.0 + 55.0), 1e-4);
}

TEST_F(BatchTest, MassMatrixOfTheStraightChainAboutTheBaseIsItsMomentOfInertia) {
    double angles[LINK_COUNT] = {};
    angles[0] = 0.3;
    const MassMatrix m = massMatrix(stateWithAngles(angles));
    // Rotating the rigid chain about joint 1: sum of (i - 1/2)^2 + 1/12 over
    // 20 links = 20^3 / 3. About joint 20 alone: 1/3.
    EXPECT_NEAR(m[0][0], 8000.0 / 3.0, 1e-9);
    EXPECT_NEAR(m[LINK_COUNT - 1][LINK_COUNT - 1], 1.0 / 3.0, 1e-12);
    for (int k = 0; k < LINK_COUNT; ++k) {
        for (int l = 0; l < LINK_COUNT; ++l) {
            EXPECT_EQ(m[k][l], m[l][k]);
        }
    }
}

TEST_F(BatchTest, KineticEnergyOfMomentaFromTheMatrixModelMatchesTheRigidRotation) {
    // The straight chain turning at w about its base: T = 1/2 (8000/3) w^2.
    Matrix q(LINK_COUNT, 1);
    Matrix qdot(LINK_COUNT, 1);
    q.zero();
    qdot.zero();
    q(1, 1) = -0.4f;
    qdot(1, 1) = 1.5f;
    const Matrix x = computeMomenta(q, qdot);
    StateVector state{};
    for (int i = 0; i < STATE_SIZE; ++i) {
        state[i] = x(i + 1, 1);
    }
    const double expected = 0.5 * (8000.0 / 3.0) * 1.5 * 1.5;
    EXPECT_NEAR(kineticEnergy(state), expected, 1e-5 * expected);
}

TEST_F(BatchTest, KineticEnergyOfABentMovingChainMatchesHalfQdotMQdot) {
    // Any angles and rates: with p = M qdot in double, 1/2 p^T M^-1 p must
    // equal 1/2 qdot^T M qdot. Momenta are rounded to float, so the two agree
    // to the conditioning of M times float rounding.
    double angles[LINK_COUNT];
    double rates[LINK_COUNT];
    for (int i = 0; i < LINK_COUNT; ++i) {
        angles[i] = 0.7 * std::sin(1.3 * i + 0.2);
        rates[i] = 0.9 * std::cos(2.1 * i);
    }
    StateVector state = stateWithAngles(angles);
    const MassMatrix m = massMatrix(state);
    double twiceT = 0.0;
    for (int k = 0; k < LINK_COUNT; ++k) {
        double p = 0.0;
        for (int l = 0; l < LINK_COUNT; ++l) {
            p += m[k][l] * rates[l];
        }
        state[k] = static_cast<float>(p);
        twiceT += p * rates[k];
    }
    EXPECT_NEAR(kineticEnergy(state), 0.5 * twiceT, 1e-3 * 0.5 * twiceT);
}

// Chains of other lengths: the linear-time solve behind the energy of long
// chains gives joint rates whose momenta M qdot are the state's (residual to
// 1e-9 of |p|, where cond(M) u in double is about 1e-9 for these bent
// chains), and at 40 links 1/2 p.qdot equals the dense Cholesky energy.
TEST_F(BatchTest, LinearTimeJointRatesSolveTheMassMatrixForAnyLength) {
    for (const int n : {1, 40, 150}) {
        StateVector state(2 * n);
        for (int i = 0; i < n; ++i) {
            state[i] = static_cast<float>(10.0 * std::cos(0.7 * i));
            state[n + i] = static_cast<float>(0.5 * std::sin(1.3 * i + 0.2));
        }
        const std::vector<double> rates = jointRatesOf(state);
        const MassMatrix m = massMatrix(state);
        ASSERT_EQ(rates.size(), static_cast<std::size_t>(n));
        double residual = 0.0;
        double momentum = 0.0;
        double twiceT = 0.0;
        for (int k = 0; k < n; ++k) {
            double p = 0.0;
            for (int l = 0; l < n; ++l) {
                p += m[k][l] * rates[l];
            }
            residual += (p - state[k]) * (p - state[k]);
            momentum += static_cast<double>(state[k]) * state[k];
            twiceT += static_cast<double>(state[k]) * rates[k];
        }
        EXPECT_LT(std::sqrt(residual / momentum), 1e-9) << n << " links";
        if (n <= DENSE_ENERGY_LINKS) {
            EXPECT_NEAR(kineticEnergy(state), 0.5 * twiceT, 1e-9 * 0.5 * twiceT) << n << " links";
        }
    }
}

TEST_F(BatchTest, EnergyOfANonFiniteStateIsNotANumber) {
    StateVector state = restingState;
    state[LINK_COUNT + 3] = std::nanf("");
    EXPECT_TRUE(std::isnan(chainEnergy(state)));
}

// ---- CSV ----

std::vector<std::string> splitFields(const char* row, std::size_t length) {
    std::vector<std::string> fields;
    std::string field;
    for (std::size_t i = 0; i < length; ++i) {
        if (row[i] == ',' || row[i] == '\n') {
            fields.push_back(field);
            field.clear();
        } else {
            field += row[i];
        }
    }
    return fields;
}

TEST_F(BatchTest, HeaderNamesEveryColumn) {
    const std::string header(csvHeader());
    ASSERT_FALSE(header.empty());
    EXPECT_EQ(header.back(), '\n');
    const auto fields = splitFields(header.data(), header.size());
    ASSERT_EQ(fields.size(), static_cast<std::size_t>(2 + STATE_SIZE + 3));
    EXPECT_EQ(fields[0], "step");
    EXPECT_EQ(fields[1], "time");
    EXPECT_EQ(fields[2], "p1");
    EXPECT_EQ(fields[21], "p20");
    EXPECT_EQ(fields[22], "q1");
    EXPECT_EQ(fields[41], "q20");
    EXPECT_EQ(fields[42], "energy");
    EXPECT_EQ(fields[43], "tip_x");
    EXPECT_EQ(fields[44], "tip_y");
}

TEST_F(BatchTest, RowReadsBackBitForBit) {
    StateVector state{};
    for (int i = 0; i < STATE_SIZE; ++i) {
        // Values with full 24-bit mantissas, of both signs and many scales.
        state[i] = static_cast<float>(std::ldexp(std::sin(3.7 * i + 1.0), (i % 13) - 6));
    }
    state[5] = -0.0f;
    state[6] = 1e-40f;  // subnormal
    state[7] = 3.0e38f;
    char row[CSV_ROW_CAPACITY];
    const std::size_t length = formatCsvRow(row, 1234567, state);
    ASSERT_LT(length, CSV_ROW_CAPACITY);
    ASSERT_EQ(row[length - 1], '\n');
    const auto fields = splitFields(row, length);
    ASSERT_EQ(fields.size(), static_cast<std::size_t>(2 + STATE_SIZE + 3));
    EXPECT_EQ(fields[0], "1234567");
    EXPECT_EQ(fields[1], "1234.567");
    for (int i = 0; i < STATE_SIZE; ++i) {
        const float back = std::strtof(fields[2 + i].c_str(), nullptr);
        EXPECT_EQ(std::memcmp(&back, &state[i], sizeof back), 0) << "column " << 2 + i << ": " << fields[2 + i];
    }
    const double energy = std::strtod(fields[42].c_str(), nullptr);
    const TipPosition tip = tipPosition(state);
    const double energyWritten = chainEnergy(state);
    EXPECT_EQ(std::memcmp(&energy, &energyWritten, sizeof energy), 0) << fields[42];
    EXPECT_EQ(std::strtod(fields[43].c_str(), nullptr), tip.x);
    EXPECT_EQ(std::strtod(fields[44].c_str(), nullptr), tip.y);
}

TEST_F(BatchTest, TimeIsTheStepInThousandths) {
    char row[CSV_ROW_CAPACITY];
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "0.000"}, {1, "0.001"}, {10, "0.010"}, {999, "0.999"}, {1000, "1.000"}, {2147483647, "2147483.647"}};
    for (const auto& [step, time] : cases) {
        const std::size_t length = formatCsvRow(row, step, restingState);
        const auto fields = splitFields(row, length);
        ASSERT_GE(fields.size(), 2u);
        EXPECT_EQ(fields[0], std::to_string(step));
        EXPECT_EQ(fields[1], time);
    }
}


// ---- Double ensembles ----

// Everything a run writes to a file, read back.
template <class Run>
std::string writtenBy(Run run) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    run(file);
    std::rewind(file);
    std::string text;
    char block[4096];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;) {
        text.append(block, n);
    }
    std::fclose(file);
    return text;
}

// Member 0 of a double ensemble, stepped in the lanes of a group of four with
// members 1 to 4 perturbed beside it, writes the rows of the plain double run
// of the options' chain bit for bit, as --member 0 does: a chain of other
// length, gravity and damping (floats whose decimals double takes), dragged
// by the spring, its damping and links set by the script and reset.
TEST_F(BatchTest, MemberZeroOfADoubleEnsembleIsThePlainDoubleRun) {
    const std::string script =
        "0 press 320 320\n"
        "1 drag 500 100\n"
        "300 drag 100 600\n"
        "400 set damping 0.7\n"
        "450 set links 9\n"
        "500 release\n"
        "600 reset\n"
        "700 press 100 100\n";
    BatchOptions options;
    options.chain.links = 12;
    options.chain.gravity = 3.7f;
    options.chain.damping = 4.5f;
    options.chain.initialAngle = -0.3f;
    options.precision = Precision::Double;
    options.steps = 1000;
    options.stepsGiven = true;
    options.every = 50;
    options.everyGiven = true;
    const std::string plain = writtenBy([&](std::FILE* out) { runBatch(options, parseOk(script), out); });

    options.ensemble = true;
    options.setUp.members = 5;
    options.setUp.perturbation = 1e-6;
    options.member = 0;
    const std::string alone = writtenBy([&](std::FILE* out) { runEnsemble(options, parseOk(script), out); });
    options.member.reset();
    const std::string ensemble = writtenBy([&](std::FILE* out) { runEnsemble(options, parseOk(script), out); });

    // Member 0's block, its rows and headers after the run's first line,
    // with the member column taken off.
    std::string memberZero;
    std::istringstream lines(ensemble);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line) && !line.starts_with("# member 0:")) {
        memberZero += line.substr(line.find(',') + 1) + "\n";
    }
    ASSERT_NE(plain.find("\nstep,time,p1,"), std::string::npos) << "the reset to 9 links starts a new header";
    EXPECT_EQ(plain.size(), memberZero.size());
    EXPECT_TRUE(plain == memberZero) << "member 0 in the ensemble leaves the plain double run";
    EXPECT_TRUE(plain == alone) << "--member 0 leaves the plain double run";
}

}  // namespace
