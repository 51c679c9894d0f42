#!/usr/bin/env bash
# Installs what is missing, builds chain20 and starts it. Arguments are passed
# on to the program (GLUT's own options such as -display :1 included).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2 --target chain20 chain20-batch

# The program needs an X display. Without one, say so plainly instead of
# leaving only GLUT's "failed to open display" behind.
display=${DISPLAY:-}
previous=
for argument in "$@"; do
    if [ "$previous" = -display ]; then
        display=$argument
    fi
    previous=$argument
done

if [ -z "$display" ] || ! xdpyinfo -display "$display" >/dev/null 2>&1; then
    if [ -z "$display" ]; then
        echo "chain20 needs an X display, and none is set (DISPLAY is empty)." >&2
    else
        echo "chain20 needs an X display, and display '$display' cannot be opened." >&2
    fi
    cat >&2 <<'EOF'

To run it without a screen, start it in a virtual X server:

    xvfb-run -a -s "-screen 0 1024x768x24" build/bin/chain20

To watch it there, either take screenshots of the virtual screen, e.g.

    Xvfb :1 -screen 0 1024x768x24 &
    DISPLAY=:1 build/bin/chain20 &
    DISPLAY=:1 import -window root chain20.png

or share the virtual screen over VNC (apt-get install x11vnc, then
`x11vnc -display :1` and connect a VNC viewer to port 5900).
EOF
    exit 1
fi

exec build/bin/chain20 "$@"
