"""Times murello's FLAC decoder against `flac -t` on two 5-minute files.

Makes a 44.1 kHz stereo 16-bit file and a 44.1 kHz stereo 24-bit file (a chord with a
slow tremolo over quiet pink noise, made by sox), encodes both with `flac -5`, and runs
bench_flac_decode (built with -DMURELLO_BENCH=ON) on them. bench_flac_decode times the
reference decoder (`flac -t`, which also checks the MD5) in the same run and prints the
ratios murello / flac (below 1.0 means murello is faster).

    .venv/bin/python bench/flac_decode.py [--binary build/bench/bench_flac_decode]
                                          [--seconds 300] [--runs 5]
"""

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path


def make_flac(directory, bits, seconds):
    wav = directory / f"music_{bits}bit.wav"
    flac = directory / f"music_{bits}bit.flac"
    # Two layers, mixed: tones alone compress unrealistically well.
    tone = directory / f"tone_{bits}.wav"
    noise = directory / f"noise_{bits}.wav"
    subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", "-b", str(bits), str(tone),
                    "synth", str(seconds), "sine", "220", "sine", "277",
                    "tremolo", "0.5", "40", "vol", "0.4"], check=True)
    subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", "-b", str(bits), str(noise),
                    "synth", str(seconds), "pinknoise", "vol", "0.02"], check=True)
    subprocess.run(["sox", "-D", "-m", str(tone), str(noise), "-b", str(bits), "-t", "wavpcm", str(wav)], check=True)
    # flac warns that sox's 24-bit WAV is not WAVE_FORMAT_EXTENSIBLE; the data is fine.
    subprocess.run(["flac", "-s", "-f", "-5", str(wav), "-o", str(flac)], check=True,
                   stderr=subprocess.DEVNULL)
    return flac


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    root = Path(__file__).resolve().parent.parent
    parser.add_argument("--binary", type=Path, default=root / "build" / "bench" / "bench_flac_decode")
    parser.add_argument("--seconds", type=float, default=300.0)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        directory = Path(scratch)
        files = [make_flac(directory, bits, args.seconds) for bits in (16, 24)]
        result = subprocess.run([str(args.binary.resolve()), "--runs", str(args.runs), *map(str, files)],
                                capture_output=True, text=True)
        sys.stdout.write(result.stdout)
        sys.stderr.write(result.stderr)
        return result.returncode


if __name__ == "__main__":
    sys.exit(main())
