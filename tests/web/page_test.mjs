// The chain20 page in Debian's chromium, headless, driven by playwright-core:
// the hanging chain on a screenshot, a drag of the tip, the keys of the run
// controls, replayed scripts that end in the native runner's state, and
// recordings (with a resize of the canvas) that the native runner replays to
// their hash, in float and in double precision.
//
// Usage: node page_test.mjs SITE_DIR NATIVE_BATCH WORK_DIR
import { chromium } from 'playwright-core';
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { tmpdir } from 'node:os';
import { createInterface } from 'node:readline';
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';

const [site, nativeBatch, work] = process.argv.slice(2);
const serverScript = new URL('../../web/serve.mjs', import.meta.url).pathname;
mkdirSync(work, { recursive: true });

let server;
let siteUrl;
let browser;
let page;
let profile;

// The page's server on 127.0.0.1, any free port: its URL is its first line.
function startServer() {
  server = spawn(process.execPath, [serverScript, site, '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    server.on('error', reject);
    createInterface({ input: server.stdout }).once('line', (line) => resolve(line.replace(/^.*(http:\S+).*$/, '$1')));
  });
}

// Dark pixels of a PNG screenshot, decoded by the browser itself: a function
// (x, y) -> true where the pixel is dark.
async function darkPixels(png) {
  const data = await page.evaluate(async (base64) => {
    const image = new Image();
    image.src = `data:image/png;base64,${base64}`;
    await image.decode();
    const canvas = new OffscreenCanvas(image.width, image.height);
    const context = canvas.getContext('2d');
    context.drawImage(image, 0, 0);
    const rgba = context.getImageData(0, 0, image.width, image.height).data;
    const dark = [];
    for (let i = 0; i < rgba.length; i += 4) {
      dark.push(rgba[i] + rgba[i + 1] + rgba[i + 2] < 3 * 128 ? 1 : 0);
    }
    return { width: image.width, dark: dark.join('') };
  }, png.toString('base64'));
  return (x, y) => data.dark[y * data.width + x] === '1';
}

// The state hash that the native runner prints after `steps` steps of this script.
function nativeHash(scriptPath, steps, options = []) {
  const summary = spawnSync(nativeBatch, ['--steps', String(steps), '--every', String(steps), '--events', scriptPath,
                                          '--out', '/dev/null', ...options]).stderr.toString();
  return /^state hash: ([0-9a-f]{16})$/m.exec(summary)[1];
}

// Sets the page's parameter inputs as a user does: [[id, value], ...].
async function setParameters(values, on = page) {
  for (const [id, value] of values) {
    await on.locator(`#${id}`).fill(value);
    await on.locator(`#${id}`).dispatchEvent('change');
  }
}

function tipX(state) {
  const links = state.length / 2;
  let angle = 0;
  let x = 0;
  for (let i = links; i < 2 * links; ++i) {
    angle += state[i];
    x += Math.cos(angle);
  }
  return x;
}

before(async () => {
  siteUrl = await startServer();
  profile = mkdtempSync(join(tmpdir(), 'chain20-chromium-'));
  browser = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1100, height: 700 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
           '--disable-sync', '--no-first-run'],
  });
  page = browser.pages()[0] ?? (await browser.newPage());
  await page.goto(siteUrl);
  await page.waitForFunction(() => window.chain20 !== undefined && window.chain20.stepsRun() > 0);
});

after(async () => {
  await browser?.close();
  server?.kill();
  rmSync(profile, { recursive: true, force: true, maxRetries: 5 });
});

test('the page shows the chain hanging straight down from its base', async () => {
  const png = await page.locator('#view').screenshot();
  writeFileSync(join(work, 'hanging.png'), png);
  const dark = await darkPixels(png);
  // The base is at the centre of the 640 x 640 canvas, a little right of it
  // through the frustum's offset; 20 links reach about 265 pixels down.
  let column = 0;
  for (let y = 330; y < 575; ++y) {
    column += dark(323, y) ? 1 : 0;
  }
  assert.ok(column >= 240, `${column} of 245 pixels dark along the hanging chain`);
  let elsewhere = 0;
  for (let y = 0; y < 640; y += 4) {
    for (let x = 0; x < 640; x += 4) {
      const nearChain = x > 300 && x < 346 && y > 300 && y < 600;
      const resizeGrip = x >= 624 && y >= 624;
      elsewhere += !nearChain && !resizeGrip && dark(x, y) ? 1 : 0;
    }
  }
  assert.equal(elsewhere, 0, 'dark pixels away from the chain');
});

test('dragging the tip to the right pulls the chain there, and releasing lets it go', async () => {
  const box = await page.locator('#view').boundingBox();
  assert.ok(Math.abs(tipX(await page.evaluate(() => window.chain20.state()))) < 0.01);
  await page.mouse.move(box.x + 323, box.y + 580);
  await page.mouse.down();
  for (let k = 1; k <= 10; ++k) {
    await page.mouse.move(box.x + 323 + 28 * k, box.y + 580 - 26 * k);
  }
  const steps = await page.evaluate(() => window.chain20.stepsRun());
  await page.waitForFunction((start) => window.chain20.stepsRun() > start + 1500, steps);
  const pulled = await page.evaluate(() => window.chain20.state());
  assert.ok(tipX(pulled) > 5, `tip at x = ${tipX(pulled)} after the pull`);
  assert.equal(await page.locator('#spring').textContent(), 'pulling');
  // The pull feeds energy in: the plot of the total spans a range and draws a line.
  const [low, high] = (await page.locator('#energyRange').textContent()).match(/-?[\d.]+/g).map(Number);
  assert.ok(high - low > 1, `total energy from ${low} to ${high} J over the plot`);
  const inked = await page.evaluate(() => {
    const plot = document.getElementById('energyPlot');
    const alpha = plot.getContext('2d').getImageData(0, 0, plot.width, plot.height).data.filter((v, i) => i % 4 === 3);
    return alpha.filter((a) => a > 0).length;
  });
  assert.ok(inked > 200, `${inked} pixels of the energy plot drawn`);
  await page.mouse.up();
  await page.waitForFunction(() => document.getElementById('spring').textContent === 'off');
  await page.locator('#view').screenshot({ path: join(work, 'released.png') });
});

test('the keys work the run controls: arrows, pause, single step, help', async () => {
  const before = await page.evaluate(() => window.chain20.stepsPerFrame());
  await page.keyboard.press('ArrowRight');
  assert.equal(await page.evaluate(() => window.chain20.stepsPerFrame()), before + 1);
  await page.waitForFunction((n) => document.getElementById('stepsPerFrame').textContent === String(n), before + 1);
  await page.keyboard.press('ArrowLeft');
  assert.equal(await page.evaluate(() => window.chain20.stepsPerFrame()), before);

  const stepsRun = () => page.evaluate(() => window.chain20.stepsRun());
  await page.keyboard.press('Space');
  assert.ok(await page.evaluate(() => window.chain20.paused()));
  const held = await stepsRun();
  await page.waitForTimeout(150);
  assert.equal(await stepsRun(), held, 'no steps while paused');
  await page.keyboard.press('.');
  await page.locator('#step').click();
  assert.equal(await stepsRun(), held + 2, 'one step per . and per Step');
  await page.waitForFunction(() => document.getElementById('pause').textContent === 'Resume');
  assert.ok(await page.locator('#help').isHidden());
  await page.keyboard.press('h');
  await page.waitForFunction(() => !document.getElementById('help').hidden);
  await page.locator('#helpButton').click();
  await page.waitForFunction(() => document.getElementById('help').hidden);
  await page.keyboard.press('Space');
  await page.waitForFunction((n) => window.chain20.stepsRun() > n, held + 2);
});

// The view's pixels tinted blue as the fan's translucent members tint them.
const tintedPixels = () => page.evaluate(() => {
  const view = document.getElementById('view');
  const rgba = view.getContext('2d').getImageData(0, 0, view.width, view.height).data;
  let tinted = 0;
  for (let i = 0; i < rgba.length; i += 4) {
    tinted += rgba[i + 2] > rgba[i] + 12 ? 1 : 0;
  }
  return tinted;
});

test('s and f add the shadow and the fan with their readouts, p the phase portrait; pressed again they go', async () => {
  await setParameters([['damping', '0'], ['initial-angle', '0']]);
  await page.locator('#reset').click();
  try {
    await companionsComeAndGo();
  } finally {
    await setParameters([['damping', '30'], ['initial-angle', '-1.570796']]);
    await page.locator('#reset').click();
  }
});

async function companionsComeAndGo() {
  for (const key of ['s', 'f', 'p']) {
    await page.keyboard.press(key);
  }
  // The chain falls smoothly at first; the fan opens once it whips.
  await page.waitForFunction(() => Number(document.getElementById('spread').textContent) > 0.5, null,
                             { timeout: 60000 });
  for (const id of ['shadowRows', 'fanRow', 'phaseRow']) {
    assert.equal(await page.locator(`#${id}`).isHidden(), false, `${id} is hidden`);
  }
  assert.match(await page.locator('#separation').textContent(), /^\d\.\d{3}e[-+]\d+$/);
  assert.match(await page.locator('#spread').textContent(), /^\d\.\d{3}e[-+]\d+$/);
  const tinted = await tintedPixels();
  assert.ok(tinted > 500, `only ${tinted} tinted pixels with the fan`);
  for (const key of ['s', 'f', 'p', 'p']) {
    await page.keyboard.press(key);
  }
  await page.waitForFunction(() => document.getElementById('fanRow').hidden && document.getElementById('phaseRow').hidden);
  await page.waitForTimeout(100);
  assert.equal(await tintedPixels(), 0, 'the fan is still drawn');
}

test('a copied link replays to "replay matches", one edited event to "replay differs"; a video comes out as WebM', async () => {
  await page.locator('#record').click();
  const box = await page.locator('#view').boundingBox();
  await page.mouse.move(box.x + 400, box.y + 500);
  await page.mouse.down();
  await page.mouse.move(box.x + 300, box.y + 450, { steps: 5 });
  await page.waitForTimeout(300);
  await page.mouse.up();
  await page.locator('#copyLink').click();
  const link = await page.locator('#shareLink').inputValue();
  await page.locator('#record').click();  // stops the recording
  const encoded = /#run=([A-Za-z0-9_-]+)$/.exec(link)[1];
  const text = Buffer.from(encoded, 'base64url').toString('utf8');
  const edited = text.replace(/^(\d+) drag (\d+)/m, (line, step, x) => `${step} drag ${Number(x) + 7}`);
  assert.notEqual(edited, text, 'the recording has no drag to edit');
  const differs = /replay differs from the recording: its events are not the recorded ones .*\. hash differs$/;
  for (const [url, verdict] of [[link, /replay matches the recording\. hash matches$/], [link.replace(encoded, Buffer.from(edited).toString('base64url')), differs]]) {
    await page.goto('about:blank');
    await page.goto(url);
    await page.waitForFunction(() => /replay (matches|differs)/.test(document.getElementById('message').textContent), null,
                               { timeout: 60000 });
    assert.match(await page.locator('#message').textContent(), verdict);
  }
  await page.goto('about:blank');
  await page.goto(link.replace(/#.*$/, ''));
  await page.waitForFunction(() => window.chain20 !== undefined && window.chain20.stepsRun() > 0);
  await page.locator('#recordVideo').click();
  await page.waitForTimeout(800);
  await page.locator('#recordVideo').click();
  await page.waitForFunction(() => !document.getElementById('videoLink').hidden);
  assert.ok(Number(await page.locator('#videoLink').getAttribute('data-bytes')) > 0, 'the video is empty');
});

// In float, and in double as a recording names it.
const replayedHashes = {};
for (const precision of ['float', 'double']) {
  test(`a script replayed in the page in ${precision} ends in the state the native runner reaches`, async () => {
    const steps = 2500;
    const script = [...(precision === 'double' ? ['# precision: double'] : []),
                    '0 set stiffness 350', '50 press 600 320', '400 drag 500 100', '900 right', '1000 drag 40 600',
                    '1200 reset', '1300 set gravity 4', '1800 release'].join('\n') + '\n';
    const scriptPath = join(work, `replay-${precision}.txt`);
    writeFileSync(scriptPath, script);
    const expected = nativeHash(scriptPath, steps, ['--precision', precision]);
    // A recording's final line as it was before events were hashed: the
    // page runs to its step and checks the state alone, as the runner does.
    writeFileSync(scriptPath, `${script}# final: step ${steps}, state hash ${expected}\n`);

    // The file is read asynchronously: the replay has ended once its message says so.
    await page.evaluate(() => { document.getElementById('message').textContent = ''; });
    await page.locator('#replay').setInputFiles(scriptPath);
    await page.waitForFunction(() => /stopped at/.test(document.getElementById('message').textContent));
    assert.equal(await page.evaluate(() => window.chain20.stepsRun()), steps);
    assert.equal(await page.evaluate(() => window.chain20.hash()), expected);
    assert.match(await page.locator('#message').textContent(),
                 new RegExp(`stopped at step ${steps}, state hash ${expected}: replay matches the recording's state \\(`));
    assert.equal(await page.locator('#precision').inputValue(), precision === 'double' ? '1' : '0');
    replayedHashes[precision] = expected;
    assert.notEqual(replayedHashes.double, replayedHashes.float, 'the same run in float and in double');
  });
}

test('links and gravity set in the page build the chain at the next reset', async () => {
  await page.locator('#links').fill('7');
  await page.locator('#links').dispatchEvent('change');
  await page.locator('#gravity').fill('3.5');
  await page.locator('#gravity').dispatchEvent('change');
  assert.equal(await page.evaluate(() => window.chain20.links()), 20, 'links wait for the reset');
  await page.locator('#reset').click();
  assert.equal(await page.evaluate(() => window.chain20.links()), 7);
  assert.equal((await page.evaluate(() => window.chain20.state())).length, 14);
  if ((await page.locator('#pause').textContent()) === 'Resume') {
    await page.locator('#pause').click();  // the replay before left the page paused
  }
  await page.waitForFunction(() => window.chain20.stepsRun() > 300);
  // Seven links hang straight down as twenty do, over the same region.
  const dark = await darkPixels(await page.locator('#view').screenshot({ path: join(work, 'seven.png') }));
  assert.ok(dark(323, 560) && dark(323, 340) && !dark(323, 600));
  await setParameters([['links', '20'], ['gravity', '9.81']]);
  await page.locator('#reset').click();
});

// In either precision, chosen in the page; the canvas resized while
// recording, so that the press and drag after it are mapped through the new
// size, natively too only if the recording says so.
for (const precision of ['float', 'double']) {
  test(`a run recorded in the page in ${precision}, its canvas resized, replays natively with no options ` +
       'to the recorded hash', async () => {
    await page.locator('#precision').selectOption(precision === 'double' ? '1' : '0');
    await setParameters([['links', '7'], ['gravity', '5']]);
    await page.locator('#record').click();
    await page.evaluate(() => Object.assign(document.getElementById('viewFrame').style, { width: '560px',
                                                                                        height: '480px' }));
    await page.waitForFunction(() => document.getElementById('view').width === 560 &&
                                     document.getElementById('view').height === 480);
    const box = await page.locator('#view').boundingBox();
    await page.mouse.move(box.x + 280, box.y + 440);
    await page.mouse.down();
    await page.mouse.move(box.x + 130, box.y + 150, { steps: 8 });
    await page.keyboard.press('ArrowRight');
    await setParameters([['damping', '12']]);
    await page.waitForFunction(() => window.chain20.stepsRun() > 800);
    await page.mouse.up();
    const [download] = await Promise.all([page.waitForEvent('download'), page.locator('#record').click()]);
    const recordingPath = join(work, `recording-${precision}.txt`);
    await download.saveAs(recordingPath);
    const lines = readFileSync(recordingPath, 'utf8').trim().split('\n');
    assert.match(lines.shift(), /^# recorded by chain20 page on \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC$/);
    if (precision === 'double') {
      assert.equal(lines.shift(), '# precision: double');
    }
    assert.deepEqual(lines.slice(0, 6).map((line) => line.replace(/ -?[\d.]+$/, '')),
                     ['0 set links', '0 set gravity', '0 set damping', '0 set stiffness', '0 set initial-angle',
                      '0 resize 640']);
    assert.deepEqual([lines[0], lines[1], lines[5]], ['0 set links 7', '0 set gravity 5', '0 resize 640 640']);
    const resize = lines.findIndex((line) => /^[1-9]\d* resize 560 480$/.test(line));
    const press = lines.findIndex((line) => /^\d+ press \d+ \d+$/.test(line));
    assert.ok(resize > 0 && press > resize, 'the resize recorded before the press');
    assert.ok(lines.some((line) => / release$/.test(line)));
    assert.ok(lines.some((line) => /^[1-9]\d* set damping 12$/.test(line)), 'the damping changed while recording');
    const [, steps, recordedHash] = /^# final: step (\d+), state hash ([0-9a-f]{16}), events hash [0-9a-f]{16}$/.exec(lines.at(-1));
    assert.equal(nativeHash(recordingPath, Number(steps)), recordedHash);
    if (precision === 'double') {
      assert.equal(nativeHash(recordingPath, Number(steps), ['--precision', 'double']), recordedHash);
      assert.notEqual(nativeHash(recordingPath, Number(steps), ['--precision', 'float']), recordedHash);
    }
    await page.evaluate(() => Object.assign(document.getElementById('viewFrame').style, { width: '640px',
                                                                                        height: '640px' }));
    await setParameters([['links', '20'], ['gravity', '9.81'], ['damping', '30']]);
    await page.locator('#precision').selectOption('0');
    await page.locator('#reset').click();
    if (precision === 'double') {
      assert.match(await page.locator('#message').textContent(), /^Started over in the new precision\.$/);
    }
  });
}

// 100,000 events drag a 10,000-link chain for 200 steps, released at the last.
function longScript(steps) {
  const lines = ['0 set links 10000', '0 press 600 320'];
  const drags = 99997;
  for (let i = 0; i < drags; ++i) {
    lines.push(`${1 + Math.floor(i * (steps - 2) / drags)} drag ${600 + i % 97} ${320 - i % 89}`);
  }
  lines.push(`${steps} release`);  // the script's last event: the page's replay ends at its step
  return lines.join('\n') + '\n';
}

// On a page of its own, which the last case leaves stopped: long chains and
// the fullest fan, for which the core's memory grows, and a fan too large for
// the most it can grow to.
test('a 10,000-link chain replays 100,000 events to the native hash and a 256-chain fan runs at 200 links; ' +
     'a fan past the memory stops the page with a message', async () => {
  const own = await browser.newPage();
  const errors = [];
  own.on('pageerror', (error) => errors.push(String(error)));
  try {
    await own.goto(siteUrl);
    await own.waitForFunction(() => window.chain20 !== undefined && window.chain20.stepsRun() > 0);
    const steps = 200;
    const scriptPath = join(work, 'long.txt');
    writeFileSync(scriptPath, longScript(steps));
    const expected = nativeHash(scriptPath, steps);
    await own.locator('#replay').setInputFiles(scriptPath);
    await own.waitForFunction(() => /stopped at/.test(document.getElementById('message').textContent), null,
                              { timeout: 60000 });
    assert.equal(await own.evaluate(() => window.chain20.links()), 10000);
    assert.equal(await own.evaluate(() => window.chain20.hash()), expected);

    await setParameters([['links', '200'], ['fanMembers', '256']], own);
    await own.locator('#reset').click();
    await own.locator('#pause').click();  // the replay left the page paused
    await own.evaluate(() => document.activeElement.blur());
    await own.keyboard.press('f');
    const fanStart = await own.evaluate(() => window.chain20.stepsRun());
    await own.waitForFunction((start) => window.chain20.stepsRun() > start &&
                                         Number(document.getElementById('spread').textContent) > 0, fanStart,
                              { timeout: 60000 });
    assert.equal(await own.locator('#fanRow').isHidden(), false);

    // 256 members of 100,000 links need several times the most memory.
    await own.keyboard.press('f');
    await own.keyboard.press('Space');
    await setParameters([['links', '100000']], own);
    await own.locator('#reset').click();
    await own.evaluate(() => document.activeElement.blur());
    await own.keyboard.press('f');
    await own.waitForFunction(() => /^Out of memory/.test(document.getElementById('message').textContent), null,
                              { timeout: 60000 });
    const [, megabytes] = /^Out of memory at (\d+) MB: [^\n]+ Reload the page to start again\.$/
      .exec(await own.locator('#message').textContent());
    assert.ok(Number(megabytes) > 1000, `the core stopped at ${megabytes} MB`);
    assert.equal(await own.evaluate(() => document.body.inert), true, 'the controls still take input');
    const shownSteps = await own.locator('#steps').textContent();
    await own.waitForTimeout(300);
    assert.equal(await own.locator('#steps').textContent(), shownSteps, 'frames go on after the stop');
    assert.deepEqual(errors.map((error) => /Aborted/.test(error)), [true], `page errors: ${errors}`);
  } finally {
    await own.close();
  }
});

test('a WebAssembly module missing from the server is reported on the page', async () => {
  const own = await browser.newPage();
  try {
    await own.route('**/chain20.wasm', (route) => route.fulfill({ status: 404, body: 'not here' }));
    await own.goto(siteUrl);
    await own.waitForFunction(() => /could not start/.test(document.getElementById('message').textContent));
    assert.match(await own.locator('#message').textContent(),
                 /^The page's core could not start \([^()]+\)\. Reload the page to try again\.$/);
    assert.equal(await own.evaluate(() => document.body.inert), true);
  } finally {
    await own.close();
  }
});

test('the wasm step in the page, timed for the report', async () => {
  const microseconds = await page.evaluate(() => {
    window.chain20.timeSteps(2000);
    const runs = [0, 1, 2, 3, 4].map(() => window.chain20.timeSteps(20000) * 1000);
    return runs.sort((a, b) => a - b)[2];
  });
  console.log(`wasm RK4 step in chromium: ${microseconds.toFixed(2)} us (median of 5 x 20000 steps)`);
  assert.ok(microseconds > 0);
});
