"""Peer loops for bench_vad: the same model work done by a straightforward Python loop
over PyPI onnxruntime with one intra-op thread.

Usage: vad_peer.py vad RAW_F32 MODEL PROBS_OUT
       vad_peer.py denoise RAW_F32 MODEL
Prints the best of three timed passes in seconds (and writes the window probabilities
of the voice-activity pass to PROBS_OUT as float32)."""

import sys
import time

import numpy as np
import onnxruntime as ort


def session(model):
    options = ort.SessionOptions()
    options.intra_op_num_threads = 1
    return ort.InferenceSession(model, options, providers=["CPUExecutionProvider"])


def vad_pass(sess, audio):
    window, context = 512, 64
    state = np.zeros((2, 1, 128), np.float32)
    ctx = np.zeros(context, np.float32)
    sr = np.array(16000, np.int64)
    probs = []
    for start in range(0, len(audio) - window + 1, window):
        chunk = audio[start:start + window]
        x = np.concatenate([ctx, chunk])[None, :]
        out, state = sess.run(None, {"input": x, "state": state, "sr": sr})
        probs.append(out[0, 0])
        ctx = chunk[-context:]
    return np.asarray(probs, np.float32)


def denoise_pass(sess, audio):
    hop, frame = 256, 512
    pending = np.concatenate([np.zeros(hop, np.float32), audio, np.zeros(frame, np.float32)])
    caches = [np.zeros((1, 256), np.float32), np.zeros((1, 16, 20), np.float32),
              np.zeros((1, 16, 20), np.float32)]
    out = []
    for start in range(0, len(pending) - frame + 1, hop):
        wav, *caches = sess.run(None, {"wav_in": pending[None, start:start + frame],
                                       "cache_in_0": caches[0], "cache_in_1": caches[1],
                                       "cache_in_2": caches[2]})
        out.append(wav)
    return out


def best_of_three(run):
    best = float("inf")
    result = None
    for _ in range(3):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    mode, raw, model = sys.argv[1:4]
    audio = np.fromfile(raw, np.float32)
    sess = session(model)
    if mode == "vad":
        seconds, probs = best_of_three(lambda: vad_pass(sess, audio))
        probs.tofile(sys.argv[4])
    else:
        seconds, _ = best_of_three(lambda: denoise_pass(sess, audio))
    print(f"{seconds:.6f}")


if __name__ == "__main__":
    main()
