import struct

import numpy as np
import pytest

from quillane import TurboQuantizer


@pytest.fixture(scope="session")
def overflowing_vector():
    """A finite dim-8 vector whose residual norm overflows float32 at 1 bit, seed 42.

    Rotations do not depend on the bit width, so a 16-bit code with angles near 0
    decodes to x with R x ~ pairs (1e19, 0); the 1-bit codebook puts those angles
    near -2.5 rad, leaving residual pairs of about 1.9e19 whose squares overflow.
    """
    polar = bytes([1, 16, 4, 0]) + struct.pack("<4f", *[1e19] * 4) + struct.pack("<4H", *[32768] * 4)
    code = bytes([1]) + struct.pack("<I", len(polar)) + polar + bytes([1, 2, 0]) + struct.pack("<f", 0.0) + b"\x03"
    x = TurboQuantizer(8, bits=16).decode(np.frombuffer(code, dtype=np.uint8).copy())
    assert np.all(np.isfinite(x))
    return x
