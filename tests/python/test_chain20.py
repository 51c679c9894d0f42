"""The Python module against chain20-batch: the same bits for the same
options and script, its words for bad values, and the arrays it hands out."""
import copy
import os
import pathlib
import re
import subprocess
import threading

import numpy as np
import pytest

import chain20

BATCH = os.environ["CHAIN20_BATCH"]
DRAG = ("1 press 400 300\n1 right\n1 right\n200 drag 500 200\n450 resize 800 600\n500 drag 300 420\n"
        "600 release\n750 set links 9\n750 reset\n900 set damping 0\n")


def batch_hash(tmp_path, precision, links, steps):
    """The state hash chain20-batch reports after `steps` steps of DRAG."""
    script = tmp_path / "drag.txt"
    script.write_text(DRAG)
    run = subprocess.run([BATCH, "--steps", str(steps), "--precision", precision, "--links", str(links),
                          "--events", str(script)],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True)
    return re.search(r"state hash: ([0-9a-f]{16})", run.stderr).group(1)


@pytest.mark.parametrize("precision", ["float", "double"])
def test_drag_gives_the_batch_runners_hash(tmp_path, precision):
    expected = batch_hash(tmp_path, precision, 12, 1500)
    played = chain20.Chain(links=12, precision=precision)
    played.play(DRAG, steps=1500)
    by_hand = chain20.Chain(links=12, precision=precision)
    by_hand.press(400, 300)
    by_hand.right()
    by_hand.step(199)
    by_hand.drag(500, 200)
    by_hand.step(250)
    by_hand.resize(800, 600)
    by_hand.step(50)
    by_hand.drag(300, 420)
    by_hand.step(100)
    by_hand.release()
    by_hand.step(150)
    by_hand.set("links", 9)
    by_hand.reset()
    by_hand.step(150)
    by_hand.set("damping", 0)
    by_hand.step(601)
    assert (played.state_hash, by_hand.state_hash) == (expected, expected)
    assert played.steps == 1500 and played.time == pytest.approx(1.5) and played.q.shape == (9,)
    assert (played.steps_per_frame, by_hand.left(), by_hand.left()) == (32, 30, 29)
    # As a recording, the script runs to its final line's step and is checked
    # there, on its events (their hash as an ensemble's first line names it)
    # and its state: a pacing key edited leaves the state but not the events.
    ensemble = subprocess.run([BATCH, "--steps", "1500", "--members", "1", "--events", str(tmp_path / "drag.txt")],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, check=True).stdout
    events = re.search(r", events ([0-9a-f]{16})$", ensemble.splitlines()[0]).group(1)
    for final, edits in ((f"state hash {expected}, events hash {events}", [("1 right\n1 right", "1 right\n1 left")]),
                         (f"state hash {expected}", [])):
        recording = f"# precision: {precision}\n{DRAG}# final: step 1500, {final}\n"
        assert chain20.Chain(links=12, precision=precision).play(recording) is True
        for edit in [("step 1500", "step 1499")] + edits:
            assert chain20.Chain(links=12, precision=precision).play(recording.replace(*edit)) is False, edit
        assert chain20.Chain(links=12, precision=precision).play(recording, steps=1499) is None


@pytest.mark.parametrize("call, words", [
    (lambda: chain20.Chain(links=0), "links: '0' is not"),
    (lambda: chain20.Chain(precision="half"), "precision: 'half'"),
    (lambda: chain20.Chain().set("gravity", "x"), "gravity: 'x' is not"),
    (lambda: chain20.Chain().set("mass", 1), "mass"),
    (lambda: chain20.Chain().play("5 jump\n"), "script:1:"),
    (lambda: chain20.Chain().play("/dev/zero"), "event script '/dev/zero' is larger than 64 MiB"),
    (lambda: chain20.Chain().play("1 press 1 1", steps=-5), "steps: '-5' is not"),
    (lambda: chain20.ensemble(members=2, steps=10, shard=(1,)), "shard: needs (i, k)"),
    (lambda: chain20.ensemble(members=2, steps=10, sweep={"gravity": 3}), "sweep: gravity needs (from, to)"),
    (lambda: chain20.ensemble(members=2, steps=10, sweep={"gravity": (1e39, 0)}),
     "--sweep: gravity must stay finite in float"),
    (lambda: chain20.ensemble(members=2, steps=10, perturb=1e39),
     "--perturb: 1e+39 must leave the starting angles finite in float"),
    (lambda: chain20.ensemble(members=2, steps=10, lyapunov=1e300, precision="double"),
     "--lyapunov: 1e+300 is not from 4.97e-16 to 14 for 20 links in double"),
    (lambda: chain20.Chain().play(f"# precision: double\n{DRAG}# final: step 1500, state hash 0123456789abcdef\n"),
     "the recording is in double precision and the chain in float"),
])
def test_bad_values_raise_value_error_in_the_runners_words(call, words):
    with pytest.raises(ValueError, match=re.escape(words)):
        call()


@pytest.mark.parametrize("verb, x, y, words", [
    ("resize", 0, 0, "width '0' is not a whole number of pixels from 1 to 16384"),
    ("resize", 800, -600, "height '-600' is not a whole number of pixels from 1 to 16384"),
    ("press", 1000001, 0, "X coordinate '1000001' is out of range (-1000000 to 1000000)"),
    ("drag", 0, -2 ** 40, "Y coordinate '-1099511627776' is out of range (-1000000 to 1000000)"),
    ("press", 1.5, 0, "X coordinate '1.5' is not a whole number of pixels"),
])
def test_pixels_the_runner_refuses_are_refused_in_its_words(tmp_path, verb, x, y, words):
    chain = chain20.Chain()
    with pytest.raises(ValueError, match=re.escape(words)):
        getattr(chain, verb)(x, y)
    script = tmp_path / "bad.txt"
    script.write_text(f"1 {verb} {x} {y}\n")
    run = subprocess.run([BATCH, "--steps", "1", "--events", str(script), "--out", "/dev/null"],
                         capture_output=True, text=True)
    assert run.returncode != 0 and f"bad.txt:1: {words}" in run.stderr
    # The refused value left the window as it was: a press pulls the chain, which stays finite.
    chain.press(400, 300)
    chain.step(200)
    assert chain.resets == 0 and chain.q[0] != np.float32(-1.570796)


@pytest.mark.parametrize("call, error, words", [
    (lambda: chain20.Chain().play("runs/drag.txt"), FileNotFoundError, "event script 'runs/drag.txt'"),
    (lambda: chain20.Chain().play("drag.events"), FileNotFoundError, "event script 'drag.events'"),
    (lambda: chain20.Chain().play(pathlib.Path("1")), FileNotFoundError, "event script '1'"),
    (lambda: chain20.ensemble(members=2, steps=10, sweep={1: (0, 1)}), TypeError, "not int"),
    (lambda: chain20.Chain().trajectory(2 ** 62), MemoryError, "trajectory of 4611686018427387904 rows"),
    (lambda: chain20.ensemble(members=1000, steps=10 ** 9, every=1), MemoryError, "more than the"),
])
def test_a_missing_script_a_nameless_key_and_tables_beyond_memory_are_refused(call, error, words):
    with pytest.raises(error, match=re.escape(words)):
        call()


def test_one_line_scripts_are_text_and_a_large_chain_set_by_script_plays():
    one_line = chain20.Chain(links=3)
    assert one_line.play("5 press 400 300", steps=10) is None and one_line.steps == 10
    # The links of a set event keep all their digits (not 1e+05).
    large = chain20.Chain(links=2, precision="double")
    large.play("0 set links 100000\n", steps=0)
    assert large.q.shape == (100000,)


INTERRUPTED = """
import os, signal, sys, threading, time, chain20
calls = {"step": lambda c: c.step(10 ** 12), "trajectory": lambda c: c.trajectory(10 ** 12, every=10 ** 12),
         "play": lambda c: c.play("1 press 400 300\\n", steps=10 ** 12),
         "ensemble": lambda c: chain20.ensemble(members=2, steps=2 * 10 ** 9, threads=2)}
for name in sys.argv[1:]:
    chain, sent = chain20.Chain(links=8), []
    threading.Timer(0.2, lambda: (sent.append(time.monotonic()), os.kill(os.getpid(), signal.SIGINT))).start()
    try:
        calls[name](chain)
    except KeyboardInterrupt:
        late = time.monotonic() - sent[0]
        again = chain20.Chain(links=8)
        again.play("1 press 400 300\\n" if name == "play" else "", steps=chain.steps)
        print(name, late, chain.steps, again.state_hash == chain.state_hash)
"""


def test_ctrl_c_stops_a_long_call_with_the_steps_run_counted(tmp_path):
    names = ["step", "trajectory", "play", "ensemble"]
    run = subprocess.run(["/usr/bin/python3", "-c", INTERRUPTED, *names], capture_output=True, text=True,
                         timeout=60, env=dict(os.environ, PYTHONPATH=os.environ.get("PYTHONPATH", "")))
    lines = [line.split() for line in run.stdout.splitlines()]
    assert [line[0] for line in lines] == names, run.stderr
    for name, late, steps, same in lines:
        assert float(late) < 0.5 and same == "True", (name, late)
        assert int(steps) > 0 or name == "ensemble"


def test_arrays_are_checked_writable_views_of_independent_chains():
    short = chain20.Chain(links=5, precision="double")
    long = chain20.Chain(links=30)
    q = long.q
    assert (short.p.dtype, short.q.shape, long.q.dtype, long.p.shape) == (np.float64, (5,), np.float32, (30,))
    assert q[0] == np.float32(-1.570796)
    long.press(600, 300)
    long.step(100)
    assert q[0] != np.float32(-1.570796) and short.steps == 0 and short.q[0] == -1.570796
    rows = short.trajectory(1001, every=100)
    assert rows["q"].shape == (11, 5) and rows["p"].dtype == np.float64 and rows["tip"].shape == (11, 2)
    assert list(rows["step"][-2:]) == [1000, 1001]
    assert np.array_equal(rows["q"][-1], short.q) and rows["energy"][-1] == short.energy
    # A write through the view and an assignment set the same state.
    written, assigned = chain20.Chain(links=4), chain20.Chain(links=4)
    written.q[2] = 0.25
    assigned.q = [-1.570796, 0, 0.25, 0]
    written.step(300)
    assigned.step(300)
    assert written.state_hash == assigned.state_hash and written.q[2] != np.float32(0.25)
    for view, index, name in ((written.p, 1, "p"), (written.q, 3, "q")):
        kept = view[index]
        view[index] = np.inf if name == "p" else np.nan
        with pytest.raises(ValueError, match=re.escape(f"{name}[{index}] is not finite")):
            written.step()
        view[index] = kept
    with pytest.raises(ValueError, match=re.escape("q: needs 4 values")):
        assigned.q = [0, 0]
    with pytest.raises(ValueError, match=re.escape("q[3] is not finite")):
        assigned.q = [0, 0, 0, np.nan]
    assert written.steps == 300 and assigned.q[3] != 0
    # Momenta far beyond any motion overflow in one step: the chain falls back to rest and counts it.
    assigned.p = np.full(4, 1e30)
    assigned.step()
    assert assigned.resets == 1 and list(assigned.q) == [np.float32(-1.570796), 0, 0, 0] and not assigned.p.any()
    # While a chain steps without the GIL, another thread's calls on it are refused.
    busy = chain20.Chain(links=1000)
    for call, arguments, steps in ((busy.step, (3000,), 3000), (busy.play, ("1 press 400 300\n", 6000), 6000),
                                   (busy.trajectory, (3000, 1000), 9000)):
        stepping = threading.Thread(target=call, args=arguments)
        stepping.start()
        with pytest.raises(RuntimeError, match="stepping in another thread"):
            while stepping.is_alive():
                busy.reset()
        stepping.join()
        assert busy.steps == steps, call
    # A copy is a value of its own that steps on as the original would.
    twin = copy.deepcopy(long)
    long.step(50)
    assert twin.steps == 100 and twin.state_hash != long.state_hash
    twin.step(50)
    assert twin.state_hash == long.state_hash and not np.shares_memory(twin.q, long.q)
    # A reset to other links leaves an array read before holding the old state.

    old = short.q
    short.set("links", 9)
    short.reset()
    short.step(10)
    assert short.q.shape == (9,) and np.array_equal(old, rows["q"][-1])


@pytest.mark.parametrize("precision", ["float", "double"])
def test_ensemble_gives_the_batch_runners_member_hashes(tmp_path, precision):
    script = tmp_path / "drag.txt"
    script.write_text(DRAG)
    run = subprocess.run([BATCH, "--members", "11", "--steps", "1000", "--perturb", "1e-3", "--seed", "3",
                          "--sweep", "stiffness=50:300", "--threads", "1", "--precision", precision, "--links", "8",
                          "--events", str(script)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         check=True)
    rows = run.stdout.splitlines()[2:]
    expected = np.array([int(row.split(",")[-1], 16) for row in rows], dtype=np.uint64)
    result = chain20.ensemble(members=11, steps=1000, perturb=1e-3, seed=3, sweep={"stiffness": (50, 300)},
                              threads=2, precision=precision, events=DRAG, links=8)
    assert result["state_hash"].dtype == np.uint64 and result["member"].shape == (11,)
    np.testing.assert_array_equal(result["state_hash"], expected)
    assert result["ensemble_hash"] == re.search(r"ensemble hash: ([0-9a-f]{16})", run.stderr).group(1)
    with pytest.raises(ValueError, match="stiffness: '-1' is not"):
        chain20.ensemble(members=2, steps=10, stiffness=-1)
    with pytest.raises(ValueError, match="--sweep stiffness: the script sets it at line 1"):
        chain20.ensemble(members=2, steps=10, sweep={"stiffness": (1, 2)}, events="5 set stiffness 3\n")
    with pytest.raises(ValueError, match=re.escape("--shard: '2/2' is not I/K")):
        chain20.ensemble(members=2, steps=10, shard=(2, 2))
    with pytest.raises(TypeError, match="mass"):
        chain20.ensemble(members=2, steps=10, mass=1)
    # Unperturbed, each member's rows are the chain's own trajectory, column by column, as it falls
    # from level.
    rows = chain20.ensemble(members=2, steps=1000, every=300, links=6, initial_angle=0, precision=precision)
    alone = chain20.Chain(links=6, initial_angle=0, precision=precision).trajectory(1000, every=300)
    assert list(rows["member"]) == [0] * 4 + [1] * 4
    for name in ("step", "p", "q", "energy", "tip"):
        assert rows[name].dtype == alone[name].dtype and np.array_equal(rows[name][4:], alone[name]), name
    np.testing.assert_allclose(rows["time"][:4], alone["time"], rtol=1e-15)


def test_dask_shards_merge_into_the_local_ensemble(tmp_path):
    """Shards on a two-worker cluster give the local run's columns bit for bit,
    summaries and rows alike; a shard of another run is refused."""
    from distributed import Client, LocalCluster
    import chain20.dask

    script = tmp_path / "drag.txt"
    script.write_text(DRAG)
    options = dict(perturb=1e-4, seed=5, links=6, precision="double", events=script, threads=1)
    with LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None) as cluster, \
            Client(cluster) as client:
        for extra in ({"lyapunov": 1e-8, "sweep": {"gravity": (5, 15)}}, {"every": 400}):
            local = chain20.ensemble(members=7, steps=1000, **options, **extra)
            spread = chain20.dask.ensemble(client, members=7, steps=1000, shards=3, **options, **extra)
            assert sorted(spread) == sorted(local) and spread["ensemble_hash"] == local["ensemble_hash"]
            for name, column in local.items():
                assert np.array_equal(spread[name], column, equal_nan=name in ("p", "q")), name
        other = chain20.ensemble(members=7, steps=1000, shard=(1, 3), **dict(options, seed=6))
        first = chain20.ensemble(members=7, steps=1000, shard=(0, 3), **options)
    # The script's links go from 6 to 9 between the rows at steps 400 and 800.
    assert local["p"].dtype == np.float64 and local["q"].shape == (7 * 3, 9) and list(local["links"][:3]) == [6, 9, 9]
    assert np.isnan(local["q"][0, 6:]).all() and not np.isnan(local["q"][1]).any()
    with pytest.raises(ValueError, match="'part 1' is a shard of another run than 'part 0'"):
        chain20.dask.merge([first, other])
    with pytest.raises(ValueError, match="shards overlap: member 0 is in more than one"):
        chain20.dask.merge([first, first])
    # Each slice proves its rows, whatever its columns say: an edited value
    # or a lost row is refused, and edited columns do not reach the result.
    rest = [chain20.ensemble(members=7, steps=1000, shard=(i, 3), **options) for i in (1, 2)]
    lines = first["slice"].split(b"\n")
    for edited, message in ((lines[:3] + [lines[3].replace(b",", b",1", 1)] + lines[4:], "its rows do not match"),
                            (lines[:3] + lines[4:], "line 4 is not a line of member 0")):
        with pytest.raises(ValueError, match="'part 0': " + message):
            chain20.dask.merge([dict(first, slice=b"\n".join(edited))] + rest)
    first["energy"][0] = 0.0
    assert chain20.dask.merge(rest[::-1] + [first])["energy"][0] != 0.0


def test_the_readmes_install_gives_the_same_module_and_runs_the_notebook(tmp_path):
    """The user's install, typed as the README prints it, on a machine whose first
    python3 on PATH sees none of Debian's packages (as pyenv's); then the example
    notebook through that venv's kernel, as the README registers it."""
    source = os.environ["CHAIN20_SOURCE"]
    readme = pathlib.Path(source, "README.md").read_text()
    command = re.search(r"Install \(Debian 12.*?\n```sh\n(.*?)\n```", readme, re.S).group(1)
    other = tmp_path / "other-python"
    subprocess.run(["/usr/bin/python3", "-m", "venv", str(other)], check=True)
    typed = dict(os.environ, HOME=str(tmp_path), PATH=f"{other / 'bin'}{os.pathsep}{os.environ['PATH']}")
    # pip of an interpreter without the build's modules stops with one line that names them and
    # the python3 that has them, before any build output.
    refused = subprocess.run([str(other / "bin" / "pip"), "install", "--no-build-isolation", "--no-index", "."],
                             cwd=source, env=typed, capture_output=True, text=True)
    assert refused.returncode != 0 and "bdist_wheel" not in refused.stdout + refused.stderr
    said = re.findall(r"^ *(chain20: .*)$", refused.stdout + refused.stderr, re.M)
    assert re.fullmatch(re.escape(f"chain20: {other / 'bin' / 'python'}") + r"3? has no wheel, pybind11, numpy; "
                        r"/usr/bin/python3 has them: .*", said[0]) and len(said) == 1, refused.stderr
    assert "cmake" not in (refused.stdout + refused.stderr).lower()
    subprocess.run(["bash", "-c", command], check=True, cwd=source, env=typed, capture_output=True)
    venv = tmp_path / "chain20-venv"
    probe = ("import chain20, chain20.dask, pathlib; c = chain20.Chain(precision='double'); c.play(%r, steps=1500); "
             "assert (pathlib.Path(chain20.__file__).parent / '_chain20.pyi').is_file(); print(c.state_hash)" % DRAG)
    alone = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
    alone["HOME"] = str(tmp_path)
    installed = subprocess.run([str(venv / "bin" / "python"), "-c", probe + "; print(chain20.__file__)"],
                               cwd=tmp_path, check=True, env=alone, stdout=subprocess.PIPE, text=True).stdout.split()
    assert installed[1].startswith(str(venv))
    assert installed[0] == batch_hash(tmp_path, "double", 20, 1500)

    subprocess.run([str(venv / "bin" / "python"), "-m", "ipykernel", "install", "--user", "--name", "chain20"],
                   check=True, env=alone, capture_output=True)
    subprocess.run(["/usr/bin/jupyter", "nbconvert", "--to", "notebook", "--execute",
                    "--ExecutePreprocessor.kernel_name=chain20", os.path.join(source, "examples", "chain20.ipynb"),
                    "--output-dir", str(tmp_path)], check=True, cwd=tmp_path, env=alone, capture_output=True)
    import nbformat
    outputs = [output for cell in nbformat.read(tmp_path / "chain20.ipynb", 4).cells
               for output in cell.get("outputs", [])]
    assert not [output for output in outputs if output["output_type"] == "error"]
    assert sum("image/png" in output.get("data", {}) for output in outputs) == 2
    printed = "".join(output.get("text", "") for output in outputs)
    spread = re.search(r"spread (\S+) links after 0.02 s, (\S+) links after 10.0 s", printed)
    assert float(spread.group(1)) < 1e-4 and float(spread.group(2)) > 0.1


def test_the_type_stubs_name_what_the_module_has():
    import ast
    import chain20._chain20 as native
    stubs = ast.parse((pathlib.Path(native.__file__).parent / "_chain20.pyi").read_text())
    declared = {node.name: node for node in stubs.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    assert set(declared) == {name for name in dir(native) if not name.startswith("_")}
    members = {node.name for node in declared["Chain"].body if isinstance(node, ast.FunctionDef)}
    assert members == {name for name in dir(native.Chain) if not name.startswith("_")} | {"__init__"}


def test_the_installed_core_builds_and_runs_a_consumer():
    """cmake --install into a fresh prefix, find_package(chain20) from a ten-line
    project there alone, and chain20-batch's hash from its 1000 steps."""
    source = pathlib.Path(os.environ["CHAIN20_SOURCE"]) / "tests" / "install"
    run = subprocess.run(["bash", str(source / "installed_core.sh"), os.environ["CMAKE_COMMAND"],
                          os.environ["CHAIN20_BUILD"], str(source / "consumer"), os.environ["CXX"], BATCH],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert re.fullmatch(r"consumer: ([0-9a-f]{16}), chain20-batch: \1\n", run.stdout)
