"""Writes audio files with the reference writers (sox and libsndfile through soundfile)
and, beside each, what libsndfile reads back from it as float32.

Usage: reference_files.py OUTDIR

Writes OUTDIR/<name>.<ext> and OUTDIR/<name>.f32 (little-endian float32, interleaved) for
every case, and OUTDIR/manifest.txt with one line per case: name ext channels rate_hz.
"""
import os
import subprocess
import sys

import numpy as np
import soundfile as sf

# Odd, so that odd data chunks and their pad bytes appear; in AIFF libsndfile counts the
# pad byte of an odd SSND chunk into its size, and exactly numSampleFrames must come out.
FRAMES = 397


def signal(subtype, shape, rng):
    """A signal that reaches every bit of the stored layout."""
    if subtype in ("FLOAT", "DOUBLE"):
        x = rng.uniform(-1.5, 1.5, shape)
        x.flat[:4] = [1.0, -1.0, 3e-39, -0.0][: x.size]
        return x if subtype == "DOUBLE" else x.astype(np.float32)
    # Full-scale int32 patterns; libsndfile keeps the top bits that the layout stores.
    x = rng.integers(-(2**31), 2**31, shape, dtype=np.int64).astype(np.int32)
    x.flat[:2] = [2**31 - 1, -(2**31)][: x.size]
    return x


# (name, container, subtype, endian, channels, rate)
SOUNDFILE_CASES = [
    ("sf_wav_u8", "WAV", "PCM_U8", "FILE", 1, 8000),
    ("sf_wav_16", "WAV", "PCM_16", "FILE", 2, 44100),
    ("sf_wav_24", "WAV", "PCM_24", "FILE", 3, 48000),
    ("sf_wav_32", "WAV", "PCM_32", "FILE", 2, 96000),
    ("sf_wav_f32", "WAV", "FLOAT", "FILE", 1, 22050),
    ("sf_wav_f64", "WAV", "DOUBLE", "FILE", 2, 32000),
    ("sf_wav_alaw", "WAV", "ALAW", "FILE", 1, 8000),
    ("sf_wav_ulaw", "WAV", "ULAW", "FILE", 2, 8000),
    ("sf_wavex_16", "WAVEX", "PCM_16", "FILE", 6, 48000),
    ("sf_wavex_24", "WAVEX", "PCM_24", "FILE", 2, 44100),
    ("sf_wavex_f32", "WAVEX", "FLOAT", "FILE", 4, 16000),
    ("sf_wavex_ulaw", "WAVEX", "ULAW", "FILE", 1, 8000),
    ("sf_rf64_16", "RF64", "PCM_16", "FILE", 2, 44100),
    ("sf_rf64_24", "RF64", "PCM_24", "FILE", 1, 11025),
    ("sf_rf64_f64", "RF64", "DOUBLE", "FILE", 2, 48000),
    ("sf_aiff_s8", "AIFF", "PCM_S8", "FILE", 1, 8000),
    ("sf_aiff_16", "AIFF", "PCM_16", "FILE", 2, 44100),
    ("sf_aiff_24", "AIFF", "PCM_24", "FILE", 3, 48000),
    ("sf_aiff_32", "AIFF", "PCM_32", "FILE", 2, 96000),
    ("sf_aifc_raw", "AIFF", "PCM_U8", "FILE", 2, 11025),
    ("sf_aifc_sowt16", "AIFF", "PCM_16", "LITTLE", 2, 44100),
    ("sf_aifc_sowt24", "AIFF", "PCM_24", "LITTLE", 1, 22050),
    ("sf_aifc_sowt32", "AIFF", "PCM_32", "LITTLE", 2, 48000),
    ("sf_aifc_fl32", "AIFF", "FLOAT", "FILE", 2, 44100),
    ("sf_aifc_fl64", "AIFF", "DOUBLE", "FILE", 1, 192000),
    ("sf_aifc_alaw", "AIFF", "ALAW", "FILE", 2, 8000),
    ("sf_aifc_ulaw", "AIFF", "ULAW", "FILE", 1, 8000),
]

# (name, sox type, sox encoding options, channels, rate)
SOX_CASES = [
    ("sox_wav_u8", "wav", ["-b", "8", "-e", "unsigned-integer"], 1, 8000),
    ("sox_wav_16", "wav", ["-b", "16", "-e", "signed-integer"], 2, 44100),
    ("sox_wav_24", "wav", ["-b", "24", "-e", "signed-integer"], 2, 48000),
    ("sox_wav_32", "wav", ["-b", "32", "-e", "signed-integer"], 1, 96000),
    ("sox_wav_f32", "wav", ["-b", "32", "-e", "floating-point"], 2, 44100),
    ("sox_wav_f64", "wav", ["-b", "64", "-e", "floating-point"], 1, 22050),
    ("sox_wav_alaw", "wav", ["-b", "8", "-e", "a-law"], 2, 8000),
    ("sox_wav_ulaw", "wav", ["-b", "8", "-e", "u-law"], 1, 8000),
    ("sox_wav_16x6", "wav", ["-b", "16", "-e", "signed-integer"], 6, 48000),
    ("sox_aiff_8", "aiff", ["-b", "8", "-e", "signed-integer"], 1, 11025),
    ("sox_aiff_16", "aiff", ["-b", "16", "-e", "signed-integer"], 2, 44100),
    ("sox_aiff_24", "aiff", ["-b", "24", "-e", "signed-integer"], 3, 48000),
    ("sox_aiff_32", "aiff", ["-b", "32", "-e", "signed-integer"], 2, 32000),
    ("sox_aifc_16", "aifc", ["-b", "16", "-e", "signed-integer"], 2, 44100),
    ("sox_aifc_f32", "aifc", ["-b", "32", "-e", "floating-point"], 1, 48000),
    ("sox_aifc_f64", "aifc", ["-b", "64", "-e", "floating-point"], 2, 8000),
]

def relabel_as_sowt(path):
    """libsndfile labels little-endian 24- and 32-bit AIFF-C with codes of its own; the
    stored bytes are exactly the sowt layout, so only the compression type changes."""
    with open(path, "r+b") as f:
        head = f.read(64)
        f.seek(head.index(b"COMM") + 8 + 18)
        f.write(b"sowt")


EXTENSIONS = {"WAV": "wav", "WAVEX": "wav", "RF64": "wav", "AIFF": "aiff"}


def main():
    out = sys.argv[1]
    rng = np.random.default_rng(20261207)
    written = []
    for name, container, subtype, endian, channels, rate in SOUNDFILE_CASES:
        path = os.path.join(out, name + "." + EXTENSIONS[container])
        data = signal(subtype, (FRAMES, channels), rng)
        sf.write(path, data, rate, subtype=subtype, endian=endian, format=container)
        if container == "AIFF" and endian == "LITTLE" and subtype != "PCM_16":
            relabel_as_sowt(path)
        written.append((name, path))
    for name, kind, encoding, channels, rate in SOX_CASES:
        path = os.path.join(out, name + "." + kind)
        subprocess.run(["sox", "-D", "-n", "-r", str(rate), "-c", str(channels), *encoding,
                        "-t", kind, path, "synth", f"{FRAMES}s", "whitenoise",
                        "vol", "1.3"], check=True, stderr=subprocess.DEVNULL)
        written.append((name, path))
    with open(os.path.join(out, "manifest.txt"), "w") as manifest:
        for name, path in written:
            data, rate = sf.read(path, dtype="float32", always_2d=True)
            data.astype("<f4").tofile(os.path.join(out, name + ".f32"))
            manifest.write(f"{name} {os.path.splitext(path)[1][1:]} {data.shape[1]} {rate}\n")


if __name__ == "__main__":
    main()
