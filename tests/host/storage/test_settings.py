"""[storage] as a user writes it: sizes and ages in their usual spellings,
and a one-line error naming the key for anything else."""
import pytest

from visionengin_cli.cameras import config

CAMERA = '[cameras.gate]\naddress = "rtsp://127.0.0.1:9/cam"\n'


def test_storage_values_and_defaults():
    plain = config.parse(CAMERA, "cameras.toml").storage
    assert (plain.max_size, plain.min_free, plain.max_age) == (None, ("percent", 5.0), None)
    storage = config.parse('[storage]\nmax_size = "2 GB"\nmin_free = "500MB"\nmax_age = "12h"\n'
                           + CAMERA + 'max_age = 30\n[cameras.yard]\naddress = "x"\n',
                           "cameras.toml").storage
    assert (storage.max_size, storage.min_free) == (2e9, ("bytes", 5e8))
    assert (storage.age_of("gate"), storage.age_of("yard")) == (30 * 86400, 12 * 3600)
    assert config.parse('[storage]\nmin_free = "2.5%"\nmax_size = 1048576\n' + CAMERA,
                        "c.toml").storage.min_free_bytes(1000) == 25
    # the segments ("<camera>/recordings") keep their own age, else the pictures'
    assert storage.age_of("gate/recordings") == 30 * 86400
    own = config.parse('[storage]\nmax_age = 30\nrecordings_max_age = "2d"\n' + CAMERA, "c.toml").storage
    assert (own.age_of("gate"), own.age_of("gate/recordings")) == (30 * 86400, 2 * 86400)


def test_recording_settings_and_defaults():
    cameras = config.parse('[engine]\nrecord = "incidents"\npost_roll = 8\n' + CAMERA
                           + '[cameras.yard]\naddress = "x"\nrecord = "always"\npre_roll = 0\n'
                           '[cameras.door]\naddress = "x"\nrecord = "off"\n', "c.toml").cameras
    assert [cameras[name].recording for name in ("gate", "yard", "door")] == [
        ("incidents", 5.0, 8.0), ("always", 0.0, 8.0), ("off", 5.0, 8.0)]
    assert config.parse(CAMERA, "c.toml").cameras["gate"].recording == ("off", 5.0, 5.0)
    assert cameras["yard"].settings()["record"] == "always"


@pytest.mark.parametrize("text, message", [
    ('[storage]\nmax_size = "2 XB"\n', "storage.max_size: not a size: '2 XB'"),
    ('[storage]\nmax_size = "5%"\n', "storage.max_size: not a size: '5%'"),
    ('[storage]\nmin_free = "120%"\n', "storage.min_free: must be a share from 0% to below 100%"),
    ('[storage]\nmax_size = -1\n', "storage.max_size: must not be negative"),
    ('[storage]\nmax_age = "30 days"\n', "storage.max_age: not an age: '30 days'"),
    ('[storage]\nmax_age = "20m"\n', "storage.max_age: not an age"),
    ('[storage]\nmax_age = 0.01\n', "storage.max_age: must be at least an hour"),
    ('[storage]\nmax_sise = 1\n', "storage.max_sise: unknown key 'max_sise'"),
    ("storage = 5\n", "storage: must be a table"),
    (CAMERA + "max_age = true\n", "cameras.gate.max_age: not an age: True"),
    ('[storage]\nrecordings_max_age = "10m"\n', "storage.recordings_max_age: not an age: '10m'"),
    (CAMERA + 'record = "sometimes"\n',
     "cameras.gate.record: must be one of off, incidents, always, got 'sometimes'"),
    ('[engine]\nrecord = true\n', "engine.record: must be a string, got a boolean"),
    ('[engine]\nrecord = "on"\n', "engine.record: must be one of off, incidents, always, got 'on'"),
    (CAMERA + "pre_roll = 301\n", "cameras.gate.pre_roll: must be from 0.0 to 300.0, got 301"),
    ('[engine]\npost_roll = -1\n', "engine.post_roll: must be from 0.0 to 300.0, got -1"),
])
def test_bad_storage_settings(text, message):
    text = text if "cameras.gate" in text else text.replace("[storage]", CAMERA + "[storage]") \
        if "[storage]" in text else text + CAMERA
    with pytest.raises(config.ConfigError) as raised:
        config.parse(text, "cameras.toml")
    assert message in str(raised.value) and "\n" not in str(raised.value)
