#include "window/overlay.h"

#include <algorithm>
#include <cmath>

#include <GL/freeglut.h>
#include <imgui.h>
#include <backends/imgui_impl_glut.h>
#include <backends/imgui_impl_opengl2.h>

#include "sim/application.h"
#include "sim/companions.h"

namespace {

constexpr float PLOT_HEIGHT = 60.0f;
constexpr float PHASE_SIZE = 320.0f;
constexpr float PANEL_MARGIN = 8.0f;

bool anyOverlayShown(const RunControls& controls) {
    return controls.panelShown || controls.helpShown || phaseView() != PhaseView::Off;
}

// ImGui reads the buttons' state once per picture. A click whose press and
// release both fall between two pictures would go unseen, so a release that
// comes before any picture has seen its press waits for the next picture.
constexpr int IMGUI_BUTTONS = 3;
bool pressUnseen[IMGUI_BUTTONS] = {};
bool releaseWaiting[IMGUI_BUTTONS] = {};

int imguiButton(int glutButton) {
    switch (glutButton) {
        case GLUT_LEFT_BUTTON:
            return 0;
        case GLUT_RIGHT_BUTTON:
            return 1;
        case GLUT_MIDDLE_BUTTON:
            return 2;
        default:
            return -1;
    }
}

void releaseWaitingButtons() {
    ImGuiIO& io = ImGui::GetIO();
    for (int b = 0; b < IMGUI_BUTTONS; ++b) {
        pressUnseen[b] = false;
        if (releaseWaiting[b]) {
            io.MouseDown[b] = false;
            releaseWaiting[b] = false;
        }
    }
}

float energySample(void* data, int index) {
    return (*static_cast<const EnergyHistory*>(data))[static_cast<std::size_t>(index)];
}

void drawReadouts(const RunControls& controls, const Readouts& readouts) {
    const double stepsPerSecond = readouts.stepRate.perSecond;
    ImGui::Text("simulated time   %.3f s", simulatedSeconds(controls.stepsSinceReset));
    ImGui::Text("steps run        %lld", static_cast<long long>(controls.stepsRun));
    ImGui::Text("steps/s          %.0f", stepsPerSecond);
    ImGui::Text("real-time factor %.2f", realTimeFactor(stepsPerSecond));
    ImGui::Text("steps/frame      %lld", static_cast<long long>(readouts.stepsLastFrame));
    ImGui::Text("frames/s         %.1f", readouts.frameRate.perSecond);
    ImGui::Separator();
    ImGui::Text("kinetic energy   %.6f J", readouts.kinetic);
    ImGui::Text("potential energy %.6f J", readouts.potential);
    ImGui::Text("total energy     %.6f J", readouts.kinetic + readouts.potential);
    ImGui::PlotLines("##total", energySample, const_cast<EnergyHistory*>(&readouts.totalEnergy),
                     static_cast<int>(readouts.totalEnergy.size()), 0, "total, last 10 s", FLT_MAX, FLT_MAX,
                     ImVec2(0.0f, PLOT_HEIGHT));
    ImGui::Text("damping work     %.6f J", readouts.dampingWork);
    ImGui::Text("spring work      %.6f J", readouts.springWork);
    ImGui::Text("energy drift     %.3f ppm of %.0f J", readouts.energyDrift, readouts.energyScale);
    ImGui::PlotLines("##drift", energySample, const_cast<EnergyHistory*>(&readouts.drift),
                     static_cast<int>(readouts.drift.size()), 0, "drift (ppm), last 10 s", FLT_MAX, FLT_MAX,
                     ImVec2(0.0f, PLOT_HEIGHT));
    ImGui::Separator();
    ImGui::Text("resets           %lld (to rest after overflow: %lld)", static_cast<long long>(controls.resets),
                static_cast<long long>(resetCount));
    ImGui::Text("spring           %s", mouseDown == 1 ? "acting" : "off");
    if (shadowShown()) {
        ImGui::Text("separation       %.3e rad", shadowSeparation());
        ImGui::Text("Lyapunov exponent %.3f 1/s", shadowExponent());
    }
    if (fanShown()) {
        ImGui::Text("spread           %.3e m", fanSpread());
    }
    if (controls.paused) {
        ImGui::TextUnformatted("paused");
    }
}

// A change of one of the chain's parameters, as a set event.
void setFromPanel(Session& session, ChainParameter parameter, ChainDescription changed) {
    liveInput(session, setEvent(parameter, changed));
}

// Gravity, damping and stiffness act at once; links and the starting angle
// at the next reset.
void drawParameters(Session& session) {
    constexpr int MOST_LINKS_ON_SLIDER = 200;
    constexpr float MOST_GRAVITY = 30.0f;
    constexpr float MOST_DAMPING = 200.0f;
    constexpr float MOST_STIFFNESS = 2000.0f;
    constexpr float HALF_TURN = 3.14159265f;
    ImGui::Separator();
    ChainDescription changed = chain;
    if (ImGui::SliderFloat("gravity", &changed.gravity, -MOST_GRAVITY, MOST_GRAVITY, "%.3f m/s^2")) {
        setFromPanel(session, ChainParameter::Gravity, changed);
    }
    if (ImGui::SliderFloat("damping", &changed.damping, 0.0f, MOST_DAMPING, "%.3f N m s")) {
        setFromPanel(session, ChainParameter::Damping, changed);
    }
    if (ImGui::SliderFloat("stiffness", &changed.stiffness, 0.0f, MOST_STIFFNESS, "%.1f N/m")) {
        setFromPanel(session, ChainParameter::Stiffness, changed);
    }
    ImGui::TextUnformatted("at the next reset:");
    changed = session.target.nextStart;
    if (ImGui::SliderInt("links", &changed.links, 1, MOST_LINKS_ON_SLIDER)) {
        setFromPanel(session, ChainParameter::Links, changed);
    }
    if (ImGui::SliderFloat("initial angle", &changed.initialAngle, -HALF_TURN, HALF_TURN, "%.6f rad")) {
        setFromPanel(session, ChainParameter::InitialAngle, changed);
    }
}

// The panel's buttons act as the keys do, through the session's input.
// EPS of the shadow and the fan, the fan's size and the phase portrait's
// joint; they act when s or f next starts the chains.
void drawCompanionSettings() {
    ImGui::Separator();
    float logPerturbation = static_cast<float>(std::log10(companionSettings.perturbation));
    if (ImGui::SliderFloat("log10 EPS (rad)", &logPerturbation, -12.0f, -1.0f, "%.1f")) {
        companionSettings.perturbation = std::pow(10.0, static_cast<double>(logPerturbation));
    }
    ImGui::SliderInt("fan members", &companionSettings.fanMembers, 1, MOST_FAN_MEMBERS);
    ImGui::SliderInt("phase joint (0: tip)", &companionSettings.phaseJoint, 0, linkCount);
}

void drawControls(Session& session) {
    ImGui::Separator();
    ImGui::Checkbox("real time", &session.controls.realTime);
    ImGui::Text("steps per frame  %d", static_cast<int>(stepsPerFrame));
    ImGui::SameLine();
    if (ImGui::SmallButton("-")) {
        liveInput(session, {0, EventKind::LeftKey, 0, 0, 0});
    }
    ImGui::SameLine();
    if (ImGui::SmallButton("+")) {
        liveInput(session, {0, EventKind::RightKey, 0, 0, 0});
    }
    ImGui::SameLine();
    if (ImGui::SmallButton("reset")) {
        liveInput(session, {0, EventKind::Reset, 0, 0, 0});
    }
    drawParameters(session);
    drawCompanionSettings();
}

// The phase portrait (angle across, rate up) or the Poincare section of the
// chosen joint, scaled to the points' range.
void drawPhasePortrait() {
    const PhaseHistory& points = phasePoints();
    const ImGuiIO& io = ImGui::GetIO();
    ImGui::SetNextWindowPos(ImVec2(io.DisplaySize.x - PANEL_MARGIN, PANEL_MARGIN), ImGuiCond_FirstUseEver,
                            ImVec2(1.0f, 0.0f));
    ImGui::SetNextWindowSize(ImVec2(PHASE_SIZE, PHASE_SIZE + 40.0f), ImGuiCond_FirstUseEver);
    ImGui::SetNextWindowBgAlpha(0.85f);
    if (ImGui::Begin(phaseView() == PhaseView::Portrait ? "phase portrait###phase" : "Poincare section###phase")) {
        ImGui::Text("joint %d: angle (rad) across, rate (rad/s) up; %zu points",
                    companionSettings.phaseJoint == 0 ? static_cast<int>(linkCount) : companionSettings.phaseJoint,
                    points.size());
        const ImVec2 origin = ImGui::GetCursorScreenPos();
        const ImVec2 area = ImGui::GetContentRegionAvail();
        float lowA = 0.0f, highA = 0.0f, lowR = 0.0f, highR = 0.0f;
        for (std::size_t i = 0; i < points.size(); ++i) {
            lowA = i == 0 ? points[i].angle : std::min(lowA, points[i].angle);
            highA = i == 0 ? points[i].angle : std::max(highA, points[i].angle);
            lowR = i == 0 ? points[i].rate : std::min(lowR, points[i].rate);
            highR = i == 0 ? points[i].rate : std::max(highR, points[i].rate);
        }
        const auto place = [&](PhasePoint p) {
            const float x = highA > lowA ? (p.angle - lowA) / (highA - lowA) : 0.5f;
            const float y = highR > lowR ? (p.rate - lowR) / (highR - lowR) : 0.5f;
            return ImVec2(origin.x + x * area.x, origin.y + (1.0f - y) * area.y);
        };
        ImDrawList* const draw = ImGui::GetWindowDrawList();
        for (std::size_t i = 0; i < points.size(); ++i) {
            if (phaseView() == PhaseView::Portrait && i > 0) {
                draw->AddLine(place(points[i - 1]), place(points[i]), IM_COL32(230, 230, 230, 255));
            } else {
                draw->AddCircleFilled(place(points[i]), 2.0f, IM_COL32(230, 230, 230, 255));
            }
        }
    }
    ImGui::End();
}

void drawPanel(Session& session, const Readouts& readouts) {
    RunControls& controls = session.controls;
    ImGui::SetNextWindowPos(ImVec2(PANEL_MARGIN, PANEL_MARGIN), ImGuiCond_FirstUseEver);
    ImGui::SetNextWindowBgAlpha(0.85f);
    if (ImGui::Begin("chain20", &controls.panelShown, ImGuiWindowFlags_AlwaysAutoResize)) {
        drawReadouts(controls, readouts);
        drawControls(session);
    }
    ImGui::End();
}

constexpr const char* HELP_LINES[] = {
    "Space        pause / resume",
    ".            one step while paused",
    "r            reset: the chain back at rest, time 0",
    "Tab          readouts and controls panel",
    "h            this help",
    "s            the shadow chain: a copy moved by EPS, its separation",
    "             and Lyapunov exponent (s again removes it)",
    "f            the ensemble fan: K perturbed copies, their spread",
    "p            phase portrait of a joint, then its Poincare section",
    "q, Esc       quit",
    "Right arrow  one more step per frame (printed)",
    "Left arrow   one step fewer per frame",
    "Left button  hold: a spring pulls the tip to the cursor;",
    "             drag to move it, release to let go",
};

void drawHelp() {
    const ImGuiIO& io = ImGui::GetIO();
    ImGui::SetNextWindowPos(ImVec2(io.DisplaySize.x * 0.5f, io.DisplaySize.y * 0.5f), ImGuiCond_Always,
                            ImVec2(0.5f, 0.5f));
    if (ImGui::Begin("help", nullptr,
                     ImGuiWindowFlags_AlwaysAutoResize | ImGuiWindowFlags_NoCollapse | ImGuiWindowFlags_NoMove)) {
        for (const char* line : HELP_LINES) {
            ImGui::TextUnformatted(line);
        }
    }
    ImGui::End();
}

}  // namespace

void initOverlay() {
    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGui::GetIO().IniFilename = nullptr;  // no imgui.ini left in the working directory
    ImGui::StyleColorsDark();
    ImGui_ImplGLUT_Init();
    ImGui_ImplOpenGL2_Init();
}

void shutdownOverlay() {
    ImGui_ImplOpenGL2_Shutdown();
    ImGui_ImplGLUT_Shutdown();
    ImGui::DestroyContext();
}

void overlayKeyboard(unsigned char key, int x, int y, bool down) {
    if (down) {
        ImGui_ImplGLUT_KeyboardFunc(key, x, y);
    } else {
        ImGui_ImplGLUT_KeyboardUpFunc(key, x, y);
    }
}

void overlaySpecial(int key, int x, int y, bool down) {
    if (down) {
        ImGui_ImplGLUT_SpecialFunc(key, x, y);
    } else {
        ImGui_ImplGLUT_SpecialUpFunc(key, x, y);
    }
}

void overlayMouseButton(int button, int state, int x, int y) {
    const int b = imguiButton(button);
    if (b >= 0 && state == GLUT_UP && pressUnseen[b]) {
        releaseWaiting[b] = true;
        ImGui::GetIO().MousePos = ImVec2(static_cast<float>(x), static_cast<float>(y));
        return;
    }
    ImGui_ImplGLUT_MouseFunc(button, state, x, y);
    if (b >= 0 && state == GLUT_DOWN) {
        pressUnseen[b] = true;
    }
}

void overlayMouseMotion(int x, int y) { ImGui_ImplGLUT_MotionFunc(x, y); }

void overlayReshape(int width, int height) { ImGui_ImplGLUT_ReshapeFunc(width, height); }

bool overlayWantsMouse(const RunControls& controls) {
    return anyOverlayShown(controls) && ImGui::GetIO().WantCaptureMouse;
}

bool overlayWantsKeys(const RunControls& controls) {
    return anyOverlayShown(controls) && ImGui::GetIO().WantTextInput;
}

void drawOverlay(Session& session, const Readouts& readouts) {
    const RunControls& controls = session.controls;
    if (!anyOverlayShown(controls)) {
        return;
    }
    ImGui_ImplOpenGL2_NewFrame();
    ImGui_ImplGLUT_NewFrame();
    releaseWaitingButtons();
    if (controls.panelShown) {
        drawPanel(session, readouts);
    }
    if (controls.helpShown) {
        drawHelp();
    }
    if (phaseView() != PhaseView::Off) {
        drawPhasePortrait();
    }
    ImGui::Render();
    ImGui_ImplOpenGL2_RenderDrawData(ImGui::GetDrawData());
}
