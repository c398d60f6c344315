"""Frames per second of a grab loop into a preallocated array, Python against C.

    python3 bench_grab.py [--build DIR] [--frames N] [--rounds R] [--depth 16] [--model 4]
                          [--roi 320x240] [--stream]

Both loops grab from the same unpaced kepra-virtcam (frames as fast as they are asked for),
alternately, R rounds of N frames each; the figures are each side's best round. The C loop
(grab_loop.c, compiled here with cc) sizes its buffer once and calls kepra_GetFrame16 per
frame; the Python loop calls `cam.grab(out=frame)`, which checks `out` against the frame size
it read once. With --stream both sides take frames from a stream (8 buffers, oldest-first,
with records) and copy each out of the pool before giving its buffer back: the C loop is
grab_loop.c's stream loop, the Python loop calls `next()` on `cam.stream()`. Goal: Python >= 0.95 x C.
The device index is $KEPRA_TEST_INDEX (14).
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
FLOOR = 0.95


def default_build() -> Path:
    for preset in ("linux-release", "linux-debug"):
        if (REPO / "build" / preset / "virtcam" / "kepra-virtcam").exists():
            return REPO / "build" / preset
    sys.exit("build kepra-virtcam and kepra first (cmake --build --preset linux-release "
             "--target kepra-virtcam kepra)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=None)
    parser.add_argument("--frames", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--depth", type=int, choices=(8, 16), default=16)
    parser.add_argument("--model", default="4")
    parser.add_argument("--roi", help="WIDTHxHEIGHT region of interest at the sensor's origin")
    parser.add_argument("--stream", action="store_true", help="stream loops instead of grab loops")
    args = parser.parse_args()
    build = (args.build or default_build()).resolve()
    index = int(os.environ.get("KEPRA_TEST_INDEX", "14"))
    library = build / "src" / "libkepra.so.1"
    os.environ["KEPRA_LIBRARY"] = str(library)
    sys.path.insert(0, str(HERE.parent))
    import kepra  # noqa: E402  (after KEPRA_LIBRARY is set)

    work = Path(tempfile.mkdtemp(prefix="kepra-bench-"))
    program = work / "grab_loop"
    subprocess.run(
        ["cc", "-O2", "-std=c11", "-Wall", "-Wextra", "-Werror", "-D_POSIX_C_SOURCE=199309L", f"-I{REPO / 'include'}",
         str(HERE / "grab_loop.c"), "-o", str(program), f"-L{library.parent}", "-lkepra",
         f"-Wl,-rpath,{library.parent}"],
        check=True,
    )
    devices = work / "devices"
    devices.mkdir()
    os.environ["KEPRA_DEVICE_DIR"] = str(devices)
    daemon = subprocess.Popen(
        [str(build / "virtcam" / "kepra-virtcam"), "--dir", str(devices), "--unpaced",
         "--camera", f"{index}:{args.model}"],
        stdout=subprocess.DEVNULL,
    )
    try:
        deadline = time.monotonic() + 10
        while not any(devices.iterdir()):
            if time.monotonic() > deadline:
                sys.exit("kepra-virtcam did not start")
            time.sleep(0.01)
        time.sleep(0.2)
        c_rates, py_rates = [], []
        with kepra.open(index) as cam:
            if args.roi:
                width, height = (int(v) for v in args.roi.split("x"))
                cam.frame_params = kepra.FrameParams(0, 0, width, height)
            out = cam.grab(args.depth)  # the preallocated array; also warms both sides up
            shape = out.shape
            for _ in range(args.rounds):
                command = [str(program), str(index), str(args.frames), str(args.depth)]
                done = subprocess.run(command + (["stream"] if args.stream else []),
                                      check=True, capture_output=True, text=True)
                c_rates.append(float(done.stdout))
                if args.stream:
                    with cam.stream(buffers=8, strategy="oldest", depth=args.depth) as s:
                        s.next()  # untimed, as on the C side
                        start = time.perf_counter()
                        for _ in range(args.frames):
                            s.next()
                        py_rates.append(args.frames / (time.perf_counter() - start))
                else:
                    start = time.perf_counter()
                    for _ in range(args.frames):
                        cam.grab(args.depth, out=out)
                    py_rates.append(args.frames / (time.perf_counter() - start))
    finally:
        daemon.terminate()
        daemon.wait()
    # The best round of each side is the one least disturbed by other load on the machine (as
    # timeit takes the minimum); medians are printed beside them.
    c_fps, py_fps = max(c_rates), max(py_rates)
    ratio = py_fps / c_fps
    c_median, py_median = statistics.median(c_rates), statistics.median(py_rates)
    size = f"{shape[1]}x{shape[0]}"
    print(f"C loop:      best {c_fps:8.1f} frames/s, median {c_median:8.1f}")
    print(f"Python loop: best {py_fps:8.1f} frames/s, median {py_median:8.1f}")
    print(f"ratio {ratio:.3f} (goal >= {FLOOR}) {'ok' if ratio >= FLOOR else 'BELOW GOAL'}")
    if args.stream:
        what = f"`cam.stream()` {args.depth}-bit {size} vs C `kepra_NextFrame` loop (both copying)"
    else:
        what = f"`cam.grab(out=...)` {args.depth}-bit {size} vs C `kepra_GetFrame{args.depth}` loop"
    print(f"| {what} | {py_fps:.1f} frames/s | {c_fps:.1f} frames/s | {ratio:.2f} | >= {FLOOR} |")


if __name__ == "__main__":
    main()
