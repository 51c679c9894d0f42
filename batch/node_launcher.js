// chain20-batch under node. The WebAssembly program runs on a worker thread,
// so that this thread stays free to take SIGINT, SIGTERM and SIGHUP while the
// steps run. The two share two numbers: [0] is the signal that asks the run
// to stop, which the program looks at between steps; [1] is set by the
// program once it takes such requests. A signal before that ends the process
// at once, as it ends the native program. The program's exit status is the
// process's.
'use strict';
const os = require('os');
const path = require('path');
const { Worker } = require('worker_threads');

const shared = new Int32Array(new SharedArrayBuffer(8));
// The program names itself after this script, as it was started.
const start = `process.argv[1] = ${JSON.stringify(process.argv[1])};
               require(${JSON.stringify(path.join(__dirname, 'chain20-batch-worker.js'))});`;
const program = new Worker(start, { eval: true, argv: process.argv.slice(2), workerData: shared.buffer });
for (const name of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
    process.on(name, () => {
        if (Atomics.load(shared, 1) === 1) {
            Atomics.store(shared, 0, os.constants.signals[name]);
        } else {
            process.removeAllListeners(name);
            process.kill(process.pid, name);
        }
    });
}
program.on('exit', (status) => process.exit(status));
