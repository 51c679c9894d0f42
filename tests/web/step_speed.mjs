// Times the Runge-Kutta step in the page (headless chromium) and in the native
// chain20-batch, interleaved, with the tip spring pulling in both; prints the
// medians and their ratio. A measurement, not a test.
//
// Usage: node step_speed.mjs SITE_DIR NATIVE_BATCH [ROUNDS]
import { chromium } from 'playwright-core';
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { tmpdir } from 'node:os';
import { createInterface } from 'node:readline';

const [site, nativeBatch, rounds = '5'] = process.argv.slice(2);
const STEPS = 200000;
const script = '1 press 600 320\n';
const scratch = mkdtempSync(join(tmpdir(), 'chain20-speed-'));
writeFileSync(join(scratch, 'pull.txt'), script);

const server = spawn(process.execPath, [new URL('../../web/serve.mjs', import.meta.url).pathname, site, '0'],
                     { stdio: ['ignore', 'pipe', 'inherit'] });
const url = await new Promise((resolve) =>
  createInterface({ input: server.stdout }).once('line', (line) => resolve(line.replace(/^.*(http:\S+).*$/, '$1'))));
let browser;
try {
  browser = await chromium.launchPersistentContext(join(scratch, 'profile'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
           '--disable-sync', '--no-first-run'],
  });
  const page = browser.pages()[0] ?? (await browser.newPage());
  await page.goto(url);
  await page.waitForFunction(() => window.chain20 !== undefined);

  const median = (values) => values.slice().sort((a, b) => a - b)[Math.floor(values.length / 2)];
  const wasm = [];
  const native = [];
  for (let round = 0; round < Number(rounds); ++round) {
    // The page: the spring set by the same script, the animation paused at step 1.
    wasm.push(await page.evaluate(([text, steps]) => {
      window.chain20.replay(text);
      return new Promise((resolve) => {
        const wait = () => (window.chain20.replaying() ? requestAnimationFrame(wait)
                                                       : resolve(window.chain20.timeSteps(steps) * 1000));
        wait();
      });
    }, [script, STEPS]));
    const summary = spawnSync(nativeBatch, ['--steps', String(STEPS), '--every', String(STEPS), '--events',
                                            join(scratch, 'pull.txt'), '--out', '/dev/null']).stderr.toString();
    native.push(1e6 / Number(/steps per second: (\d+)/.exec(summary)[1]));
  }
  const show = (values) => `${values.map((v) => v.toFixed(2)).join(' ')} us, median ${median(values).toFixed(2)}`;
  console.log(`wasm step in chromium: ${show(wasm)}`);
  console.log(`native step:           ${show(native)}`);
  console.log(`ratio of medians: ${(median(wasm) / median(native)).toFixed(2)}`);
} finally {
  await browser?.close();
  server.kill();
  rmSync(scratch, { recursive: true, force: true, maxRetries: 5 });
}
