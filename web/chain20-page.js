// The chain20 page: draws the core's state on a canvas each animation frame
// and hands pointer, keys and controls to the core's C functions.
'use strict';

// Boxes one drawing scale long and 1.2 x 0.3 thick (thinner for long chains),
// as the window draws them.
const LINK_HALF_WIDTH = 0.6;
const LINK_HALF_DEPTH = 0.15;
const BASE_X = -1;             // the chain hangs from world (-1, 0)
const MOST_REAL_TIME_STEPS = 200;  // per frame, so that a stalled tab does not catch up for minutes

const canvas = document.getElementById('view');
const context = canvas.getContext('2d');
const $ = (id) => document.getElementById(id);

createChain20().then((core) => {
  core._chain20_start();
  core._chain20_resize(canvas.width, canvas.height);
  const state = () => core.HEAPF32.subarray(core._chain20_state() / 4,
                                            core._chain20_state() / 4 + 2 * core._chain20_links());
  const matrix = (address) => core.HEAPF64.subarray(address / 8, address / 8 + 16);

  let paused = false;
  let realTime = false;
  let stepsPerFrame = core._chain20_arrow(1) && core._chain20_arrow(-1);
  let replayEnd = null;     // the step a replay stops at
  let recording = false;
  let stepMillis = 0;       // wall time in the core's steps, and the steps, since the last readout
  let timedSteps = 0;
  let frames = 0;
  let lastReadout = performance.now();
  let lastFrame = performance.now();
  let realTimeDebt = 0;

  // A zero-terminated string in the core's memory.
  function coreText(address) {
    let end = address;
    while (core.HEAPU8[end] !== 0) {
      ++end;
    }
    return new TextDecoder().decode(core.HEAPU8.subarray(address, end));
  }
  // The core's state hash: 64-bit FNV-1a over the state's floats.
  const stateHash = () => coreText(core._chain20_state_hash());

  function advance(steps) {
    const started = performance.now();
    stepsPerFrame = core._chain20_advance(steps);
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

  function draw() {
    const projection = matrix(core._chain20_projection());
    const modelview = matrix(core._chain20_modelview());
    const links = core._chain20_links();
    const q = state().subarray(links);
    const length = core._chain20_drawing_scale();
    const thickness = Math.min(Math.max(length, 0.1), 1);
    const halfWidth = LINK_HALF_WIDTH * thickness;
    const halfDepth = LINK_HALF_DEPTH * thickness;
    context.fillStyle = '#fff';
    context.fillRect(0, 0, canvas.width, canvas.height);
    const sides = [];
    const fronts = [];
    let angle = 0;
    let x = BASE_X;
    let y = 0;
    for (let i = 0; i < links; ++i) {
      angle += q[i];
      const c = Math.cos(angle);
      const s = Math.sin(angle);
      const corners = [[0, -1], [1, -1], [1, 1], [0, 1]].map(([along, across]) =>
        [x + along * length * c - across * halfWidth * s, y + along * length * s + across * halfWidth * c]);
      const front = corners.map(([cx, cy]) => project(projection, modelview, cx, cy, halfDepth));
      const back = corners.map(([cx, cy]) => project(projection, modelview, cx, cy, -halfDepth));
      for (let k = 0; k < 4; ++k) {
        sides.push([front[k], front[(k + 1) % 4], back[(k + 1) % 4], back[k]]);
      }
      fronts.push(front);
      x += length * c;
      y += length * s;
    }
    const fill = (polygons, colour) => {
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
    };
    fill(sides, '#4a4a4a');
    fill(fronts, '#1c1c1c');
  }

  // ---- Readouts ----

  // The total energy over the last 10 s of simulated time, one sample per 0.05 s.
  const PLOT_SAMPLES = 200;
  const SAMPLE_STEPS = 50;
  const energies = [];
  let lastSample = -1;
  // Runs of more than 50 steps per frame repeat the sample, so that the plot
  // keeps its 10 s.
  function sampleEnergy() {
    const sample = Math.floor(core._chain20_steps_run() / SAMPLE_STEPS);
    if (sample < lastSample) {
      energies.length = 0;  // a reset started the time again
      lastSample = -1;
    }
    const total = core._chain20_kinetic_energy() + core._chain20_potential_energy();
    for (let k = Math.max(lastSample + 1, sample - PLOT_SAMPLES + 1); k <= sample; ++k) {
      energies.push(total);
    }
    energies.splice(0, energies.length - PLOT_SAMPLES);
    lastSample = sample;
  }
  function plotEnergy() {
    const plot = $('energyPlot');
    const pen = plot.getContext('2d');
    const low = Math.min(...energies);
    const high = Math.max(...energies);
    const height = plot.height - 4;
    pen.clearRect(0, 0, plot.width, plot.height);
    pen.beginPath();
    energies.forEach((energy, k) => {
      const y = 2 + height - (high > low ? (energy - low) / (high - low) * height : height / 2);
      pen.lineTo(k * (plot.width - 1) / (PLOT_SAMPLES - 1), y);
    });
    pen.strokeStyle = '#1c1c1c';
    pen.stroke();
    $('energyRange').textContent = `${low.toFixed(3)} to ${high.toFixed(3)} J`;
  }

  function showReadouts(now) {
    const kinetic = core._chain20_kinetic_energy();
    const potential = core._chain20_potential_energy();
    const seconds = (now - lastReadout) / 1000;
    const steps = core._chain20_steps_run();
    $('time').textContent = (steps / 1000).toFixed(3);
    $('steps').textContent = steps;
    $('rate').textContent = Math.round(timedSteps / seconds);
    $('factor').textContent = (timedSteps / 1000 / seconds).toFixed(2);
    $('fps').textContent = Math.round(frames / seconds);
    $('kinetic').textContent = kinetic.toFixed(3);
    $('potential').textContent = potential.toFixed(3);
    $('total').textContent = (kinetic + potential).toFixed(3);
    plotEnergy();
    $('resets').textContent = core._chain20_resets();
    $('spring').textContent = core._chain20_spring_on() ? 'pulling' : 'off';
    $('stepTime').textContent = timedSteps > 0 ? (1000 * stepMillis / timedSteps).toFixed(2) : '';
    $('hash').textContent = stateHash();
    $('stepsPerFrame').textContent = stepsPerFrame;
    $('pause').textContent = paused ? 'Resume' : 'Pause';
    lastReadout = now;
    frames = 0;
    timedSteps = 0;
    stepMillis = 0;
  }

  // ---- The frame: steps, then the picture ----

  function frame(now) {
    const elapsed = now - lastFrame;
    lastFrame = now;
    if (!paused) {
      let steps = stepsPerFrame;
      if (realTime) {
        realTimeDebt = Math.min(realTimeDebt + elapsed, MOST_REAL_TIME_STEPS);
        steps = Math.floor(realTimeDebt);
        realTimeDebt -= steps;
      }
      if (replayEnd !== null) {
        steps = Math.min(steps, replayEnd - core._chain20_steps_run());
      }
      advance(steps);
      sampleEnergy();
      if (replayEnd !== null && core._chain20_steps_run() >= replayEnd) {
        paused = true;
        $('message').textContent += ` Replay stopped at step ${replayEnd}, state hash ${stateHash()}.`;
        replayEnd = null;
      }
    }
    draw();
    ++frames;
    if (now - lastReadout >= 250 || paused) {
      showReadouts(now);
    }
    requestAnimationFrame(frame);
  }

  // ---- Input ----

  function canvasPixel(event) {
    const box = canvas.getBoundingClientRect();
    return [Math.floor((event.clientX - box.left) * canvas.width / box.width),
            Math.floor((event.clientY - box.top) * canvas.height / box.height)];
  }
  function pointer(kind, event) {
    if (replayEnd !== null) {
      return;  // a replay owns the input until it ends
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

  function arrow(direction) {
    stepsPerFrame = core._chain20_arrow(direction);
    $('stepsPerFrame').textContent = stepsPerFrame;
  }
  function togglePause() {
    paused = !paused;
  }
  function singleStep() {
    if (paused) {
      advance(1);
      sampleEnergy();
    }
  }
  function reset() {
    core._chain20_reset();
    replayEnd = null;
    if (recording) {
      recording = false;
      $('record').textContent = 'Record';
      $('message').textContent = 'Reset: recording abandoned.';
    }
  }
  function toggleHelp() {
    $('help').hidden = !$('help').hidden;
  }

  const keys = {
    ArrowRight: () => arrow(1),
    ArrowLeft: () => arrow(-1),
    ' ': togglePause,
    '.': singleStep,
    r: reset,
    h: toggleHelp,
  };
  document.addEventListener('keydown', (event) => {
    const action = keys[event.key];
    if (action && !(event.target instanceof HTMLInputElement && event.target.type !== 'checkbox')) {
      event.preventDefault();
      action();
    }
  });
  $('pause').onclick = togglePause;
  $('step').onclick = singleStep;
  $('reset').onclick = reset;
  $('helpButton').onclick = toggleHelp;
  $('more').onclick = () => arrow(1);
  $('fewer').onclick = () => arrow(-1);
  $('realTime').onchange = (event) => {
    realTime = event.target.checked;
    realTimeDebt = 0;
  };

  // ---- The chain's parameters ----

  const parameters = [
    { id: 'links', valid: (v) => Number.isInteger(v) && v >= 1 && v <= 100000 },
    { id: 'gravity', valid: Number.isFinite },
    { id: 'damping', valid: (v) => Number.isFinite(v) && v >= 0 },
    { id: 'stiffness', valid: (v) => Number.isFinite(v) && v >= 0 },
    { id: 'initialAngle', valid: Number.isFinite },
  ];
  parameters.forEach(({ id, valid }, index) => {
    const input = $(id);
    input.value = Number(core._chain20_get(index).toPrecision(7));
    input.onchange = () => {
      const value = input.value.trim() === '' ? NaN : Number(input.value);
      if (valid(value)) {
        if (Math.fround(value) !== core._chain20_get(index)) {
          core._chain20_set(index, value);  // a set line in a recording, so only a change
        }
        input.setCustomValidity('');
      } else {
        input.setCustomValidity('out of range');
        input.reportValidity();
      }
    };
  });

  // The precision acts at the next reset, as the links do.
  $('precision').onchange = (event) => core._chain20_set_precision(Number(event.target.value));

  // ---- Recording and replay ----

  function stopRecording() {
    const steps = core._chain20_steps_run();
    const blob = new Blob([coreText(core._chain20_record_stop())], { type: 'text/plain' });
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    link.download = 'chain20-recording.txt';
    link.click();
    URL.revokeObjectURL(link.href);
    recording = false;
    $('record').textContent = 'Record';
    $('message').textContent = `Recorded ${steps} steps; replay with chain20-batch --events FILE --steps ${steps}.`;
  }
  $('record').onclick = () => {
    if (recording) {
      stopRecording();
      return;
    }
    reset();
    paused = false;
    const date = new TextEncoder().encode(new Date().toISOString().replace('T', ' ').slice(0, 19) + ' UTC\0');
    const address = core._malloc(date.length);
    core.HEAPU8.set(date, address);
    core._chain20_record_start(address);
    core._free(address);
    recording = true;
    $('record').textContent = 'Stop and download';
    $('message').textContent = 'Recording from rest.';
  };

  function replay(text) {
    reset();
    const bytes = new TextEncoder().encode(text);
    const address = core._malloc(bytes.length + 1);
    core.HEAPU8.set(bytes, address);
    const error = core._chain20_load_script(address, bytes.length);
    core._free(address);
    if (error !== 0) {
      $('message').textContent = coreText(error);
      return;
    }
    $('precision').value = String(core._chain20_precision());
    const final = /^# final: step (\d+)(?:, state hash ([0-9a-f]{16}))?/m.exec(text);
    replayEnd = final ? Number(final[1]) : core._chain20_script_end();
    paused = false;
    $('message').textContent = `Replaying to step ${replayEnd}` + (final?.[2] ? ` (recorded hash ${final[2]}).` : '.');
  }
  $('replay').onchange = async (event) => {
    const file = event.target.files[0];
    if (file) {
      replay(await file.text());
      event.target.value = '';
    }
  };

  // For tests and the console: the state, its hash, and a timing of n steps.
  window.chain20 = {
    state: () => Array.from(state()),
    hash: stateHash,
    stepsRun: () => core._chain20_steps_run(),
    links: () => core._chain20_links(),
    stepsPerFrame: () => stepsPerFrame,
    replaying: () => replayEnd !== null,
    replay,
    timeSteps(n) {
      const started = performance.now();
      core._chain20_advance(n);
      return (performance.now() - started) / n;
    },
  };
  requestAnimationFrame(frame);
});
