#include "sim/run_controls.h"

RunCommand runCommandOf(unsigned char key) {
    switch (key) {
        case KEY_PAUSE:
            return RunCommand::PauseResume;
        case KEY_SINGLE_STEP:
            return RunCommand::SingleStep;
        case KEY_RESET:
            return RunCommand::Reset;
        case KEY_HELP:
            return RunCommand::Help;
        case KEY_PANEL:
            return RunCommand::Panel;
        case KEY_SHADOW:
            return RunCommand::Shadow;
        case KEY_FAN:
            return RunCommand::Fan;
        case KEY_PHASE:
            return RunCommand::Phase;
        case KEY_QUIT:
        case KEY_ESCAPE:
            return RunCommand::Quit;
        default:
            return RunCommand::None;
    }
}
