"""Device listing against the virtual PCMs of tests/alsa/devices.conf."""

from __future__ import annotations

import json

from conftest import ALSA_DEVICES_CONF, run_python

LIST = (
    "import json, murello._murello as m\n"
    "def dump(items): return [[repr(i), i.index, i.name, i.id, i.default_sample_rate,"
    " i.is_default] for i in items]\n"
    "mics = m.MicrophoneBridge.devices()\n"
    "spk = m.SpeakerBridge.devices()\n"
    "print(json.dumps({'mics': dump(mics), 'spk': dump(spk),"
    " 'in': [i.max_input_channels for i in mics], 'out': [i.max_output_channels for i in spk]}))\n"
)


def listing(conf=ALSA_DEVICES_CONF):
    result = run_python(LIST, {"ALSA_CONFIG_PATH": str(conf)})
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_lists_both_directions_with_exact_reprs():
    data = listing()
    assert [m[0] for m in data["mics"]] == [
        "MicrophoneInfo(index=0, name='Test default device', id='alsa:default', "
        "max_input_channels=16383, default_sample_rate=44100, is_default=true)",
        "MicrophoneInfo(index=1, name='Test microphone', id='alsa:TestMic', "
        "max_input_channels=0, default_sample_rate=0, is_default=false)",
        "MicrophoneInfo(index=2, name='Lower-case twin', id='alsa:testmic', "
        "max_input_channels=0, default_sample_rate=0, is_default=false)",
        "MicrophoneInfo(index=3, name='nodesc', id='alsa:nodesc', "
        "max_input_channels=16383, default_sample_rate=44100, is_default=false)",
    ]
    assert [s[3] for s in data["spk"]] == [
        "alsa:default",
        "alsa:testmic",
        "alsa:nodesc",
        "alsa:TestSpeaker",
    ]
    assert data["spk"][3][0].startswith("SpeakerInfo(index=3, name='Test speaker'")
    assert "max_output_channels=" in data["spk"][3][0]
    assert data["in"] == [16383, 0, 0, 16383]


def test_no_devices_is_an_empty_list(tmp_path):
    empty = tmp_path / "empty.conf"
    empty.write_text("# nothing\n")
    data = listing(empty)
    assert data["mics"] == [] and data["spk"] == []


def test_listing_completes_with_sound_server_plugins_installed():
    # Debian's configuration, with the pulse and jack plugins whose servers do not run:
    # devices that fail to open are listed with 0 and 0 rather than stalling the call.
    code = (
        "import murello._murello as m\n"
        "print(len(m.MicrophoneBridge.devices()) > 0, len(m.SpeakerBridge.devices()) > 0)\n"
    )
    result = run_python(code, {"ALSA_CONFIG_PATH": "/usr/share/alsa/alsa.conf"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"]


def test_enumeration_failure_is_raised_as_its_kind(tmp_path):
    broken = tmp_path / "broken.conf"
    broken.write_text("pcm.unclosed {\n")
    code = (
        "import murello._murello as m\n"
        "from murello.exceptions import DeviceEnumerationFailed\n"
        "try:\n"
        "    m.MicrophoneBridge.devices()\n"
        "except DeviceEnumerationFailed as e:\n"
        "    print(e.args[0].startswith('Failed to enumerate devices: '), len(e.args))\n"
    )
    result = run_python(code, {"ALSA_CONFIG_PATH": str(broken)})
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "1"]
