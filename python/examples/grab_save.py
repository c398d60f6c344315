"""Grabs one frame and saves it as .npy and as a PGM image.

    python3 grab_save.py [--device 0] [--depth 16] [--exposure-ms 10] [--out frame]

writes frame.npy (the samples as grabbed) and frame.pgm (grey; 16-bit PGMs hold the samples
big-endian with the frame's bit depth as their maximum, so viewers show the full range).
"""

from __future__ import annotations

import argparse

import numpy as np

import kepra


def write_pgm(path: str, frame: np.ndarray, maxval: int) -> None:
    height, width = frame.shape
    with open(path, "wb") as file:
        file.write(f"P5\n{width} {height}\n{maxval}\n".encode("ascii"))
        # PGM stores 16-bit samples most significant byte first.
        file.write(frame.astype(">u2" if frame.dtype == np.uint16 else np.uint8).tobytes())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--device", type=int, default=0)
    parser.add_argument("--depth", type=int, choices=(8, 16), default=16)
    parser.add_argument("--exposure-ms", type=float)
    parser.add_argument("--out", default="frame")
    args = parser.parse_args()

    with kepra.open(args.device) as cam:
        if args.exposure_ms is not None:
            print(f"exposure {cam.set_exposure_ms(args.exposure_ms):.3f} ms")
        frame, info = cam.grab_info(args.depth)
    np.save(args.out + ".npy", frame)
    maxval = (1 << info.bit_depth) - 1
    write_pgm(args.out + ".pgm", frame, maxval)
    print(f"frame {info.frame_counter}: {frame.shape[1]}x{frame.shape[0]}, {info.bit_depth} bits, "
          f"mean {frame.mean():.1f}, written to {args.out}.npy and {args.out}.pgm")


if __name__ == "__main__":
    main()
