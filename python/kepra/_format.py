"""Frame geometry: the one place that knows how big a frame is.

Until the library reports the frame format itself, the geometry is derived from the
frame-parameter record: Width / BinX samples per line, Height / BinY lines, each sample
BitDepth significant bits.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from ._lib import FRAME_INFO_SIZE, kepra_FrameParams


class Geometry(NamedTuple):
    width: int  # samples per line
    height: int  # lines
    bit_depth: int  # significant bits of a 16-bit sample

    def dtype(self, depth: int) -> "np.dtype[np.unsignedinteger]":
        return np.dtype(np.uint16 if depth == 16 else np.uint8)

    def frame_bytes(self, depth: int) -> int:
        return self.width * self.height * (2 if depth == 16 else 1)

    def record_bytes(self, depth: int) -> int:
        """Bytes of an Ex / AfterEx frame: the information record, then the samples."""
        return FRAME_INFO_SIZE + self.frame_bytes(depth)


def geometry_of(params: kepra_FrameParams) -> Geometry:
    bin_x = params.BinX or 1  # the camera refuses 0; guard the division all the same
    bin_y = params.BinY or 1
    return Geometry(params.Width // bin_x, params.Height // bin_y, params.BitDepth)
