"""mvsdk: on-device real-time voice conversion, from Python.

``Kit`` mirrors the kit's C++ manager (MVSDKManager) with Python names and types. Its lifecycle
steps wait for their outcome: ``kit.prepare(timeout=30)`` returns the kit's message on success and
raises ``mvsdk.Error(action, code, message)`` with the kit's own codes on failure, or
``TimeoutError`` when no outcome came in time. Waits release the GIL and end with
``KeyboardInterrupt`` on Ctrl-C.

Threads: the kit calls back (``on_action_result``, ``on_download``) on its own main queue, and
delivers its log lines on its own log thread; both take the GIL to run Python. The log goes to the
``logging`` logger "mvsdk" (errors at ERROR, lifecycle steps at INFO, per-buffer lines at DEBUG).

Audio: ``kit.transform(samples)`` takes a NumPy array in the configured format (uint8, int16,
int32 for both 24-in-32 and 32-bit, float32), interleaved by frame (1-D, or 2-D frames x channels)
and returns a converted array of the same shape and dtype.

Without a voice service of your own, ``embedded_service()`` runs the kit's local service in this
process on 127.0.0.1 over synthetic (untrained) voices, as ``python3 -m mvsdk convert`` does.
"""
from __future__ import annotations

import atexit
import enum
import logging
from dataclasses import asdict, dataclass, field
from typing import Callable, Optional

import numpy as np

from . import _core

__all__ = [
    "Kit", "EngineConfig", "InputConditioning", "Voice", "AudioStats", "Error", "LogLevel", "EmbeddedService", "embedded_service",
    "set_service_base_url", "service_base_url", "set_log_level", "log_level", "set_log_sink", "flush_log",
    "dtype_for_format", "VERSION",
]

VERSION = _core.VERSION

# Actions of an action result (callbacks.h).
ACTION_VOICE = 0      # set_voice, set_mode
ACTION_INIT = 1       # prepare: login and version check
ACTION_ENGINE = 2     # prepare: catalogue; start; stop
ACTION_RESOURCES = 3  # check_resources
ACTION_CLEANUP = 5    # clean_all_files
# Codes of an action result and of a service call.
CODE_SUCCESS = 0
CODE_REQUEST_FAILED = 2
CODE_BAD_ARGUMENT = 3
CODE_WRONG_STATE = 5
CODE_MISSING_FILES = 6
# Sample formats (engine_config.h).
FORMAT_U8 = 0
FORMAT_S16 = 1
FORMAT_S24_IN_32 = 2
FORMAT_S32 = 3
FORMAT_F32 = 4
# Engine status (Kit.get_engine_status).
STATUS_IDLE = 0
STATUS_PREPARING = 1
STATUS_PREPARED = 2
STATUS_STARTED = 3
STATUS_RELEASED = 5
STATUS_ERROR = 6
STATUS_CHECKING_RESOURCES = 7

_DTYPES = {
    FORMAT_U8: np.dtype(np.uint8),
    FORMAT_S16: np.dtype(np.int16),
    FORMAT_S24_IN_32: np.dtype(np.int32),
    FORMAT_S32: np.dtype(np.int32),
    FORMAT_F32: np.dtype(np.float32),
}


def dtype_for_format(fmt: int) -> np.dtype:
    """The NumPy dtype of a sample format code (FORMAT_*)."""
    try:
        return _DTYPES[fmt]
    except KeyError:
        raise ValueError(f"sample format {fmt} is not one of 0-4") from None


class Error(Exception):
    """A step the kit reported as failed: its action (None for a service call), code and message."""

    def __init__(self, action: Optional[int], code: int, message: str):
        super().__init__(action, code, message)
        self.action = action
        self.code = code
        self.message = message

    def __str__(self) -> str:
        where = "" if self.action is None else f"action {self.action}, "
        return f"{self.message} ({where}code {self.code})"


@dataclass(frozen=True)
class Voice:
    """One voice of the catalogue."""
    id: int
    name: str


@dataclass
class InputConditioning:
    """Gain, noise suppression and gate on the audio before conversion (EngineConfig::input in
    C++), each off by default; the ranges apply to a stage that is on (outside them, start fails
    with code 3). Suppression delays the audio by 10 ms while on."""
    gain: bool = False
    gain_db: float = 0.0                # -40 to 40, with a soft limiter
    denoise: bool = False
    denoise_db: float = 30.0            # largest attenuation of noise, 1 to 60
    gate: bool = False
    gate_threshold_dbfs: float = -50.0  # -100 to 0, against the sample peak
    gate_attack_ms: float = 1.0         # 0 to 100
    gate_hold_ms: float = 100.0         # 0 to 2000
    gate_release_ms: float = 100.0      # 1 to 2000


@dataclass
class EngineConfig:
    """The kit's configuration (EngineConfig in C++), with its defaults. Callbacks run on the
    kit's main queue: on_action_result(action, code, message), on_download(percent, file, files)."""
    sample_rate: int = 48000
    token: str = ""
    debug: bool = False
    transform_debug: bool = False
    channel: int = 1
    format: int = FORMAT_S16
    mute_on_fail: bool = True
    is_sync: bool = False
    # Threads computing the engine's chunks: 1, 2..16, or 0 (the processor's cores, at most 4).
    engine_threads: int = 1
    # The engine's weights in half precision from the next start: about half the weight memory,
    # output close to (not the same to the bit as) single precision's.
    half_precision_weights: bool = False
    on_download: Optional[Callable[[int, int, int], None]] = None
    on_action_result: Optional[Callable[[int, int, str], None]] = None
    input: InputConditioning = field(default_factory=InputConditioning)


@dataclass(frozen=True)
class AudioStats:
    """What the audio path did so far (MVSDKManager::AudioStats)."""
    fallback_calls: int
    overlapping_calls: int
    dropped_input_samples: int
    trimmed_output_samples: int
    lost_output_bytes: int
    pending_input_samples: int
    ready_output_samples: int


class LogLevel(enum.IntEnum):
    OFF = 0
    ERROR = 1
    INFO = 2
    DEBUG = 3


def set_service_base_url(url: str) -> None:
    """The voice service's base URL, process-wide. Set it before prepare."""
    _core.set_service_base_url(url)


def service_base_url() -> str:
    return _core.service_base_url()


def set_log_level(level) -> None:
    """How much the kit logs: LogLevel, its value, or its name ("off", "error", "info", "debug")."""
    if isinstance(level, str):
        level = LogLevel[level.upper()]
    _core.set_log_level(int(level))


def log_level() -> LogLevel:
    return LogLevel(_core.log_level())


_logger = logging.getLogger("mvsdk")
_TO_LOGGING = {LogLevel.ERROR: logging.ERROR, LogLevel.INFO: logging.INFO, LogLevel.DEBUG: logging.DEBUG}


def _to_logging(level: int, line: str) -> None:
    _logger.log(_TO_LOGGING.get(level, logging.INFO), line)


def set_log_sink(sink: Optional[Callable[[LogLevel, str], None]]) -> None:
    """Sends the kit's log lines to sink(level, line), called on the kit's log thread; None: back
    to the logger "mvsdk"."""
    if sink is None:
        _core.set_log_sink(_to_logging)
    else:
        _core.set_log_sink(lambda level, line: sink(LogLevel(level), line))


def flush_log(timeout: float = 2.0) -> bool:
    """Waits until every line logged so far has been delivered; False when timeout passed first."""
    return _core.flush_log(timeout)


_core.set_log_sink(_to_logging)
# Before the interpreter goes: open kits closed (engines they started released), the log handed
# back to stderr, and the kit's threads kept out of Python from then on.
atexit.register(_core.shutdown)


def _outcome(step: str, result, timeout) -> str:
    if result is None:
        raise TimeoutError(f"{step}: no answer from the kit within {timeout} s")
    action, code, message = result
    if code != CODE_SUCCESS:
        raise Error(action, code, message)
    return message


def _service_outcome(step: str, result, timeout) -> str:
    if result is None:
        raise TimeoutError(f"{step}: no answer from the service within {timeout} s")
    code, message = result
    if code != CODE_SUCCESS:
        raise Error(None, code, message)
    return message


class Kit:
    """One MVSDKManager. Use it as a context manager, or call close() when done: that stops its
    callbacks and releases the engine if this kit started it.

    Order: set_engine_config -> prepare -> check_resources -> start -> set_voice -> transform
    (every buffer) -> stop. stop and reset_all_states return the kit to its default
    configuration, as in C++: set the configuration again before the next prepare.
    Timeouts are in seconds; None waits without limit."""

    def __init__(self, config: Optional[EngineConfig] = None):
        self._core = _core.Kit()
        if config is not None:
            self.set_engine_config(config)

    def close(self) -> None:
        self._core.close()

    def __enter__(self) -> "Kit":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # --- configuration ---
    def set_engine_config(self, config: EngineConfig) -> None:
        self._core.set_engine_config(
            sample_rate=config.sample_rate, channel=config.channel, format=config.format, token=config.token,
            mute_on_fail=config.mute_on_fail, is_sync=config.is_sync, debug=config.debug,
            transform_debug=config.transform_debug, on_download=config.on_download,
            on_action_result=config.on_action_result, input=asdict(config.input),
            engine_threads=config.engine_threads, half_precision_weights=config.half_precision_weights)

    def engine_config(self) -> EngineConfig:
        values = self._core.engine_config()
        values["input"] = InputConditioning(**values["input"])
        return EngineConfig(**values)

    # --- lifecycle: each waits for its outcome ---
    def prepare(self, timeout: Optional[float] = 30.0) -> str:
        """Login, version check, catalogue."""
        return _outcome("prepare", self._core.prepare(timeout), timeout)

    def check_resources(self, timeout: Optional[float] = 900.0) -> str:
        """Downloads the catalogue's missing files."""
        return _outcome("check_resources", self._core.check_resources(timeout), timeout)

    def start(self, timeout: Optional[float] = 30.0) -> str:
        return _outcome("start", self._core.start(timeout), timeout)

    def stop(self, timeout: Optional[float] = 30.0) -> str:
        return _outcome("stop", self._core.stop(timeout), timeout)

    def release(self) -> None:
        """Stops the engine and clears the state, keeping the configuration (blocks up to ~6 s)."""
        self._core.release()

    def reset_all_states(self) -> None:
        self._core.reset_all_states()

    def clean_all_files(self, timeout: Optional[float] = 30.0) -> str:
        return _outcome("clean_all_files", self._core.clean_all_files(timeout), timeout)

    def trigger_action_result(self, action: int, code: int, message: str) -> None:
        self._core.trigger_action_result(action, code, message)

    # --- service calls ---
    def init_engine(self, timeout: Optional[float] = 30.0) -> str:
        return _service_outcome("init_engine", self._core.init_engine(timeout), timeout)

    def login(self, timeout: Optional[float] = 30.0) -> str:
        return _service_outcome("login", self._core.login(timeout), timeout)

    def check_version(self, timeout: Optional[float] = 30.0) -> str:
        return _service_outcome("check_version", self._core.check_version(timeout), timeout)

    def get_speaker_list(self, timeout: Optional[float] = 30.0) -> str:
        return _service_outcome("get_speaker_list", self._core.get_speaker_list(timeout), timeout)

    # --- voice and tone ---
    def get_voice_list(self) -> list[Voice]:
        return [Voice(id, name) for id, name in self._core.get_voice_list()]

    def set_voice(self, voice_id: int, timeout: Optional[float] = 30.0) -> str:
        return _outcome("set_voice", self._core.set_voice(voice_id, timeout), timeout)

    def get_current_voice(self) -> Optional[int]:
        v = self._core.get_current_voice()
        return None if v is None else int(v)

    def set_mode(self, mode: int, intonation: float = 0.0, pitch: float = 0.0,
                 timeout: Optional[float] = 10.0) -> None:
        """Mode 0/1/2 with intonation and pitch (clamped to the supported ranges); raises Error
        when the kit refuses (no started engine)."""
        result = self._core.set_mode(mode, intonation, pitch, timeout)
        if result is None:
            raise TimeoutError(f"set_mode: no answer from the kit within {timeout} s")
        if result[1] != CODE_SUCCESS:
            raise Error(*result)

    def get_mode(self) -> int:
        return self._core.get_mode()

    def get_intonation(self) -> float:
        return self._core.get_intonation()

    def get_pitch(self) -> float:
        return self._core.get_pitch()

    def get_support_intonation(self) -> tuple[float, float]:
        return tuple(self._core.get_support_intonation())

    def get_support_pitch(self) -> tuple[float, float]:
        return tuple(self._core.get_support_pitch())

    def pro_calibration(self, path: str, timeout: Optional[float] = None) -> tuple[float, float]:
        """(intonation, pitch) measured from a raw 16-bit mono PCM file at the configured rate."""
        result = self._core.pro_calibration(path, timeout)
        if result is None:
            raise TimeoutError(f"pro_calibration: no answer from the kit within {timeout} s")
        return result

    def get_engine_status(self) -> int:
        return self._core.get_engine_status()

    # --- audio ---
    def transform(self, samples: np.ndarray, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Converts one buffer; the result has the input's shape and dtype (written into out when
        given). Raises TypeError for a dtype other than the configured format's."""
        return self._core.transform(samples, out)

    def wait_for_engine(self, timeout: Optional[float] = 60.0) -> bool:
        """Waits until the engine has run all audio handed to it; False on timeout."""
        return self._core.wait_for_engine(timeout)

    def audio_stats(self) -> AudioStats:
        return AudioStats(**self._core.audio_stats())

    def calculate_min_data_size(self) -> int:
        """Bytes of 10 ms of audio in the configured format."""
        return self._core.calculate_min_data_size()

    def input_buffered_bytes(self) -> int:
        return self._core.input_buffered_bytes()

    def processed_buffered_bytes(self) -> int:
        return self._core.processed_buffered_bytes()

    # --- state ---
    def is_initialized(self) -> bool:
        return self._core.is_initialized()

    def is_prepared(self) -> bool:
        return self._core.is_prepared()

    def is_engine_started(self) -> bool:
        return self._core.is_engine_started()

    def has_speaker_list_model(self) -> bool:
        return self._core.has_speaker_list_model()


class EmbeddedService:
    """The kit's local voice service inside this process on 127.0.0.1 (a free port), serving
    synthetic voices from $XDG_DATA_HOME/mvsdk/synthetic-v1 (made once, ~230 MB, reused later).
    It accepts any token; ``token`` is the one mvsdk-convert uses. announce(path) is called
    before the folder is made."""

    token = "local-demo"

    def __init__(self, announce: Optional[Callable[[str], None]] = None):
        self.folder, self.made = _core.ensure_synthetic_data_folder(announce)
        self._service = _core.EmbeddedService()
        problem = self._service.start(self.folder)
        if problem:
            raise RuntimeError(f"local service: {problem}")
        self.url = self._service.url

    def close(self) -> None:
        self._service.close()

    def __enter__(self) -> "EmbeddedService":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def embedded_service(announce: Optional[Callable[[str], None]] = None) -> EmbeddedService:
    """Starts the embedded local service; use it as a context manager."""
    return EmbeddedService(announce)

