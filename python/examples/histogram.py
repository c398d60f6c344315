"""Streams frames and prints, once a second, the frame rate and a histogram.

    python3 histogram.py [--device 0] [--seconds 10] [--bins 8] [--buffers 8]

The library grabs on its own thread into a pool of buffers (oldest first) while this loop
bins each frame. Frames missed are those the camera made that the stream never got (skipped)
plus those the stream discarded because every buffer was in use (dropped).
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
    parser.add_argument("--buffers", type=int, default=8)
    args = parser.parse_args()

    with kepra.open(args.device) as cam:
        # Equal bins over the samples' range: the top bits of each sample pick its bin.
        shift = cam.frame_format().bit_depth - (args.bins.bit_length() - 1)
        counts = np.zeros(args.bins, np.int64)
        with cam.stream(buffers=args.buffers, strategy="oldest") as stream:
            end = time.monotonic() + args.seconds
            second_start, frames, missed_before = time.monotonic(), 0, 0
            while time.monotonic() < end:
                try:
                    frame, _ = stream.next(timeout=max(end - time.monotonic(), 0.0))
                except kepra.StreamTimeoutError:
                    break
                counts += np.bincount((frame >> shift).ravel(), minlength=args.bins)
                frames += 1
                elapsed = time.monotonic() - second_start
                if elapsed >= 1.0:
                    stats = stream.stats
                    missed = stats.skipped + stats.dropped
                    shares = counts / counts.sum()
                    bars = " ".join(f"{share:5.1%}" for share in shares)
                    print(f"{frames / elapsed:6.1f} fps, {missed - missed_before} missed | {bars}", flush=True)
                    second_start, frames, missed_before = time.monotonic(), 0, missed
                    counts[:] = 0


if __name__ == "__main__":
    main()
