"""python3 -m mvsdk convert on its embedded default: WAV files of several encodings keep their
rate, channels, encoding and length; failures exit 1 or 2 with one line; an interrupted run exits
130 and leaves no output behind."""
import os
import signal
import subprocess
import sys
import wave

import numpy as np
import pytest

from mvsdk import _wav


def run(*args, **kw):
    return subprocess.run([sys.executable, "-m", "mvsdk", *args], capture_output=True, text=True, timeout=300, **kw)


def write_input(path, seconds, channels, width=2, fmt=None):
    """A tone as a WAV file: PCM of width bytes, or 32-bit float (fmt 4) through the writer."""
    frames = int(seconds * 44100)
    x = 0.3 * np.sin(2 * np.pi * 160 * np.arange(frames) / 44100)
    x = np.repeat(x[:, None], channels, axis=1)
    if fmt == 4:
        w = _wav.Writer(str(path), 44100, channels, 4)
        w.write(x.astype(np.float32))
        w.commit()
        return frames
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(44100)
        if width == 1:
            data = (128 + 127 * x).astype(np.uint8).tobytes()
        else:
            v = (x * (2 ** (8 * width - 1) - 1)).astype("<i4")
            data = v.view(np.uint8).reshape(-1, 4)[:, :width].tobytes()
        w.writeframes(data)
    return frames


@pytest.mark.parametrize("channels,width,fmt,description", [
    (1, 2, None, "16-bit PCM"), (2, 1, None, "8-bit PCM"), (2, 3, None, "24-bit PCM"), (1, 4, 4, "32-bit float")])
def test_output_has_the_inputs_format_and_length(service, tmp_path, channels, width, fmt, description):
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    frames = write_input(src, 1.5, channels, width, fmt)
    r = run("convert", str(src), str(dst))
    assert r.returncode == 0, r.stderr
    assert "underruns   0 of" in r.stdout
    out = _wav.read(str(dst))
    assert (out.rate_hz, out.samples.shape, out.description) == (44100, (frames, channels), description)
    silence = 128 if width == 1 else 0
    assert np.any(out.samples != silence)  # converted sound after the start-up delay
    assert sorted(os.listdir(tmp_path)) == ["in.wav", "out.wav"]


def test_failures_exit_with_one_line_and_no_output(service, tmp_path):
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    write_input(src, 0.2, 1)
    r = run("convert", str(src), str(dst), "--voice", "77", "--quiet")
    assert r.returncode == 1 and r.stderr == "mvsdk convert: set_voice: Voice ID 77 does not exist\n"
    r = run("convert", str(tmp_path / "missing.wav"), str(dst))
    assert r.returncode == 1 and r.stderr.startswith(f"mvsdk convert: reading {tmp_path / 'missing.wav'}: ")
    assert run("convert", str(src)).returncode == 2
    r = run("convert", str(src), str(dst), "--gain", "50", "--quiet")
    assert r.returncode == 1 and r.stderr == "mvsdk convert: start: Unsupported input gain 50 dB (-40 to 40 dB)\n"
    assert sorted(os.listdir(tmp_path)) == ["in.wav"]
    r = run("convert", str(src), str(dst), "--denoise", "--gate", "-60", "--gain", "6", "--quiet")
    assert r.returncode == 0, r.stderr


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_an_interrupted_conversion_exits_130_and_leaves_nothing(service, tmp_path, sig):
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    write_input(src, 30, 1)
    p = subprocess.Popen([sys.executable, "-m", "mvsdk", "convert", str(src), str(dst), "--realtime"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        for line in p.stdout:
            if line.startswith("converting"):
                break
        p.send_signal(sig)
        assert p.wait(timeout=20) == 130
    finally:
        p.kill()
        p.wait()
    assert sorted(os.listdir(tmp_path)) == ["in.wav"]
