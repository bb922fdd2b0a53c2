"""mvsdk.Kit against the embedded local service: the life cycle with the kit's messages, the audio
path in every format, errors with the kit's codes, voice changes, callbacks and log lines on the
kit's own threads, and Ctrl-C during waits and conversion loops."""
import logging
import os
import signal
import socket
import threading
import time

import numpy as np
import pytest

import mvsdk
from conftest import bring_up

RATE = 48000


def tone(frames, channels, dtype, offset=0):
    """A 180 Hz tone at a quarter of full scale in the kit's representation of dtype."""
    t = (np.arange(frames) + offset) / RATE
    x = 0.25 * np.sin(2 * np.pi * 180 * t) + 0.05 * np.sin(2 * np.pi * 540 * t)
    x = np.repeat(x[:, None], channels, axis=1)
    if dtype == np.uint8:
        return (128 + 127 * x).astype(np.uint8)
    if dtype == np.int16:
        return (32767 * x).astype(np.int16)
    if dtype == "s24":
        return ((1 << 23) * x).astype(np.int32)
    if dtype == np.int32:
        return ((1 << 31) * x * 0.99).astype(np.int32)
    return x.astype(np.float32)


def silence_of(a):
    return 128 if a.dtype == np.uint8 else 0


def test_life_cycle_answers_with_the_kits_messages(kit):
    assert kit.get_engine_status() == mvsdk.STATUS_IDLE
    assert kit.prepare() == "success"
    assert kit.is_prepared() and kit.get_engine_status() == mvsdk.STATUS_PREPARED
    voices = kit.get_voice_list()
    assert len(voices) == 3 and all(isinstance(v, mvsdk.Voice) and v.name for v in voices)
    assert kit.check_resources()  # the download summary, or "Resources already downloaded"
    assert kit.start() == "Engine started successfully"
    assert kit.get_engine_status() == mvsdk.STATUS_STARTED
    assert kit.set_voice(voices[0].id) == f"Set voice ID {voices[0].id} successfully"
    assert kit.get_current_voice() == voices[0].id
    assert kit.stop().startswith("Engine stopped successfully")
    assert kit.get_engine_status() == mvsdk.STATUS_IDLE and kit.get_current_voice() is None
    # stop returns the kit to its defaults, token included, as in C++.
    assert kit.engine_config() == mvsdk.EngineConfig()


def test_input_conditioning_is_kept_and_out_of_range_values_are_refused_at_start(kit, service):
    on = mvsdk.InputConditioning(gain=True, gain_db=6.0, denoise=True, denoise_db=20.0, gate=True,
                                 gate_threshold_dbfs=-45.0, gate_hold_ms=150.0)
    kit.set_engine_config(mvsdk.EngineConfig(token=service.token, input=on, engine_threads=2,
                                            half_precision_weights=True))
    assert kit.engine_config().input == on and kit.engine_config().engine_threads == 2
    assert kit.engine_config().half_precision_weights
    kit.set_engine_config(mvsdk.EngineConfig(token=service.token, input=mvsdk.InputConditioning(gate=True, gate_release_ms=0.0)))
    kit.prepare()
    kit.check_resources()
    with pytest.raises(mvsdk.Error) as refused:
        kit.start()
    assert (refused.value.code, refused.value.message) == (3, "Unsupported gate release 0 ms (1 to 2000 ms)")
    bring_up(kit, mvsdk.EngineConfig(token=service.token, input=on))
    block = tone(480, 1, np.int16)
    assert kit.transform(block).shape == block.shape


FORMATS = [
    (mvsdk.FORMAT_U8, np.uint8, np.uint8),
    (mvsdk.FORMAT_S16, np.int16, np.int16),
    (mvsdk.FORMAT_S24_IN_32, "s24", np.int32),
    (mvsdk.FORMAT_S32, np.int32, np.int32),
    (mvsdk.FORMAT_F32, np.float32, np.float32),
]


@pytest.mark.parametrize("fmt,kind,dtype", FORMATS, ids=[f[2].__name__ + str(f[0]) for f in FORMATS])
@pytest.mark.parametrize("channels", [1, 2])
def test_transform_returns_the_inputs_shape_and_dtype_converted(kit, service, fmt, kind, dtype, channels):
    bring_up(kit, mvsdk.EngineConfig(token=service.token, format=fmt, channel=channels))
    frames, offset, sounding = 333, 0, 0  # buffers that do not divide the kit's 10 ms block
    for i in range(int(1.5 * RATE / frames)):
        x = tone(frames, channels, kind, offset)
        y = kit.transform(x if i % 2 else x.reshape(-1))  # 2-D and interleaved 1-D alike
        assert y.dtype == dtype and y.size == x.size and y.shape == (x.shape if i % 2 else (x.size,))
        if fmt == mvsdk.FORMAT_F32:
            assert np.all(np.isfinite(y))
        sounding += bool(np.any(y != silence_of(y)))
        offset += frames
        if i % 16 == 15:
            assert kit.wait_for_engine(60)
    assert sounding > 50  # converted audio after the start-up delay
    assert kit.stop()


def test_transform_refuses_other_dtypes_and_short_outputs(kit):
    x = np.zeros(480, np.int16)
    with pytest.raises(TypeError, match="int16"):
        kit.transform(x.astype(np.float32))
    with pytest.raises(ValueError, match="shorter"):
        kit.transform(x, out=np.zeros(479, np.int16))
    out = np.full(480, 7, np.int16)
    assert kit.transform(x, out=out) is out and not out.any()  # silence before start


def _no_token(kit):
    kit.set_engine_config(mvsdk.EngineConfig(token=""))
    kit.prepare()


@pytest.mark.parametrize("step,action,code", [
    (lambda k: k.check_resources(), mvsdk.ACTION_RESOURCES, mvsdk.CODE_WRONG_STATE),
    (lambda k: k.set_voice(1), mvsdk.ACTION_VOICE, mvsdk.CODE_WRONG_STATE),
    (lambda k: k.set_mode(1, 2.0, 0.0), mvsdk.ACTION_VOICE, mvsdk.CODE_WRONG_STATE),
    (_no_token, mvsdk.ACTION_INIT, mvsdk.CODE_BAD_ARGUMENT),
], ids=["check_resources before prepare", "set_voice before start", "set_mode before start", "prepare without token"])
def test_failed_steps_raise_the_kits_action_and_code(kit, step, action, code):
    with pytest.raises(mvsdk.Error) as e:
        step(kit)
    assert (e.value.action, e.value.code) == (action, code) and e.value.message


def test_voice_changes_and_tone_on_a_running_engine(running_kit):
    kit = running_kit
    with pytest.raises(mvsdk.Error) as e:
        kit.set_voice(987654)
    assert (e.value.action, e.value.code) == (mvsdk.ACTION_VOICE, mvsdk.CODE_BAD_ARGUMENT)
    offset = 0
    for voice in kit.get_voice_list()[1:]:
        kit.set_voice(voice.id)
        assert kit.get_current_voice() == voice.id
        outs = []
        for _ in range(150):
            outs.append(kit.transform(tone(480, 1, np.int16, offset)))
            offset += 480
            kit.wait_for_engine(60)
        assert sum(bool(o.any()) for o in outs[-50:]) > 40
    low, high = kit.get_support_intonation()
    kit.set_mode(1, high + 10, 0.0)  # clamped
    assert (kit.get_mode(), kit.get_intonation()) == (1, pytest.approx(high))


def test_callbacks_and_log_lines_run_on_the_kits_threads(kit, service, caplog):
    seen = []
    config = mvsdk.EngineConfig(token=service.token,
                                on_action_result=lambda a, c, m: seen.append(("action", threading.get_ident())),
                                on_download=lambda p, f, n: seen.append(("download", threading.get_ident())))
    kit.clean_all_files()  # so that check_resources downloads again
    mvsdk.set_log_level("info")
    with caplog.at_level(logging.INFO, logger="mvsdk"):
        bring_up(kit, config)
        kit.stop()
        assert mvsdk.flush_log(10)
    here = threading.get_ident()
    kinds = {k for k, _ in seen}
    assert kinds == {"action", "download"}
    assert len({t for _, t in seen}) == 1 and seen[0][1] != here  # one thread: the kit's main queue
    records = [r for r in caplog.records if r.name == "mvsdk"]
    assert records and all(r.thread not in (here, seen[0][1]) for r in records)  # the log thread


def _interrupt_after(seconds):
    timer = threading.Timer(seconds, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    return timer


def test_ctrl_c_ends_a_long_transform_loop_and_the_kit_stops_cleanly(running_kit):
    kit = running_kit
    timer = _interrupt_after(1.0)
    t0 = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        offset = 0
        while time.monotonic() - t0 < 60:
            kit.transform(tone(480, 1, np.int16, offset))
            kit.wait_for_engine(60)
            offset += 480
    timer.join()
    assert time.monotonic() - t0 < 10
    assert kit.stop().startswith("Engine stopped successfully")


def test_ctrl_c_ends_a_step_waiting_for_a_silent_service(kit):
    # A service that accepts connections and never answers: prepare would wait without end.
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen()
        mvsdk.set_service_base_url(f"http://127.0.0.1:{server.getsockname()[1]}")
        timer = _interrupt_after(0.5)
        t0 = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            kit.prepare(timeout=20)
        timer.join()
        assert time.monotonic() - t0 < 5
        with pytest.raises(TimeoutError):
            kit.login(timeout=0.2)
