"""WAV files for ``python3 -m mvsdk convert``: PCM through the ``wave`` module (8-bit unsigned,
16-, 24- and 32-bit signed), and 32-bit IEEE float through a small reader and writer of the RIFF
chunks (``wave`` reads and writes PCM only). Samples come as frames x channels arrays in the kit's
formats: 24-bit PCM as int32 in the low 24 bits (FORMAT_S24_IN_32)."""
from __future__ import annotations

import os
import struct
import wave
from dataclasses import dataclass

import numpy as np

from . import FORMAT_F32, FORMAT_S16, FORMAT_S24_IN_32, FORMAT_S32, FORMAT_U8

_PCM_FORMATS = {1: (FORMAT_U8, "<u1"), 2: (FORMAT_S16, "<i2"), 4: (FORMAT_S32, "<i4")}
_WAVE_FORMAT_PCM = 1
_WAVE_FORMAT_IEEE_FLOAT = 3
_WAVE_FORMAT_EXTENSIBLE = 0xFFFE


@dataclass
class Audio:
    samples: np.ndarray  # frames x channels, in the kit's format
    rate_hz: int
    kit_format: int
    description: str     # "16-bit PCM", ...


def _pcm_from_bytes(raw: bytes, width: int, channels: int):
    if width == 3:
        b = np.frombuffer(raw, np.uint8).reshape(-1, 3).astype(np.int32)
        v = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
        v = np.where(v >= 1 << 23, v - (1 << 24), v).astype(np.int32)
        return v.reshape(-1, channels), FORMAT_S24_IN_32
    if width not in _PCM_FORMATS:
        raise ValueError(f"{8 * width}-bit PCM is not supported")
    fmt, dt = _PCM_FORMATS[width]
    return np.frombuffer(raw, dt).astype(dt[1:]).reshape(-1, channels), fmt


def _chunks(data: bytes):
    if len(data) < 12 or data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError("not a RIFF WAVE file")
    pos = 12
    while pos + 8 <= len(data):
        cid, size = struct.unpack_from("<4sI", data, pos)
        yield cid, data[pos + 8:pos + 8 + size]
        pos += 8 + size + (size & 1)


def _read_float(path: str) -> Audio:
    with open(path, "rb") as f:
        data = f.read()
    fmt = body = None
    for cid, chunk in _chunks(data):
        if cid == b"fmt ":
            fmt = chunk
        elif cid == b"data":
            body = chunk
    if fmt is None or body is None:
        raise ValueError("no fmt or data chunk")
    tag, channels, rate, _, _, bits = struct.unpack_from("<HHIIHH", fmt)
    if tag == _WAVE_FORMAT_EXTENSIBLE and len(fmt) >= 26:
        tag = struct.unpack_from("<H", fmt, 24)[0]  # first two bytes of the sub-format GUID
    if tag == _WAVE_FORMAT_PCM:
        samples, kit_format = _pcm_from_bytes(body[:len(body) - len(body) % (channels * bits // 8)], bits // 8, channels)
        return Audio(samples, rate, kit_format, f"{bits}-bit PCM")
    if tag != _WAVE_FORMAT_IEEE_FLOAT or bits != 32:
        raise ValueError(f"unsupported encoding (format tag {tag}, {bits} bits)")
    usable = len(body) - len(body) % (4 * channels)
    samples = np.frombuffer(body[:usable], "<f4").astype(np.float32).reshape(-1, channels)
    return Audio(samples, rate, FORMAT_F32, "32-bit float")


def read(path: str) -> Audio:
    try:
        with wave.open(path, "rb") as w:
            channels, width, rate = w.getnchannels(), w.getsampwidth(), w.getframerate()
            raw = w.readframes(w.getnframes())
    except wave.Error:
        return _read_float(path)  # IEEE float or WAVE_FORMAT_EXTENSIBLE, or not a WAV at all
    samples, kit_format = _pcm_from_bytes(raw, width, channels)
    return Audio(samples, rate, kit_format, f"{8 * width}-bit PCM")


class Writer:
    """Writes a WAV file like the input's to a temporary file beside path; commit() renames it
    into place, discard() removes it, so path never appears half-written."""

    def __init__(self, path: str, rate_hz: int, channels: int, kit_format: int):
        self.path = path
        directory, name = os.path.split(os.path.abspath(path))
        self.temp = os.path.join(directory, f".{name}.partial-{os.getpid()}")
        self.rate_hz, self.channels, self.kit_format = rate_hz, channels, kit_format
        self._file = open(self.temp, "wb")
        self._frames = 0
        self._wave = None
        if kit_format == FORMAT_F32:
            self._file.write(b"\0" * 58)  # RIFF, fmt (18), fact, data headers: written on commit
        else:
            self._wave = wave.open(self._file, "wb")
            width = {FORMAT_U8: 1, FORMAT_S16: 2, FORMAT_S24_IN_32: 3, FORMAT_S32: 4}[kit_format]
            self._wave.setnchannels(channels)
            self._wave.setsampwidth(width)
            self._wave.setframerate(rate_hz)

    def write(self, samples: np.ndarray) -> None:
        samples = np.ascontiguousarray(samples)
        if self.kit_format == FORMAT_S24_IN_32:
            raw = samples.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
        else:
            raw = samples.astype(samples.dtype.newbyteorder("<")).tobytes()
        if self._wave is not None:
            self._wave.writeframesraw(raw)
        else:
            self._file.write(raw)
        self._frames += len(samples)

    def commit(self) -> None:
        if self._wave is not None:
            self._wave.close()  # patches the header's sizes
        else:
            n_bytes = self._frames * self.channels * 4
            header = (b"RIFF" + struct.pack("<I", 50 + n_bytes) + b"WAVE" +
                      b"fmt " + struct.pack("<IHHIIHHH", 18, _WAVE_FORMAT_IEEE_FLOAT, self.channels, self.rate_hz,
                                            self.rate_hz * self.channels * 4, self.channels * 4, 32, 0) +
                      b"fact" + struct.pack("<II", 4, self._frames) +
                      b"data" + struct.pack("<I", n_bytes))
            self._file.seek(0)
            self._file.write(header)
        self._file.close()
        os.replace(self.temp, self.path)

    def discard(self) -> None:
        try:
            if self._wave is not None:
                self._wave.close()
            self._file.close()
        finally:
            try:
                os.unlink(self.temp)
            except FileNotFoundError:
                pass
