"""Fixtures of the Python module's tests: private data, cache and settings folders for the whole
session, the kit's local service inside this process on 127.0.0.1 (a free port) over synthetic
voices, and kits brought up to a running engine."""
import os
import shutil
import tempfile

import pytest

_HOME = tempfile.mkdtemp(prefix="mvsdk-pytest-")
for _var in ("XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"):
    os.environ[_var] = os.path.join(_HOME, _var.lower())
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import mvsdk  # noqa: E402  (after the folders are chosen)


def pytest_sessionfinish(session, exitstatus):
    shutil.rmtree(_HOME, ignore_errors=True)


@pytest.fixture(scope="session")
def service():
    with mvsdk.embedded_service() as s:
        yield s


@pytest.fixture
def kit(service):
    mvsdk.set_service_base_url(service.url)
    with mvsdk.Kit(mvsdk.EngineConfig(token=service.token)) as k:
        yield k


def bring_up(kit, config=None, voice_index=0):
    """prepare, check_resources, start and set_voice on kit (config: its EngineConfig)."""
    if config is not None:
        kit.set_engine_config(config)
    kit.prepare()
    kit.check_resources()
    kit.start()
    voice = kit.get_voice_list()[voice_index].id
    kit.set_voice(voice)
    return voice


@pytest.fixture
def running_kit(kit):
    bring_up(kit)
    return kit
