"""python3 -m mvsdk: the kit from the command line.

  python3 -m mvsdk convert [options] INPUT.wav OUTPUT.wav
  python3 -m mvsdk voices [--service URL --token T]

convert does what mvsdk-convert does, for WAV files: the kit configured from the input (rate,
channels, sample format), prepare, check_resources, start, set_voice, transform in 10 ms buffers,
stop; OUTPUT gets the input's rate, channels, format and length. Without --service the kit's
local service runs inside the process over synthetic voices. Exit status: 0 done, 1 a step failed
(one line "mvsdk convert: STEP: MESSAGE" on stderr), 2 a bad command line, 130 interrupted.
"""
from __future__ import annotations

import argparse
import contextlib
import signal
import sys
import time

import numpy as np

import mvsdk

from . import _wav

EXIT_FAILED = 1
EXIT_INTERRUPTED = 130


class StepFailed(Exception):
    def __init__(self, step: str, message: str):
        super().__init__(f"{step}: {message}")
        self.step, self.message = step, message


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python3 -m mvsdk", description="The voice conversion kit.")
    sub = p.add_subparsers(dest="command", required=True)

    def service_options(q):
        q.add_argument("--service", metavar="URL", help="the voice service (default: the embedded local one)")
        q.add_argument("--token", metavar="T", help="its access token")
        q.add_argument("--verbose", action="store_true", help="also the kit's own log lines")

    c = sub.add_parser("convert", help="convert a WAV file")
    c.add_argument("input", metavar="INPUT")
    c.add_argument("output", metavar="OUTPUT")
    service_options(c)
    c.add_argument("--voice", type=int, metavar="ID", help="the voice (default: the catalogue's first)")
    c.add_argument("--mode", type=int, choices=(0, 1, 2), help="pitch mode")
    c.add_argument("--intonation", type=float, metavar="X", help="semitones (mode 1)")
    c.add_argument("--pitch", type=float, metavar="Y", help="pitch offset (mode 1)")
    c.add_argument("--denoise", nargs="?", const=30.0, type=float, metavar="DB",
                   help="noise suppression, lowering noise by at most DB (1-60, default 30; adds 10 ms)")
    c.add_argument("--gate", type=float, metavar="DBFS", help="noise gate threshold (-100-0)")
    c.add_argument("--gain", type=float, metavar="DB", help="input gain (-40-40), with a soft limiter")
    c.add_argument("--sync", action="store_true", help="convert on the calling thread")
    c.add_argument("--realtime", action="store_true", help="hand over one buffer per buffer length of wall-clock time")
    c.add_argument("--buffer-ms", type=int, default=10, metavar="N", help="host buffer length (1-100, default 10)")
    c.add_argument("--quiet", action="store_true", help="errors only")
    v = sub.add_parser("voices", help="list the catalogue's voices")
    service_options(v)
    return p


def _info(args, text: str) -> None:
    if not getattr(args, "quiet", False):
        print(text, flush=True)


@contextlib.contextmanager
def _service(args):
    """(url, token) of the service to use: the one given, or the embedded local one."""
    if args.service:
        yield args.service, args.token or ""
        return
    announce = lambda path: _info(args, f"making the synthetic voice models once, into {path}")
    try:
        service = mvsdk.embedded_service(announce)
    except RuntimeError as e:
        raise StepFailed("local service", str(e)) from None
    with service:
        _info(args, "note: the voices are synthetic (untrained models), so the output is not a real voice")
        yield service.url, args.token or service.token


def _step(name: str, call, *a, **kw):
    try:
        return call(*a, **kw)
    except (mvsdk.Error, TimeoutError) as e:
        message = e.message if isinstance(e, mvsdk.Error) else str(e)
        raise StepFailed(name, message) from None


def _prepared_kit(args, url: str, token: str, audio=None) -> mvsdk.Kit:
    mvsdk.set_service_base_url(url)
    config = mvsdk.EngineConfig(token=token, is_sync=getattr(args, "sync", False),
                                # A buffer the kit cannot convert comes back as the input itself, so
                                # it can be told from converted audio (and written as silence).
                                mute_on_fail=False)
    if audio is not None:
        config.sample_rate, config.channel, config.format = (audio.rate_hz, audio.samples.shape[1], audio.kit_format)
    # Out-of-range values are the kit's to refuse (start fails with its reason).
    if getattr(args, "denoise", None) is not None:
        config.input.denoise, config.input.denoise_db = True, args.denoise
    if getattr(args, "gate", None) is not None:
        config.input.gate, config.input.gate_threshold_dbfs = True, args.gate
    if getattr(args, "gain", None) is not None:
        config.input.gain, config.input.gain_db = True, args.gain
    kit = mvsdk.Kit(config)
    try:
        _step("prepare", kit.prepare, timeout=60)
    except BaseException:
        kit.close()
        raise
    return kit


def _voices(args) -> int:
    with _service(args) as (url, token), _prepared_kit(args, url, token) as kit:
        for v in kit.get_voice_list():
            print(f"{v.id}\t{v.name}")
    return 0


def _convert(args) -> int:
    if not 1 <= args.buffer_ms <= 100:
        raise StepFailed("options", "--buffer-ms takes 1 to 100")
    try:
        audio = _wav.read(args.input)
    except (OSError, ValueError, EOFError) as e:
        raise StepFailed(f"reading {args.input}", str(e)) from None
    rate, channels = audio.rate_hz, audio.samples.shape[1]
    try:
        writer = _wav.Writer(args.output, rate, channels, audio.kit_format)
    except OSError as e:
        raise StepFailed(f"writing {args.output}", str(e)) from None
    committed = False
    try:
        with _service(args) as (url, token), _prepared_kit(args, url, token, audio) as kit:
            voices = kit.get_voice_list()
            if not voices:
                raise StepFailed("prepare", "the catalogue lists no voices")
            _step("check_resources", kit.check_resources)
            _step("start", kit.start, timeout=60)
            voice = args.voice if args.voice is not None else voices[0].id
            _step("set_voice", kit.set_voice, voice, timeout=60)
            if args.mode is not None or args.intonation is not None or args.pitch is not None:
                _step("set_mode", kit.set_mode, args.mode or 0, args.intonation or 0.0, args.pitch or 0.0)
            stats = _loop(args, kit, audio, writer)
            _step("stop", kit.stop)
        writer.commit()
        committed = True
    finally:
        if not committed:
            writer.discard()

    frames = len(audio.samples)
    seconds = frames / rate
    name = next((v.name for v in voices if v.id == voice), "")
    _info(args, f'voice       {voice} "{name}"')
    _info(args, f"audio       {seconds:.3f} s ({rate} Hz, {channels} channel{'s' if channels > 1 else ''}, "
                f"{audio.description})")
    _info(args, f"wall        {stats['wall_s']:.3f} s ({'synchronous' if args.sync else 'pipelined'}, "
                f"{'paced in real time' if args.realtime else 'as fast as the kit converts'})")
    _info(args, f"real-time   {stats['wall_s'] / seconds if seconds else 0:.3f} (wall / audio; below 1 is faster "
                f"than real time)")
    _info(args, f"underruns   {stats['underruns']} of {stats['buffers']} buffers of {args.buffer_ms} ms")
    if stats["first_sound"] is not None:
        _info(args, f"start-up    {stats['first_sound'] / rate:.3f} s of silence before the first converted sound")
    else:
        _info(args, "start-up    no converted sound within the input's length")
    _info(args, f"output      {args.output}")
    return 0


def _loop(args, kit: mvsdk.Kit, audio, writer) -> dict:
    """One transform per buffer, as a host's audio callback makes them."""
    samples = audio.samples
    frames, rate = len(samples), audio.rate_hz
    n = max(1, rate * args.buffer_ms // 1000)
    silence = samples.dtype.type(128 if audio.kit_format == mvsdk.FORMAT_U8 else 0)
    block = np.full((n, samples.shape[1]), silence, samples.dtype)
    result = np.empty_like(block)
    stats = {"buffers": 0, "underruns": 0, "first_sound": None}
    served = False
    _info(args, f"converting {frames / rate:.3f} s of audio")
    start = time.monotonic()
    for pos in range(0, frames, n):
        piece = samples[pos:pos + n]
        block[:len(piece)] = piece
        block[len(piece):] = silence  # a short last buffer is completed with silence
        if args.realtime:
            time.sleep(max(0.0, start + stats["buffers"] * n / rate - time.monotonic()))
        kit.transform(block, out=result)
        if not args.sync and not args.realtime:
            # A file has no clock: each buffer's engine work is let finish before the next buffer.
            kit.wait_for_engine(60)
        if np.array_equal(result, block) and np.any(block != silence):
            stats["underruns"] += served
            result[:] = silence
        else:
            served = True
        produced = result[:len(piece)]
        if stats["first_sound"] is None:
            loud = np.nonzero(np.any(produced != silence, axis=1))[0]
            if len(loud):
                stats["first_sound"] = pos + int(loud[0])
        writer.write(produced)
        stats["buffers"] += 1
    stats["wall_s"] = time.monotonic() - start
    return stats


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    if args.verbose:
        import logging
        logging.basicConfig(level=logging.DEBUG, format="%(name)s: %(message)s")
        mvsdk.set_log_level("debug")
    else:
        mvsdk.set_log_level("off")
    # SIGTERM ends a run as Ctrl-C does: the engine stopped, no output file left behind.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        return _convert(args) if args.command == "convert" else _voices(args)
    except StepFailed as e:
        print(f"mvsdk {args.command}: {e.step}: {' '.join(e.message.splitlines())}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    finally:
        mvsdk.flush_log()
