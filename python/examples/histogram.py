"""Grabs frames in a loop and prints, once a second, the frame rate and a histogram.

    python3 histogram.py [--device 0] [--seconds 10] [--bins 8]

Plain grabs into one preallocated array: the frame rate shown is what a Python loop gets.
Frames missed between grabs are counted from the frame counter of each frame's record.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import kepra


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", type=int, default=0)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--bins", type=int, choices=(2, 4, 8, 16, 32, 64), default=8)
    args = parser.parse_args()

    with kepra.open(args.device) as cam:
        # Equal bins over the samples' range: the top bits of each sample pick its bin.
        shift = cam.frame_params.bit_depth - (args.bins.bit_length() - 1)
        frame, info = cam.grab_info()
        last_counter = info.frame_counter
        end = time.monotonic() + args.seconds
        second_start, frames, missed = time.monotonic(), 0, 0
        counts = np.zeros(args.bins, np.int64)
        while time.monotonic() < end:
            frame, info = cam.grab_info()
            missed += (info.frame_counter - last_counter - 1) & 0xFFFFFFFF
            last_counter = info.frame_counter
            counts += np.bincount((frame >> shift).ravel(), minlength=args.bins)
            frames += 1
            elapsed = time.monotonic() - second_start
            if elapsed >= 1.0:
                shares = counts / counts.sum()
                bars = " ".join(f"{share:5.1%}" for share in shares)
                print(f"{frames / elapsed:6.1f} fps, {missed} missed | {bars}", flush=True)
                second_start, frames, missed = time.monotonic(), 0, 0
                counts[:] = 0


if __name__ == "__main__":
    main()
