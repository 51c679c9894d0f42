#!/usr/bin/env bash
# Installs what is missing, builds chain20 for the browser into build-web/site
# and serves it on 127.0.0.1, printing the URL (Ctrl-C stops the server).
#   bash scripts/web.sh               build and serve on port 8020
#   bash scripts/web.sh --port N      build and serve on port N
#   bash scripts/web.sh --build-only  build only (the page and chain20-batch for node)
set -euo pipefail
cd "$(dirname "$0")/.."

serve=1
port=8020
while [ $# -gt 0 ]; do
    case $1 in
        --build-only) serve=0 ;;
        --port) port=$2; shift ;;
        *) echo "usage: bash scripts/web.sh [--build-only] [--port N]" >&2; exit 2 ;;
    esac
    shift
done

# Debian's emscripten and chromium, and node with npm (NodeSource's nodejs
# carries npm, Debian's comes with it as a package of its own).
bash scripts/install-deps.sh emscripten chromium nodejs
if ! command -v npm >/dev/null 2>&1; then
    bash scripts/install-deps.sh npm
fi
# playwright-core, which the browser tests drive chromium with, at the
# locked version in a project-local node_modules, installed again when the
# lock names another version than the one there.
version_of() { node -p "require('./tests/web/$1')$2" 2>/dev/null || true; }
if [ "$(version_of node_modules/playwright-core/package.json .version)" != \
     "$(version_of package-lock.json ".packages['node_modules/playwright-core'].version")" ]; then
    (cd tests/web && npm ci --no-audit --no-fund)
fi

# emscripten 3.1.6's tools need Debian's node modules; its prebuilt system
# libraries in /usr/share/emscripten/cache are used as they are.
export NODE_PATH=/usr/share/nodejs
emcmake cmake -S . -B build-web -DCMAKE_BUILD_TYPE=Release -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v node)"
cmake --build build-web -j2

echo "Built build-web/site ($(du -cb build-web/site/* | tail -1 | cut -f1) bytes) and build-web/bin/chain20-batch.js"
if [ "$serve" -eq 1 ]; then
    exec node web/serve.mjs build-web/site "$port"
fi
