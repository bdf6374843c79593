"""Builds the FLAC benchmark's material and runs bench_flac_encode on it.

Usage: python bench/flac_encode.py [BUILD_DIR] [WORK_DIR]

BUILD_DIR is a build configured with -DMURELLO_BENCH=ON (default build/bench; the
bench_flac_encode target is built there if missing). WORK_DIR keeps the generated WAV
files (default: a temporary directory, removed afterwards).

Material, 16-bit PCM:
  mix44k.wav   5 minutes, 44.1 kHz stereo: espeak-ng speech and the recordings in
               /usr/share/sounds/alsa, panned, over synthetic music-like material
               (chords with decaying harmonics, a bass line, noise-burst percussion);
  speech16k.wav 10 minutes, 16 kHz mono: espeak-ng speech in several voices with the
               ALSA recordings between sentences.
"""
import glob
import os
import subprocess
import sys
import tempfile
import wave

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SENTENCES = [
    "The quick brown fox jumps over the lazy dog while the rain keeps falling.",
    "Please leave a message after the tone, and we will call you back tomorrow.",
    "Seven hundred and forty two parcels were delivered before noon on Tuesday.",
    "A gentle breeze carried the smell of fresh bread across the quiet market square.",
    "Could you repeat the last number? The line was breaking up for a moment.",
    "Turn left at the second traffic light, then follow the river for two miles.",
    "Our meeting has been moved to the small conference room on the third floor.",
    "She measured the temperature every hour and wrote it down in a red notebook.",
]
VOICES = ["en", "en-us", "en-gb-scotland", "en+f3", "en-us+m4", "en+f5"]


def read_wav(path):
    with wave.open(path) as w:
        assert w.getsampwidth() == 2
        x = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float64) / 32768
        return x.reshape(-1, w.getnchannels()).mean(axis=1), w.getframerate()


def write_wav(path, x, rate):
    x = np.asarray(x)
    x = x.reshape(len(x), -1)
    pcm = np.clip(np.round(x * 32767), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(pcm.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.tobytes())


def resampled(path, rate, work):
    out = os.path.join(work, "r%d_%s" % (rate, os.path.basename(path)))
    subprocess.run(["sox", "-G", path, "-r", str(rate), "-c", "1", "-b", "16", out], check=True)
    return read_wav(out)[0]


def speech_clips(rate, work):
    clips = []
    for i, text in enumerate(SENTENCES * 2):
        path = os.path.join(work, "say%d.wav" % i)
        voice = VOICES[i % len(VOICES)]
        speed = str(140 + 15 * (i % 4))
        subprocess.run(["espeak-ng", "-v", voice, "-s", speed, "-w", path, text], check=True)
        clips.append(resampled(path, rate, work))
    for path in sorted(glob.glob("/usr/share/sounds/alsa/*.wav")):
        clips.append(resampled(path, rate, work))
    return clips


def speech_track(seconds, rate, clips, rng):
    out = np.zeros(seconds * rate)
    at = 0
    while at < len(out):
        clip = clips[rng.integers(len(clips))] * rng.uniform(0.4, 0.9)
        n = min(len(clip), len(out) - at)
        out[at : at + n] += clip[:n]
        at += n + int(rng.uniform(0.2, 1.2) * rate)
    # A little room noise, as a microphone would pick up.
    return out + rng.normal(0, 2e-4, len(out))


def music_track(seconds, rate, rng):
    n = seconds * rate
    t = np.arange(n) / rate
    left = np.zeros(n)
    right = np.zeros(n)
    beat = 0.5
    roots = [220.0, 174.6, 261.6, 196.0]
    for b in range(int(seconds / beat)):
        start = int(b * beat * rate)
        seg = slice(start, min(n, start + int(2 * beat * rate)))
        tt = t[seg] - t[start]
        root = roots[(b // 8) % len(roots)]
        envelope = np.exp(-3.0 * tt)
        chord = sum(
            np.sin(2 * np.pi * root * ratio * h * tt) / h**1.5
            for ratio in (1.0, 1.26, 1.5)
            for h in (1, 2, 3, 4)
        ) * envelope * 0.05
        bass = np.sin(2 * np.pi * root / 4 * tt) * np.exp(-2 * tt) * 0.12
        pan = 0.5 + 0.4 * np.sin(b / 5.0)
        left[seg] += chord * pan + bass
        right[seg] += chord * (1 - pan) + bass
        if b % 2 == 0:  # percussion: a short filtered noise burst
            m = min(n - start, int(0.08 * rate))
            hit = np.convolve(rng.normal(0, 0.15, m), np.ones(4) / 4, "same") * np.exp(
                -np.arange(m) / (0.015 * rate)
            )
            left[start : start + m] += hit
            right[start : start + m] += hit * 0.8
    return left, right


def make_material(work):
    rng = np.random.default_rng(2026)
    clips44 = speech_clips(44100, work)
    speech = speech_track(300, 44100, clips44, rng)
    left, right = music_track(300, 44100, rng)
    pan = 0.5 + 0.3 * np.sin(np.arange(len(speech)) / 44100 / 7.0)
    mix = np.stack([left * 0.6 + speech * pan, right * 0.6 + speech * (1 - pan)], axis=1)
    write_wav(os.path.join(work, "mix44k.wav"), mix * 0.8, 44100)
    clips16 = speech_clips(16000, work)
    write_wav(os.path.join(work, "speech16k.wav"), speech_track(600, 16000, clips16, rng), 16000)
    return [os.path.join(work, "mix44k.wav"), os.path.join(work, "speech16k.wav")]


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "bench"))
    program = os.path.join(build, "bench", "bench_flac_encode")
    if not os.path.exists(program):
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DMURELLO_BENCH=ON",
                        "-DMURELLO_MODULE=OFF", "-DCMAKE_BUILD_TYPE=Release"], check=True)
        subprocess.run(["cmake", "--build", build, "--target", "bench_flac_encode", "-j2"], check=True)
    if len(sys.argv) > 2:
        os.makedirs(sys.argv[2], exist_ok=True)
        subprocess.run([program] + make_material(sys.argv[2]), check=True)
    else:
        with tempfile.TemporaryDirectory() as work:
            subprocess.run([program] + make_material(work), check=True)


if __name__ == "__main__":
    main()
