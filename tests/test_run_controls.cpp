// The window program's run controls without a window: the key rules, the
// real-time pacing, the readouts and the state hash.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <vector>

#include "sim/application.h"
#include "sim/companions.h"
#include "sim/ensemble.h"
#include "sim/diagnostics.h"
#include "sim/live_input.h"
#include "sim/pacing.h"
#include "sim/readouts.h"
#include "sim/recorder.h"
#include "sim/run_controls.h"
#include "sim/session.h"
#include "sim/state_hash.h"
#include "window/options.h"

namespace {

class RunControlsTest : public ::testing::Test {
protected:
    void SetUp() override { startAfresh(ChainDescription{}); }

    void startAfresh(const ChainDescription& description, Precision precision = Precision::Float) {
        session = freshRun(description, precision, WINDOW_WIDTH, WINDOW_HEIGHT, echo);
    }

    void press(unsigned char key) { applyRunCommand(runCommandOf(key), session, log); }

    // Swings the chain with the tip spring, so that state and slopes are far
    // from their start.
    void swing(int steps) {
        liveInput(session, {0, EventKind::Press, 600, 320, 0});
        for (int i = 0; i < steps; ++i) {
            sessionStep(session, log);
        }
    }

    std::ostringstream echo;
    Session session;
    RunControls& controls = session.controls;
    Pacing pacing;
    std::ostringstream log;
};

// The window's and the page's run keep the ledger's books: a swing on the
// spring books damping and spring work that balance the energy, the panel
// shows the drift in ppm, and a reset starts the books again.
TEST_F(RunControlsTest, TheRunKeepsTheEnergyLedger) {
    keepEnergyLedger = true;
    startAfresh(ChainDescription{});
    swing(3000);
    const double energy = chainEnergy(runState());
    EXPECT_GT(runLedger.dampingWork(), 100.0);
    EXPECT_GT(runLedger.springWork(), 100.0);
    EXPECT_LT(std::abs(runLedger.drift(energy)), 1e-3 * runLedger.springWork());
    Readouts readouts;
    controls.panelShown = true;
    updateReadouts(readouts, controls, 0.0);
    EXPECT_DOUBLE_EQ(readouts.energyDrift, runLedger.drift(energy) / energyScale(LINK_COUNT, 9.81) * 1e6);
    press(KEY_RESET);
    EXPECT_EQ(runLedger.dampingWork(), 0.0);
    EXPECT_EQ(runLedger.springWork(), 0.0);
    keepEnergyLedger = false;
}

// The shadow and the fan: an undamped chain released level has a positive
// exponent and its fan spreads; a damped chain hanging at rest has a negative
// one; a reset starts them again EPS from the chain.
TEST_F(RunControlsTest, TheShadowSeparatesAndTheFanSpreads) {
    const auto run = [this](float damping, float initialAngle, int steps) {
        ChainDescription description;
        description.damping = damping;
        description.initialAngle = initialAngle;
        startAfresh(description);
        press(KEY_SHADOW);
        for (int i = 0; i < steps; ++i) {
            sessionStep(session, log);
        }
    };
    run(0.0f, 0.0f, 6000);
    press(KEY_FAN);
    EXPECT_EQ(companionCount(), 1 + DEFAULT_FAN_MEMBERS);
    EXPECT_TRUE(companionIsShadow(0) && !companionIsShadow(1));
    const double exponent = shadowExponent();
    EXPECT_GT(exponent, 0.5);
    EXPECT_EQ(fanSpread(), fanSpread());
    const double startingSpread = fanSpread();
    for (int i = 0; i < 3000; ++i) {
        sessionStep(session, log);
    }
    EXPECT_GT(fanSpread(), 10 * startingSpread);
    press(KEY_RESET);
    // At rest again: the shadow is the run moved by EPS u(1, 1, j), as
    // chain20-batch's member 1.
    double moved = 0.0;
    for (int j = 1; j <= LINK_COUNT; ++j) {
        moved += std::pow(DEFAULT_COMPANION_PERTURBATION * perturbationUnit(1, 1, j), 2);
    }
    EXPECT_NEAR(shadowSeparation(), std::sqrt(moved), 0.01 * std::sqrt(moved));
    press(KEY_FAN);
    press(KEY_SHADOW);
    EXPECT_EQ(companionCount(), 0);
    run(30.0f, ChainDescription{}.initialAngle, 6000);
    std::cout << "exponents: " << exponent << " /s undamped and level, " << shadowExponent()
              << " /s damped and hanging\n";
    EXPECT_LE(shadowExponent(), 0.0);
    press(KEY_SHADOW);
}

// Members 1 to `members` of an ensemble with EPS `perturbation` (seed 1), each
// stepped alone `steps` steps from its start: their joint angles, as the
// window draws them.
template <class Real>
std::vector<std::vector<float>> ensembleAngles(const ChainDescription& description, double perturbation,
                                               int members, int steps) {
    EnsembleSetUp setUp;
    setUp.members = members + 1;
    setUp.perturbation = perturbation;
    std::vector<std::vector<float>> angles;
    for (int k = 1; k <= members; ++k) {
        MemberGroup<Real> member(setUp, k, k);
        member.take(InputChange{1, description, {{0.0f, 0.0f}, -1}, false, true});
        for (int i = 0; i < steps; ++i) {
            member.step();
        }
        const StateArray<Real> state = member.state(0);
        angles.emplace_back();
        for (int j = 1; j <= description.links; ++j) {
            angles.back().push_back(static_cast<float>(state[description.links + j - 1]));
        }
    }
    return angles;
}

// The shadow is member 1 of chain20-batch's ensemble with --perturb EPS and
// the fan's k-th chain member k, k from 1: each starts where that member
// starts and runs free as it runs alone, never drawn back, so that the shadow
// of an undamped chain released level is seen to part from it.
TEST_F(RunControlsTest, TheShadowAndTheFanAreTheEnsemblesMembers) {
    ChainDescription description;
    description.damping = 0.0f;
    description.initialAngle = 0.0f;
    constexpr int FAN = 3;
    companionSettings.fanMembers = FAN;
    for (const Precision precision : {Precision::Float, Precision::Double}) {
        startAfresh(description, precision);
        press(KEY_SHADOW);
        press(KEY_FAN);
        ASSERT_EQ(companionCount(), 1 + FAN);
        for (const int steps : {0, 10000}) {
            SCOPED_TRACE(::testing::Message() << (precision == Precision::Float ? "float" : "double") << " after "
                                              << steps << " steps");
            for (int i = controls.stepsRun; i < steps; ++i) {
                sessionStep(session, log);
            }
            const auto members = precision == Precision::Float
                                     ? ensembleAngles<float>(description, DEFAULT_COMPANION_PERTURBATION, FAN, steps)
                                     : ensembleAngles<double>(description, DEFAULT_COMPANION_PERTURBATION, FAN, steps);
            // Companion 0 is the shadow, member 1; companion k the fan's k-th.
            for (int c = 0; c <= FAN; ++c) {
                const std::vector<float>& member = members[static_cast<std::size_t>(std::max(c, 1) - 1)];
                for (int j = 1; j <= LINK_COUNT; ++j) {
                    ASSERT_EQ(companionAngle(c, j), member[static_cast<std::size_t>(j - 1)])
                        << "companion " << c << ", joint " << j;
                }
            }
        }
        // Parted by 10 s: a shadow drawn back to EPS every 0.1 s stays within
        // 1e-4 rad.
        EXPECT_GT(shadowSeparation(), 1.0);
        press(KEY_SHADOW);
        press(KEY_FAN);
    }
    companionSettings.fanMembers = DEFAULT_FAN_MEMBERS;
}

TEST_F(RunControlsTest, PauseSingleStepAndResume) {
    swing(200);
    press(KEY_PAUSE);
    ASSERT_TRUE(controls.paused);
    const StateVector held = currentState;
    // Paused: idle calls run no step, yet pictures keep coming about 60 times a
    // second with sleep in between.
    int pictures = 0;
    for (int i = 0; i < 60; ++i) {
        const IdleOutcome outcome = idleWork(session, pacing, 100.0 + i * 0.005, log);
        pictures += outcome.redisplay ? 1 : 0;
        EXPECT_LE(outcome.sleepSeconds, FRAME_SECONDS);
    }
    EXPECT_EQ(currentState, held);
    EXPECT_EQ(controls.stepsRun, 200);
    EXPECT_GE(pictures, 17);
    EXPECT_LE(pictures, 19);

    // '.' runs exactly one step: the same as one step of the running chain
    // from the same state and slopes.
    const std::array<StateVector, 4> slopes = {k1, k2, k3, k4};
    const RunControls pausedControls = controls;
    controls.paused = false;
    sessionStep(session, log);
    controls = pausedControls;
    const StateVector oneStep = currentState;
    currentState = held;
    k1 = slopes[0];
    k2 = slopes[1];
    k3 = slopes[2];
    k4 = slopes[3];
    press(KEY_SINGLE_STEP);
    EXPECT_EQ(controls.stepsRun, 201);
    EXPECT_NE(currentState, held);
    EXPECT_EQ(currentState, oneStep);
    const StateVector stepped = currentState;
    press(KEY_PAUSE);
    ASSERT_FALSE(controls.paused);
    press(KEY_SINGLE_STEP);
    EXPECT_EQ(controls.stepsRun, 201);
    EXPECT_EQ(currentState, stepped);
    EXPECT_FALSE(idleWork(session, pacing, 200.0, log).sleepSeconds > 0.0);
    EXPECT_EQ(controls.stepsRun, 202);
}

TEST_F(RunControlsTest, ResetBringsBackTheStart) {
    const StateVector start = currentState;
    swing(1500);
    ASSERT_NE(currentState, start);
    press(KEY_RESET);
    EXPECT_EQ(currentState, restingState);
    EXPECT_EQ(currentState, start);
    for (const StateVector* slopes : {&k1, &k2, &k3, &k4}) {
        for (const float value : *slopes) {
            ASSERT_EQ(value, 0.0f);
        }
    }
    for (int k = 0; k < LINK_COUNT; ++k) {
        EXPECT_EQ(jointAngles(k + 1, 1), start[LINK_COUNT + k]) << k;
    }
    EXPECT_EQ(controls.stepsSinceReset, 0);
    EXPECT_EQ(stepCount, 0);
    EXPECT_EQ(controls.stepsRun, 1500);  // the script's clock runs on
    EXPECT_EQ(controls.resets, 1);
    // The spring still holds the tip: the reset chain is pulled again at once.
    sessionStep(session, log);
    EXPECT_NE(currentState, start);
}

TEST_F(RunControlsTest, ToggleAndQuitKeys) {
    press(KEY_HELP);
    press(KEY_PANEL);
    EXPECT_TRUE(controls.helpShown);
    EXPECT_TRUE(controls.panelShown);
    press(KEY_HELP);
    press(KEY_PANEL);
    EXPECT_FALSE(controls.helpShown);
    EXPECT_FALSE(controls.panelShown);
    EXPECT_EQ(runCommandOf('x'), RunCommand::None);
    EXPECT_EQ(runCommandOf('R'), RunCommand::None);
    EXPECT_FALSE(controls.quitRequested);
    press(KEY_ESCAPE);
    EXPECT_TRUE(controls.quitRequested);
    EXPECT_EQ(runCommandOf(KEY_QUIT), RunCommand::Quit);
    EXPECT_EQ(controls.stepsRun, 0);
    EXPECT_EQ(currentState, restingState);
}

TEST(RealTimePacing, OneStepPerWallMillisecond) {
    RealTimeClock clock;
    EXPECT_EQ(stepsDue(clock, 50.0), 0);  // the clock starts
    // Ten seconds of pictures at 60 Hz: 10,000 steps, 16 or 17 each.
    std::int64_t total = 0;
    for (int frame = 1; frame <= 600; ++frame) {
        const std::int64_t due = stepsDue(clock, 50.0 + frame / 60.0);
        EXPECT_GE(due, 16);
        EXPECT_LE(due, 17);
        total += due;
    }
    EXPECT_EQ(total, 10000);
    // A machine far behind drops the backlog instead of catching up.
    EXPECT_EQ(stepsDue(clock, 62.0), MOST_STEPS_BEHIND);
    EXPECT_EQ(stepsDue(clock, 62.0105), 10);
    // Time away with the clock stopped is not caught up.
    stopClock(clock);
    EXPECT_EQ(stepsDue(clock, 90.0), 0);
    EXPECT_EQ(stepsDue(clock, 90.0205), 20);
}

// Pictures at the display's pace (the page's animation frames) take the
// steps per frame at machine speed, those wall time calls for in real time,
// none while paused; time paused is not caught up.
TEST(RealTimePacing, PicturesAtTheDisplaysPaceTakeTheStepsTheControlsCallFor) {
    RunControls controls;
    RealTimeClock clock;
    stepsPerFrame = 7;
    EXPECT_EQ(stepsForPicture(controls, clock, 1.0), 7);
    controls.realTime = true;
    EXPECT_EQ(stepsForPicture(controls, clock, 2.0), 0);  // the clock starts
    EXPECT_EQ(stepsForPicture(controls, clock, 2.0 + 1.0 / 60.0), 16);
    controls.paused = true;
    EXPECT_EQ(stepsForPicture(controls, clock, 3.0), 0);
    controls.paused = false;
    EXPECT_EQ(stepsForPicture(controls, clock, 4.0), 0);
    EXPECT_EQ(stepsForPicture(controls, clock, 4.0205), 20);
    controls.realTime = false;
    controls.paused = true;
    EXPECT_EQ(stepsForPicture(controls, clock, 5.0), 0);
    controls.paused = false;
    EXPECT_EQ(stepsForPicture(controls, clock, 6.0), 7);
    EXPECT_FALSE(clock.running);
    stepsPerFrame = INITIAL_STEPS_PER_FRAME;
}

TEST(RealTimePacing, PicturesAboutSixtyTimesASecond) {
    FramePacer pacer;
    int pictures = 0;
    for (int ms = 0; ms < 1000; ++ms) {
        pictures += frameDue(pacer, 10.0 + ms / 1000.0) ? 1 : 0;
        EXPECT_LE(secondsToNextFrame(pacer, 10.0 + ms / 1000.0), FRAME_SECONDS + 1e-9);
    }
    EXPECT_GE(pictures, 59);
    EXPECT_LE(pictures, 61);
    // After a long stall, one picture, then the regular pace again.
    EXPECT_TRUE(frameDue(pacer, 20.0));
    EXPECT_FALSE(frameDue(pacer, 20.01));
    EXPECT_NEAR(secondsToNextFrame(pacer, 20.0), FRAME_SECONDS, 1e-9);
}

TEST_F(RunControlsTest, ReadoutsEnergyAndRates) {
    Readouts readouts;
    controls.panelShown = true;
    updateReadouts(readouts, controls, 0.0);
    EXPECT_NEAR(readouts.kinetic, 0.0, 1e-9);
    EXPECT_NEAR(readouts.potential, -1962.0, 1e-3);  // 20 links, centres at -(i - 1/2), m g = 9.81
    // 15 s of simulated time at 1,000 steps per wall second, a picture every
    // 40 steps: the plot keeps the last 10 s, one sample per 0.05 s.
    for (int frame = 1; frame <= 375; ++frame) {
        controls.stepsRun += 40;
        controls.stepsSinceReset += 40;
        updateReadouts(readouts, controls, frame * 0.04);
    }
    EXPECT_EQ(readouts.totalEnergy.size(), ENERGY_SAMPLES);
    EXPECT_NEAR(readouts.stepRate.perSecond, 1000.0, 1e-6);
    EXPECT_NEAR(readouts.frameRate.perSecond, 25.0, 1e-6);
    EXPECT_EQ(readouts.stepsLastFrame, 40);
    EXPECT_NEAR(realTimeFactor(readouts.stepRate.perSecond), 1.0, 1e-9);
    EXPECT_EQ(simulatedSeconds(15000), 15.0);
    // A reset starts the plot over.
    press(KEY_RESET);
    updateReadouts(readouts, controls, 16.0);
    EXPECT_EQ(readouts.totalEnergy.size(), 1u);
    EXPECT_FLOAT_EQ(readouts.totalEnergy[0], -1962.0f);
}

TEST(StateHash, FnvOneAOverLittleEndianBytes) {
    // "abcdefgh" as two floats whose little-endian bytes spell it.
    const float letters[2] = {std::bit_cast<float>(0x64636261u), std::bit_cast<float>(0x68676665u)};
    EXPECT_EQ(hashText(stateHash(letters, 2)), "25da8c1836a8d66d");
    EXPECT_EQ(hashText(stateHash(letters, 0)), "cbf29ce484222325");  // the offset basis
    // Every bit counts: 0 and -0 differ.
    const float zero[2] = {1.0f, 0.0f};
    const float negativeZero[2] = {1.0f, -0.0f};
    EXPECT_EQ(hashText(stateHash(zero, 2)), "097a29ee2da29518");
    EXPECT_EQ(hashText(stateHash(negativeZero, 2)), "0979a9ee2da1bb98");  // leading zero kept
}

}  // namespace

namespace {

// The hash of a script's events, as a replay reads them.
std::string eventsHashOf(const std::string& script) {
    std::vector<ScriptEvent> events;
    std::string error;
    EXPECT_TRUE(parseEventScript(script, "recording", 1000, events, error)) << error;
    return hashText(scriptHash(events));
}

TEST_F(RunControlsTest, RecorderWritesEachInputAtTheStepBeforeWhichItActed) {
    Recorder recorder("chain20", "2026-01-02 03:04:05 UTC", chain, 640, 480);
    session.recorder = &recorder;
    liveInput(session, {0, EventKind::Press, 600, 320, 0});  // before the first step
    for (int i = 0; i < 10; ++i) {
        sessionStep(session, log);
    }
    liveInput(session, {0, EventKind::Drag, 500, 100, 0});
    // The window system's keys and sizes: only the arrows and a new size are
    // input.
    constexpr int KEY_UP = 101;  // GLUT's up arrow
    EXPECT_FALSE(applyArrowKey(KEY_UP, session));
    EXPECT_FALSE(applyWindowSize(WINDOW_WIDTH, WINDOW_HEIGHT, session));
    EXPECT_TRUE(applyWindowSize(800, 500, session));
    EXPECT_EQ(session.target.view.viewport, (std::array<int, 4>{0, 0, 800, 500}));
    EXPECT_TRUE(applyArrowKey(KEY_RIGHT, session));
    sessionStep(session, log);
    press(KEY_RESET);
    sessionStep(session, log);
    sessionStep(session, log);
    const std::string hash = hashText(stateHash(currentState.data(), currentState.size()));
    const std::string events =
        "0 set links 20\n"
        "0 set gravity 9.81\n"
        "0 set damping 30\n"
        "0 set stiffness 200\n"
        "0 set initial-angle -1.570796\n"
        "0 resize 640 480\n"
        "1 press 600 320\n"
        "11 drag 500 100\n"
        "11 resize 800 500\n"
        "11 right\n"
        "12 reset\n";
    const std::string finalLine =
        "# final: step 13, state hash " + hash + ", events hash " + eventsHashOf(events) + "\n";
    EXPECT_EQ(recorder.script(controls.stepsRun, currentState),
              "# recorded by chain20 on 2026-01-02 03:04:05 UTC\n" + events + finalLine);
    EXPECT_EQ(echo.str(), "31\n");

    // Input after the last step never acted on one: it stays a comment, and
    // the hash is that of the state after that step, not of the reset chain
    // that the key after the reset found.
    press(KEY_RESET);
    EXPECT_EQ(currentState, restingState);
    liveInput(session, {0, EventKind::RightKey, 0, 0, 0});
    const std::string script = recorder.script(controls.stepsRun, currentState);
    EXPECT_NE(script.find("12 reset\n"
                          "# after the last step, not replayed: 14 reset\n"
                          "# after the last step, not replayed: 14 right\n" +
                          finalLine),
              std::string::npos)
        << script;

    // A run the window system ended says so just before its final line.
    const std::string ended = recorder.script(controls.stepsRun, currentState, "the X connection was lost");
    EXPECT_EQ(ended, script.substr(0, script.rfind("# final:")) + "# the run ended here: the X connection was lost\n" +
                         finalLine);
}

// What remains of the command line after chain20's own options: GLUT's
// options pass, anything else is named in one line.
TEST(WindowCommandLine, OnlyGlutsOwnOptionsRemain) {
    const auto check = [](std::vector<std::string> words, std::string& error) {
        std::vector<char*> argv{const_cast<char*>("chain20")};
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        int argc = static_cast<int>(argv.size()) - 1;
        WindowOptions options;
        error.clear();
        return takeWindowOptions(argc, argv.data(), options, error) && onlyGlutOptionsRemain(argc, argv.data(), error);
    };
    std::string error;
    EXPECT_TRUE(check({"-display", ":1", "--record", "r.txt", "-geometry", "640x480+0+0", "-direct", "-indirect",
                       "-iconic", "-gldebug", "-sync"},
                      error))
        << error;
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"--link", "200"}, "unknown option '--link'"},
        {{"--record", "r.txt", "200"}, "unexpected argument '200'"},
        {{"-display"}, "-display needs a value"},
        {{"-display", ":1", "-geometry"}, "-geometry needs a value"},
        {{"-syncing"}, "unknown option '-syncing'"},
        {{std::string(100, 'x')}, "unexpected argument '" + std::string(40, 'x') + "'"},
    };
    for (const auto& [words, message] : refused) {
        EXPECT_FALSE(check(words, error)) << words.front();
        EXPECT_EQ(error, message);
    }
}

TEST_F(RunControlsTest, PlaybackAppliesTheScriptAndIgnoresOnlyLiveMouseUntilItEnds) {
    std::vector<ScriptEvent> events;
    std::string error;
    ASSERT_TRUE(parseEventScript("0 press 600 320\n5 drag 40 320\n8 reset\n", "s", 100, events, error)) << error;
    session.script = events;
    Recorder recorder("chain20", "today", chain, 640, 640);
    session.recorder = &recorder;
    liveInput(session, {0, EventKind::Press, 10, 10, 0});  // ignored: the script plays
    EXPECT_EQ(mouseDown, -1);
    for (int i = 0; i < 4; ++i) {
        sessionStep(session, log);
    }
    EXPECT_EQ(mouseDown, 1);
    EXPECT_NEAR(mouseTarget(1, 1), 95.0f * 600 / 640 - 49, 1e-4f);
    liveInput(session, {0, EventKind::Drag, 10, 10, 0});  // ignored
    sessionStep(session, log);
    EXPECT_NEAR(mouseTarget(1, 1), 95.0f * 40 / 640 - 49, 1e-4f);  // the script's drag before step 5
    press(KEY_PAUSE);  // keys still work
    EXPECT_TRUE(controls.paused);
    press(KEY_PAUSE);
    liveInput(session, {0, EventKind::RightKey, 0, 0, 0});  // the arrows too
    EXPECT_EQ(stepsPerFrame, INITIAL_STEPS_PER_FRAME + 1);
    press(KEY_RESET);  // and so does a reset
    EXPECT_EQ(currentState, restingState);
    EXPECT_EQ(controls.resets, 1);
    sessionStep(session, log);
    sessionStep(session, log);
    EXPECT_TRUE(scriptPlaying(session));  // the reset comes before step 8
    sessionStep(session, log);
    EXPECT_FALSE(scriptPlaying(session));
    EXPECT_EQ(controls.resets, 2);
    EXPECT_EQ(controls.stepsSinceReset, 1);
    liveInput(session, {0, EventKind::Drag, 320, 320, 0});  // the script is over: live input acts
    EXPECT_NEAR(mouseTarget(1, 1), -1.5f, 1e-4f);
    // A played-back script is recorded like live input.
    const std::string script = recorder.script(controls.stepsRun, currentState);
    EXPECT_NE(script.find("0 resize 640 640\n1 press 600 320\n5 drag 40 320\n6 right\n6 reset\n8 reset\n"
                          "# after the last step, not replayed: 9 drag"),
              std::string::npos)
        << script;
}

}  // namespace

namespace {

ScriptEvent setTo(ChainParameter parameter, float value) {
    ScriptEvent event{0, EventKind::Set, 0, 0, 0};
    event.parameter = parameter;
    event.value = value;
    return event;
}

TEST_F(RunControlsTest, ParametersActAtOnceOrAtTheNextReset) {
    // Before the first step the starting angle acts at once.
    liveInput(session, setTo(ChainParameter::InitialAngle, -1.0f));
    EXPECT_EQ(currentState[LINK_COUNT], -1.0f);
    sessionStep(session, log);
    // Links and starting angle wait for the reset once the run has begun.
    liveInput(session, setTo(ChainParameter::Links, 5.0f));
    liveInput(session, setTo(ChainParameter::InitialAngle, -1.570796f));
    EXPECT_EQ(currentState.size(), 2 * LINK_COUNT);
    EXPECT_EQ(chain.initialAngle, -1.0f);
    const float stiffness = 123.0f;
    liveInput(session, setTo(ChainParameter::Stiffness, stiffness));
    EXPECT_EQ(chain.stiffness, stiffness);
    press(KEY_RESET);
    EXPECT_EQ(linkCount, 5);
    EXPECT_EQ(currentState.size(), 10);
    EXPECT_EQ(currentState[5], -1.570796f);
    EXPECT_EQ(chain.stiffness, stiffness);  // the live parameters carry over
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(currentState[i], i == 5 ? -1.570796f : 0.0f) << i;  // at rest, straight down
        EXPECT_EQ(k1[i], 0.0f);
    }
    sessionStep(session, log);  // the five-link chain steps
    EXPECT_EQ(controls.stepsSinceReset, 1);
    startChain(ChainDescription{});
}

// The integrator's state: the chain and the four slope arrays, whose joint
// rates damp the next step.
struct RunState {
    StateVector x, s1, s2, s3, s4;
};

RunState runState() { return {currentState, k1, k2, k3, k4}; }

void restore(const RunState& state) {
    currentState = state.x;
    k1 = state.s1;
    k2 = state.s2;
    k3 = state.s3;
    k4 = state.s4;
}

// Damping, gravity and stiffness set between steps act from the next step on,
// as in a run set up afresh with the new values from the state they were set
// at. The spring holds the tip throughout, so that stiffness acts.
TEST_F(RunControlsTest, LiveParametersActFromTheNextStep) {
    constexpr int STEPS = 50;
    const auto run = [this] {
        for (int i = 0; i < STEPS; ++i) {
            sessionStep(session, log);
        }
        return runState();
    };
    const auto freshRunFrom = [&](const RunState& start, const ChainDescription& description) {
        startAfresh(description);
        swing(0);
        restore(start);
        return run().x;
    };
    swing(STEPS);
    for (const ScriptEvent& change : {setTo(ChainParameter::Damping, 5.0f), setTo(ChainParameter::Gravity, 2.0f),
                                      setTo(ChainParameter::Stiffness, 800.0f)}) {
        const ChainDescription before = chain;
        const RunState start = runState();
        liveInput(session, change);
        const ChainDescription after = chain;
        const RunState live = run();
        EXPECT_NE(live.x, freshRunFrom(start, before)) << static_cast<int>(change.parameter);
        EXPECT_EQ(live.x, freshRunFrom(start, after)) << static_cast<int>(change.parameter);
        restore(live);
    }
    startChain(ChainDescription{});
}

}  // namespace
