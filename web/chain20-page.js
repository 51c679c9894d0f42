// The chain20 page: draws the core's state on a canvas each animation frame
// and hands pointer, keys, controls and the canvas's size to the core's C
// functions. The run controls, the key map, the pacing, the readouts and the
// parameters' checks are the core's, as the window program has them; the
// page keeps only what a browser needs (its names of keys, the canvas, the
// replay's end).
'use strict';

// Boxes one drawing scale long and 1.2 x 0.3 thick (thinner for long chains),
// as the window draws them.
const LINK_HALF_WIDTH = 0.6;
const LINK_HALF_DEPTH = 0.15;
const BASE_X = -1;             // the chain hangs from world (-1, 0)
// The window turns each link by its angle in degrees at 57.29 per radian.
const RADIANS_PER_RADIAN_DRAWN = 57.29 * Math.PI / 180;
// The window's lighting, fixed to the eye: one directional light toward
// (40, 40, -5), a diffuse grey of 0.2, specular 0.8 with shininess 0.5, and
// OpenGL's default ambient (0.2 global times the material's 0.2).
const LIGHT = (() => { const n = Math.hypot(40, 40, -5); return [40 / n, 40 / n, -5 / n]; })();
const HALF_WAY = (() => {
  const h = [LIGHT[0], LIGHT[1], LIGHT[2] + 1];
  const n = Math.hypot(...h);
  return h.map((v) => v / n);
})();
// The grey level of a face with unit normal (nx, ny, nz), as OpenGL lights it.
function litGrey(nx, ny, nz) {
  const diffuse = nx * LIGHT[0] + ny * LIGHT[1] + nz * LIGHT[2];
  const specular = diffuse > 0 ? Math.sqrt(Math.max(0, nx * HALF_WAY[0] + ny * HALF_WAY[1] + nz * HALF_WAY[2])) : 0;
  const level = Math.min(1, 0.04 + 0.2 * Math.max(0, diffuse) + 0.8 * specular);
  const byte = Math.round(level * 255);
  return `rgb(${byte},${byte},${byte})`;
}

const canvas = document.getElementById('view');
const context = canvas.getContext('2d');
const $ = (id) => document.getElementById(id);

// The core's memory grows as long chains, fans and long scripts need it; an
// allocation it still cannot make aborts the core, whose state is lost then,
// as does a module that cannot be loaded. The page says which on one line and
// stops: no more frames, input or controls.
let coreStopped = false;
let coreModule = null;
function stopOnAbort(reason) {
  if (coreStopped) {
    return;  // the abort's own error aborts again on its way out: the first reason stands
  }
  coreStopped = true;
  if (coreModule === null) {
    $('message').textContent = `The page's core could not start (${reason}). Reload the page to try again.`;
  } else {
    const megabytes = Math.round(coreModule.HEAPU8.length / 2 ** 20);
    $('message').textContent = `Out of memory at ${megabytes} MB: this run needs more than the page's core can hold, ` +
      'and the core has stopped. Reload the page to start again.';
  }
  document.body.inert = true;
}

createChain20({ onAbort: stopOnAbort }).then((core) => {
  coreModule = core;
  const viewFrame = $('viewFrame');
  core._chain20_restart();
  // Views of the core's memory are taken after the calls that may grow it
  // (a double chain's state is rounded into a buffer made on first use):
  // growing the memory leaves the views taken before it empty.
  const state = () => {
    const address = core._chain20_state() / 4;
    return core.HEAPF32.subarray(address, address + 2 * core._chain20_links());
  };
  const matrix = (address) => core.HEAPF64.subarray(address / 8, address / 8 + 16);

  // A zero-terminated string in the core's memory.
  function coreText(address) {
    let end = address;
    while (core.HEAPU8[end] !== 0) {
      ++end;
    }
    return new TextDecoder().decode(core.HEAPU8.subarray(address, end));
  }
  // Calls use(address, ...) with the texts copied zero-terminated into the
  // core's memory for the call's length; returns what use returns.
  function withCoreTexts(texts, use) {
    const addresses = texts.map((text) => {
      const bytes = new TextEncoder().encode(text + '\0');
      const address = core._malloc(bytes.length);
      core.HEAPU8.set(bytes, address);
      return address;
    });
    try {
      return use(...addresses);
    } finally {
      addresses.forEach((address) => core._free(address));
    }
  }
  // The core's state hash: 64-bit FNV-1a over the state's floats.
  const stateHash = () => coreText(core._chain20_state_hash());
  // Sets an element's text when it changed.
  function show(id, text) {
    const element = $(id);
    if (element.textContent !== String(text)) {
      element.textContent = text;
    }
  }

  let replayEnd = null;  // the step a replay stops at
  let fromLink = false;  // whether the replay under way came from the page's link
  // A link's replay ends, as it always has, in "hash matches" or "hash
  // differs", after the check that says why.
  const linkVerdict = (verdict) => (!fromLink || verdict === 0 ? '' : verdict === 1 ? ' hash matches' : ' hash differs');
  // Wall time in the core's steps, and the steps, since the last timing shown.
  const TIMING_MILLIS = 1000 * core._chain20_rate_window();
  let stepMillis = 0;
  let timedSteps = 0;
  let timingStart = performance.now();

  function advance(steps) {
    const started = performance.now();
    core._chain20_advance(steps);
    stepMillis += performance.now() - started;
    timedSteps += steps;
  }

  // ---- Drawing: the boxes' faces through the core's projection and modelview ----

  function project(projection, modelview, x, y, z) {
    const eye = [0, 1, 2, 3].map((r) =>
      modelview[r] * x + modelview[4 + r] * y + modelview[8 + r] * z + modelview[12 + r]);
    const clip = [0, 1, 3].map((r) => projection[r] * eye[0] + projection[4 + r] * eye[1] + projection[8 + r] * eye[2] +
                                     projection[12 + r] * eye[3]);
    return [(clip[0] / clip[2] + 1) / 2 * canvas.width, (1 - clip[1] / clip[2]) / 2 * canvas.height];
  }

  // The boxes of one chain, by its relative joint angles angleOf(1..N): their
  // side faces and their front faces, projected.
  function boxes(angleOf, projection, modelview) {
    const links = core._chain20_links();
    const length = core._chain20_drawing_scale();
    const thickness = Math.min(Math.max(length, 0.1), 1);
    const halfWidth = LINK_HALF_WIDTH * thickness;
    const halfDepth = LINK_HALF_DEPTH * thickness;
    const sides = [];
    const fronts = [];
    let angle = 0;
    let x = BASE_X;
    let y = 0;
    for (let i = 0; i < links; ++i) {
      angle += angleOf(i + 1) * RADIANS_PER_RADIAN_DRAWN;
      const c = Math.cos(angle);
      const s = Math.sin(angle);
      const corners = [[0, -1], [1, -1], [1, 1], [0, 1]].map(([along, across]) =>
        [x + along * length * c - across * halfWidth * s, y + along * length * s + across * halfWidth * c]);
      const front = corners.map(([cx, cy]) => project(projection, modelview, cx, cy, halfDepth));
      const back = corners.map(([cx, cy]) => project(projection, modelview, cx, cy, -halfDepth));
      // The side faces' outward normals in the plane: -across, +along,
      // +across, -along.
      const normals = [[s, -c], [c, s], [-s, c], [-c, -s]];
      for (let k = 0; k < 4; ++k) {
        sides.push({ polygon: [front[k], front[(k + 1) % 4], back[(k + 1) % 4], back[k]], normal: normals[k] });
      }
      fronts.push(front);
      x += length * c;
      y += length * s;
    }
    return { sides, fronts };
  }

  function fill(polygons, colour) {
    // Filled and outlined in one colour, so that no seams show between boxes.
    context.fillStyle = colour;
    context.strokeStyle = colour;
    for (const polygon of polygons) {
      context.beginPath();
      polygon.forEach(([px, py], k) => (k === 0 ? context.moveTo(px, py) : context.lineTo(px, py)));
      context.closePath();
      context.fill();
      context.stroke();
    }
  }

  // The chain, and behind it the core's companions: the shadow in a lighter
  // grey, the fan's members translucent.
  function draw() {
    const links = core._chain20_links();
    const q = state().subarray(links);
    const projection = matrix(core._chain20_projection());
    const modelview = matrix(core._chain20_modelview());
    context.fillStyle = '#fff';
    context.fillRect(0, 0, canvas.width, canvas.height);
    for (let c = 0; c < core._chain20_companions(); ++c) {
      const shadow = core._chain20_companion_is_shadow(c) === 1;
      const companion = boxes((j) => core._chain20_companion_angle(c, j), projection, modelview);
      context.globalAlpha = shadow ? 1 : 0.12;
      fill(companion.sides.map((side) => side.polygon), shadow ? '#b4b4b4' : '#2020a0');
      fill(companion.fronts, shadow ? '#9e9e9e' : '#2020a0');
    }
    context.globalAlpha = 1;
    const chain = boxes((j) => q[j - 1], projection, modelview);
    for (const side of chain.sides) {
      fill([side.polygon], litGrey(side.normal[0], side.normal[1], 0));
    }
    fill(chain.fronts, litGrey(0, 0, 1));
  }

  // The phase portrait (lines) or the Poincare section (points) of the
  // core's chosen joint, scaled to the points' range; hidden when off.
  function plotPhase() {
    const view = core._chain20_phase_view();
    $('phaseRow').hidden = view === 0;
    if (view === 0) {
      return;
    }
    const plot = $('phasePlot');
    const pen = plot.getContext('2d');
    pen.clearRect(0, 0, plot.width, plot.height);
    const count = core._chain20_phase_points();
    const points = Array.from({ length: count }, (_, i) => [core._chain20_phase_angle(i), core._chain20_phase_rate(i)]);
    $('phaseTitle').textContent = view === 1 ? 'phase portrait' : 'Poincaré section';
    if (count === 0) {
      return;
    }
    const range = (k) => [Math.min(...points.map((p) => p[k])), Math.max(...points.map((p) => p[k]))];
    const [lowA, highA] = range(0);
    const [lowR, highR] = range(1);
    const place = ([a, r]) => [highA > lowA ? (a - lowA) / (highA - lowA) * (plot.width - 4) + 2 : plot.width / 2,
                               highR > lowR ? (1 - (r - lowR) / (highR - lowR)) * (plot.height - 4) + 2 : plot.height / 2];
    pen.fillStyle = pen.strokeStyle = '#1c1c1c';
    pen.beginPath();
    points.map(place).forEach(([x, y], i) => {
      if (view === 1) {
        i === 0 ? pen.moveTo(x, y) : pen.lineTo(x, y);
      } else {
        pen.fillRect(x - 1, y - 1, 3, 3);
      }
    });
    pen.stroke();
  }

  // ---- Readouts, as the window's panel has them ----

  // One of the core's histories over the last 10 s of simulated time (the
  // total energy, the drift), scaled to its range.
  function plotHistory(canvas, count, sample, rangeId, unit, digits) {
    const plot = $(canvas);
    const pen = plot.getContext('2d');
    pen.clearRect(0, 0, plot.width, plot.height);
    const values = Array.from({ length: count() }, (_, k) => sample(k));
    if (values.length === 0) {
      return;
    }
    const low = Math.min(...values);
    const high = Math.max(...values);
    const height = plot.height - 4;
    const spacing = (plot.width - 1) / (core._chain20_energy_capacity() - 1);
    pen.beginPath();
    values.forEach((value, k) => {
      pen.lineTo(k * spacing, 2 + height - (high > low ? (value - low) / (high - low) * height : height / 2));
    });
    pen.strokeStyle = '#1c1c1c';
    pen.stroke();
    show(rangeId, `${low.toFixed(digits)} to ${high.toFixed(digits)} ${unit}`);
  }

  function showReadouts(now) {
    const kinetic = core._chain20_kinetic_energy();
    const potential = core._chain20_potential_energy();
    show('time', core._chain20_simulated_seconds().toFixed(3));
    show('steps', core._chain20_steps_run());
    show('rate', Math.round(core._chain20_steps_per_second()));
    show('factor', core._chain20_real_time_factor().toFixed(2));
    show('fps', Math.round(core._chain20_frames_per_second()));
    show('kinetic', kinetic.toFixed(3));
    show('potential', potential.toFixed(3));
    show('total', (kinetic + potential).toFixed(3));
    plotHistory('energyPlot', core._chain20_energy_samples, core._chain20_energy_sample, 'energyRange', 'J', 3);
    show('dampingWork', core._chain20_damping_work().toFixed(3));
    show('springWork', core._chain20_spring_work().toFixed(3));
    show('energyDrift', core._chain20_energy_drift().toFixed(3));
    show('energyScale', core._chain20_energy_scale().toFixed(0));
    plotHistory('driftPlot', core._chain20_drift_samples, core._chain20_drift_sample, 'driftRange', 'ppm', 3);
    show('resets', core._chain20_resets());
    show('spring', core._chain20_spring_on() ? 'pulling' : 'off');
    show('hash', stateHash());
    $('shadowRows').hidden = core._chain20_shadow_shown() !== 1;
    show('separation', core._chain20_separation().toExponential(3));
    show('lyapunov', core._chain20_lyapunov_exponent().toFixed(3));
    $('fanRow').hidden = core._chain20_fan_shown() !== 1;
    show('spread', core._chain20_spread().toExponential(3));
    plotPhase();
    show('stepsPerFrame', core._chain20_steps_per_frame());
    show('pause', core._chain20_paused() ? 'Resume' : 'Pause');
    show('record', core._chain20_recording() ? 'Stop and download' : 'Record');
    $('help').hidden = !core._chain20_help_shown();
    if (now - timingStart >= TIMING_MILLIS) {
      show('stepTime', timedSteps > 0 ? (1000 * stepMillis / timedSteps).toFixed(2) : '');
      timingStart = now;
      timedSteps = 0;
      stepMillis = 0;
    }
  }

  // ---- The frame: the steps the core's pacing calls for, the picture, its readouts ----

  function frame(now) {
    if (coreStopped) {
      return;
    }
    let steps = core._chain20_steps_due(now / 1000);
    if (replayEnd !== null) {
      steps = Math.min(steps, replayEnd - core._chain20_steps_run());
    }
    advance(steps);
    if (replayEnd !== null && core._chain20_steps_run() >= replayEnd) {
      core._chain20_set_paused(1);
      const check = coreText(core._chain20_replay_check());
      $('message').textContent += ` Replay stopped at step ${replayEnd}, state hash ${stateHash()}` +
        (check ? `: ${check}.` : '.') + linkVerdict(core._chain20_replay_verdict());
      fromLink = false;
      replayEnd = null;
      core._chain20_resize(canvas.width, canvas.height);  // the script may have used another size
    }
    draw();
    core._chain20_picture_drawn(now / 1000);
    showReadouts(now);
    requestAnimationFrame(frame);
  }

  // ---- Input ----

  function canvasPixel(event) {
    const box = canvas.getBoundingClientRect();
    return [Math.floor((event.clientX - box.left) * canvas.width / box.width),
            Math.floor((event.clientY - box.top) * canvas.height / box.height)];
  }
  function pointer(kind, event) {
    if (replayEnd !== null || coreStopped) {
      return;  // a replay owns the input until it ends; a stopped core takes none
    }
    const [x, y] = canvasPixel(event);
    core._chain20_pointer(kind, x, y);
  }
  canvas.addEventListener('pointerdown', (event) => {
    if (event.button === 0) {
      canvas.setPointerCapture(event.pointerId);
      pointer(0, event);
    }
  });
  canvas.addEventListener('pointermove', (event) => {
    if (event.buttons !== 0) {
      pointer(1, event);
    }
  });
  canvas.addEventListener('pointerup', (event) => {
    if (event.button === 0) {
      pointer(2, event);
    }
  });

  // The canvas takes the size of its frame, which its lower right corner
  // drags: one canvas pixel per CSS pixel, as a window has them. The core
  // maps the cursor through the view of that size, and a recording keeps the
  // resize.
  new ResizeObserver(() => {
    const width = viewFrame.clientWidth;
    const height = viewFrame.clientHeight;
    if (width !== canvas.width || height !== canvas.height) {
      canvas.width = width;
      canvas.height = height;
      draw();
    }
    core._chain20_resize(width, height);
  }).observe(viewFrame);

  // Keys, and the buttons that stand for them (data-key), go to the core by
  // the browser's names for them; the core's key map says what they do.
  const STARTED_OVER = 2;  // what chain20_key returns for a reset in a new precision
  function pressKey(name) {
    const recording = core._chain20_recording();
    const outcome = withCoreTexts([name], (address) => core._chain20_key(address));
    if (outcome === STARTED_OVER) {
      replayEnd = null;
      fromLink = false;
      $('message').textContent = `Started over in the new precision${recording ? ': recording abandoned' : ''}.`;
    }
    return outcome !== 0;
  }
  // The companions' settings, read when s or f next starts them.
  $('perturbation').addEventListener('change', (event) => core._chain20_set_perturbation(Number(event.target.value)));
  $('fanMembers').addEventListener('change', (event) => core._chain20_set_fan_members(Number(event.target.value)));
  $('phaseJoint').addEventListener('change', (event) => core._chain20_set_phase_joint(Number(event.target.value)));

  document.addEventListener('keydown', (event) => {
    const typing = event.target instanceof HTMLInputElement && event.target.type !== 'checkbox';
    if (!typing && !coreStopped && !event.ctrlKey && !event.metaKey && !event.altKey && pressKey(event.key)) {
      event.preventDefault();
    }
  });
  document.querySelectorAll('button[data-key]').forEach((button) => {
    button.onclick = () => pressKey(button.dataset.key);
  });
  $('realTime').onchange = (event) => core._chain20_set_real_time(event.target.checked ? 1 : 0);

  // ---- The chain's parameters, named and checked by the core ----

  for (let index = 0; index < core._chain20_parameters(); ++index) {
    const [name, value] = coreText(core._chain20_parameter(index)).split(' ');
    const input = $(name);
    input.value = value;
    input.onchange = () => {
      const error = withCoreTexts([name, input.value.trim()], (n, text) => core._chain20_set(n, text));
      input.setCustomValidity(error === 0 ? '' : coreText(error));
      input.reportValidity();
    };
  }

  // The precision acts at the next start, or at a reset, which then starts over.
  $('precision').onchange = (event) => core._chain20_set_precision(Number(event.target.value));

  // ---- Recording and replay ----

  function restart() {
    core._chain20_restart();
    replayEnd = null;
    fromLink = false;
  }
  // The last recording finished, for a link when none is under way.
  let lastRecording = '';
  function stopRecording() {
    const steps = core._chain20_steps_run();
    lastRecording = coreText(core._chain20_record_stop());
    const blob = new Blob([lastRecording], { type: 'text/plain' });
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    link.download = 'chain20-recording.txt';
    link.click();
    URL.revokeObjectURL(link.href);
    $('message').textContent = `Recorded ${steps} steps; replay with chain20-batch --events FILE --steps ${steps}.`;
  }
  $('record').onclick = () => {
    if (core._chain20_recording()) {
      stopRecording();
      return;
    }
    restart();
    core._chain20_set_paused(0);
    const date = new Date().toISOString().replace('T', ' ').slice(0, 19) + ' UTC';
    withCoreTexts([date], (address) => core._chain20_record_start(address));
    $('message').textContent = 'Recording from rest.';
  };

  function replay(text) {
    restart();
    const bytes = new TextEncoder().encode(text);
    const address = core._malloc(bytes.length + 1);
    core.HEAPU8.set(bytes, address);
    const error = core._chain20_load_script(address, bytes.length);
    core._free(address);
    if (error !== 0) {
      $('message').textContent = coreText(error);
      return false;
    }
    $('precision').value = String(core._chain20_precision());
    replayEnd = core._chain20_replay_end();
    core._chain20_set_paused(0);
    const what = core._chain20_script_is_recording() ? 'the recording' : 'the script';
    $('message').textContent = `Replaying ${what} to step ${replayEnd}.`;
    return true;
  }
  $('replay').onchange = async (event) => {
    const file = event.target.files[0];
    if (file) {
      replay(await file.text());
      event.target.value = '';
    }
  };

  // ---- Runs shared as links, videos of the canvas ----

  // The recording (under way, or the last one) in the URL's fragment,
  // base64url of its UTF-8 text: its parameters, precision, events and the
  // final hash they reach. Opening the link replays it and compares.
  function toBase64Url(text) {
    const bytes = new TextEncoder().encode(text);
    let binary = '';
    for (let start = 0; start < bytes.length; start += 8192) {
      binary += String.fromCharCode(...bytes.subarray(start, start + 8192));
    }
    return btoa(binary).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
  }
  const fromBase64Url = (code) => new TextDecoder('utf-8', { fatal: true })
    .decode(Uint8Array.from(atob(code.replace(/-/g, '+').replace(/_/g, '/')), (c) => c.charCodeAt(0)));
  $('copyLink').onclick = async () => {
    const text = core._chain20_recording() ? coreText(core._chain20_recording_so_far()) : lastRecording;
    if (!text) {
      $('message').textContent = 'Record a run first: the link carries its recording.';
      return;
    }
    const link = `${location.origin}${location.pathname}#run=${toBase64Url(text)}`;
    $('shareLink').hidden = false;
    $('shareLink').value = link;
    try {
      await navigator.clipboard.writeText(link);
      $('message').textContent = 'Link copied.';
    } catch {
      $('message').textContent = 'The link is in the field below (the clipboard was not available).';
    }
  };
  function openSharedRun() {
    const match = /^#run=([A-Za-z0-9_-]+)$/.exec(location.hash);
    if (!match) {
      if (location.hash.startsWith('#run=')) {
        $('message').textContent = 'This link does not hold a run (its text is damaged).';
      }
      return;
    }
    let text;
    try {
      text = fromBase64Url(match[1]);
    } catch {
      $('message').textContent = 'This link does not hold a run (its text is damaged).';
      return;
    }
    fromLink = replay(text);
    if (fromLink && !core._chain20_script_is_recording()) {
      fromLink = false;
      restart();
      $('message').textContent = 'This link holds no final state hash to compare with.';
    }
  }

  // A WebM of the canvas through the browser's MediaRecorder.
  let videoRecorder = null;
  $('recordVideo').onclick = () => {
    if (videoRecorder) {
      videoRecorder.stop();
      return;
    }
    const chunks = [];
    videoRecorder = new MediaRecorder(canvas.captureStream(30), { mimeType: 'video/webm' });
    videoRecorder.ondataavailable = (event) => chunks.push(event.data);
    videoRecorder.onstop = () => {
      const video = new Blob(chunks, { type: 'video/webm' });
      $('videoLink').href = URL.createObjectURL(video);
      $('videoLink').dataset.bytes = String(video.size);
      $('videoLink').hidden = false;
      $('recordVideo').textContent = 'Record video';
      videoRecorder = null;
    };
    videoRecorder.start(250);
    $('recordVideo').textContent = 'Stop video';
  };

  // For tests and the console: the state, its hash, and a timing of n steps.
  window.chain20 = {
    state: () => Array.from(state()),
    hash: stateHash,
    stepsRun: () => core._chain20_steps_run(),
    links: () => core._chain20_links(),
    stepsPerFrame: () => core._chain20_steps_per_frame(),
    paused: () => core._chain20_paused() === 1,
    replaying: () => replayEnd !== null,
    replay,
    timeSteps(n) {
      const started = performance.now();
      core._chain20_advance(n);
      return (performance.now() - started) / n;
    },
  };
  openSharedRun();
  requestAnimationFrame(frame);
});
