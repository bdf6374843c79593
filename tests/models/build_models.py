"""Builds the small ONNX models that the core's model tests run through the real runtime.

Usage: build_models.py OUTPUT_DIR

Denoiser models carry the tensor names and shapes of the denoising network:
inputs wav_in [1, 512], cache_in_0 [1, 256], cache_in_1 and cache_in_2 [1, 16, 20];
outputs wav_out (256), cache_out_0 (256), cache_out_1 (320), cache_out_2 (320).
Voice-activity models carry those of the voice-activity network: inputs input [1, N],
state [2, 1, 128], sr (int64 scalar); outputs output and stateN.
"""

import pathlib
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
IR_VERSION = 8
F = TensorProto.FLOAT


def save(graph, path):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = IR_VERSION
    onnx.save(model, str(path))


def value(name, elem, shape):
    return helper.make_tensor_value_info(name, elem, shape)


def const(name, array):
    return numpy_helper.from_array(np.asarray(array), name)


# ---------------------------------------------------------------- denoiser

DENOISER_INPUTS = [
    value("wav_in", F, [1, 512]),
    value("cache_in_0", F, [1, 256]),
    value("cache_in_1", F, [1, 16, 20]),
    value("cache_in_2", F, [1, 16, 20]),
]


def denoiser(path, wav_out_end=256, wav_out_name="wav_out", wav_out_type=F,
             cache_1_count=320):
    """wav_out = wav_in[:, :end] + cache_in_0 (when end is 256) + mean(cache_in_2);
    cache_out_0 = cache_in_0 + 1, cache_out_1 = cache_in_1 + 1,
    cache_out_2 = cache_in_2 + cache_in_1. So after frame j of a channel,
    cache 0 and cache 1 hold j + 1, cache 2 holds j (j + 1) / 2, and frame j's output is
    its first 256 samples plus j + j (j - 1) / 2."""
    nodes = [
        helper.make_node("Slice", ["wav_in", "s_start", "s_end", "s_axis"], ["head"]),
        helper.make_node("ReduceMean", ["cache_in_2"], ["c2_mean"], keepdims=0),
        helper.make_node("Add", ["cache_in_1", "one"], ["cache_out_1_full"]),
        helper.make_node("Add", ["cache_in_2", "cache_in_1"], ["cache_out_2"]),
        helper.make_node("Add", ["cache_in_0", "one"], ["cache_out_0"]),
    ]
    inits = [const("s_start", np.array([0], np.int64)),
             const("s_end", np.array([wav_out_end], np.int64)),
             const("s_axis", np.array([1], np.int64)),
             const("one", np.float32(1.0))]
    if wav_out_end == 256:
        nodes.append(helper.make_node("Add", ["head", "cache_in_0"], ["with_c0"]))
        shaped = "with_c0"
    else:
        shaped = "head"
    nodes.append(helper.make_node("Add", [shaped, "c2_mean"], ["wav_float"]))
    if wav_out_type == F:
        nodes.append(helper.make_node("Identity", ["wav_float"], [wav_out_name]))
    else:
        nodes.append(helper.make_node("Cast", ["wav_float"], [wav_out_name], to=wav_out_type))
    if cache_1_count == 320:
        nodes.append(helper.make_node("Identity", ["cache_out_1_full"], ["cache_out_1"]))
    else:
        nodes.append(helper.make_node("Flatten", ["cache_out_1_full"], ["c1_flat"], axis=0))
        nodes.append(helper.make_node("Slice", ["c1_flat", "c1_start", "c1_end", "s_axis"],
                                      ["cache_out_1"]))
        inits += [const("c1_start", np.array([0], np.int64)),
                  const("c1_end", np.array([cache_1_count], np.int64))]
    outputs = [value(wav_out_name, wav_out_type, None), value("cache_out_0", F, None),
               value("cache_out_1", F, None), value("cache_out_2", F, None)]
    save(helper.make_graph(nodes, "denoiser", DENOISER_INPUTS, outputs, inits), path)


def denoiser_realistic(path, seed=7):
    """A denoiser of about the size of the real network (~100k weights, a few hundred
    thousand multiply-adds per 256-sample hop): dense layers over the frame and caches."""
    rng = np.random.default_rng(seed)

    def w(name, rows, cols):
        return const(name, (rng.standard_normal((rows, cols)) / np.sqrt(rows)).astype(np.float32))

    nodes = [
        helper.make_node("Reshape", ["cache_in_1", "flat"], ["c1"]),
        helper.make_node("Reshape", ["cache_in_2", "flat"], ["c2"]),
        helper.make_node("Concat", ["wav_in", "cache_in_0"], ["x"], axis=1),      # 768
        helper.make_node("MatMul", ["x", "w_in"], ["h0"]),                          # 96
        helper.make_node("Add", ["h0", "c1_proj"], ["h1"]),
        helper.make_node("Tanh", ["h1"], ["h"]),
        helper.make_node("MatMul", ["c1", "w_c1"], ["c1_proj"]),
        helper.make_node("MatMul", ["h", "w_mid"], ["m0"]),
        helper.make_node("Sigmoid", ["m0"], ["gate"]),
        helper.make_node("MatMul", ["gate", "w_out"], ["mask"]),                   # 256
        helper.make_node("Slice", ["wav_in", "s_start", "s_end", "s_axis"], ["head"]),
        helper.make_node("Mul", ["head", "mask"], ["wav_out"]),
        helper.make_node("Slice", ["wav_in", "t_start", "t_end", "s_axis"], ["cache_out_0"]),
        helper.make_node("MatMul", ["h", "w_c1_out"], ["c1_next"]),
        helper.make_node("Reshape", ["c1_next", "cache_shape"], ["cache_out_1"]),
        helper.make_node("Reshape", ["c1", "cache_shape"], ["cache_out_2_src"]),
        helper.make_node("Add", ["cache_out_2_src", "c2_shaped"], ["cache_out_2"]),
        helper.make_node("Reshape", ["c2", "cache_shape"], ["c2_shaped"]),
    ]
    inits = [
        const("flat", np.array([1, 320], np.int64)),
        const("cache_shape", np.array([1, 16, 20], np.int64)),
        w("w_in", 768, 96), w("w_c1", 320, 96), w("w_mid", 96, 96),
        w("w_out", 96, 256), w("w_c1_out", 96, 320),
        const("s_start", np.array([0], np.int64)), const("s_end", np.array([256], np.int64)),
        const("t_start", np.array([256], np.int64)), const("t_end", np.array([512], np.int64)),
        const("s_axis", np.array([1], np.int64)),
    ]
    outputs = [value("wav_out", F, None), value("cache_out_0", F, None),
               value("cache_out_1", F, None), value("cache_out_2", F, None)]
    graph = helper.make_graph(nodes, "denoiser_realistic", DENOISER_INPUTS, outputs, inits)
    # Nodes were listed for reading; the checker wants them in dependency order.
    graph = sort_graph(graph)
    save(graph, path)


def sort_graph(graph):
    known = {i.name for i in graph.input} | {i.name for i in graph.initializer}
    pending = list(graph.node)
    ordered = []
    while pending:
        for node in pending:
            if all(name in known for name in node.input if name):
                ordered.append(node)
                known.update(node.output)
                pending.remove(node)
                break
        else:
            raise ValueError("graph has a cycle or a missing input")
    del graph.node[:]
    graph.node.extend(ordered)
    return graph


# ---------------------------------------------------------- voice activity

VAD_INPUTS = [
    value("input", F, [1, None]),
    value("state", F, [2, 1, 128]),
    value("sr", TensorProto.INT64, []),
]


def vad(path, output="mean", state="pass", inputs=VAD_INPUTS):
    """output = mean of the whole input (context and window) as [1, 1]; stateN = state.
    Variants replace one of them by a faulty output."""
    nodes = [helper.make_node("ReduceMean", ["input"], ["mean"], keepdims=1)]
    inits = []
    outputs = []
    if output == "mean":
        outputs.append(value("output", F, None))
        nodes.append(helper.make_node("Identity", ["mean"], ["output"]))
    elif output == "int64":
        outputs.append(value("output", TensorProto.INT64, None))
        nodes.append(helper.make_node("Cast", ["mean"], ["output"], to=TensorProto.INT64))
    elif output == "empty":
        outputs.append(value("output", F, None))
        inits.append(const("empty", np.zeros((0,), np.float32)))
        nodes.append(helper.make_node("Identity", ["empty"], ["output"]))
    elif output == "string":
        outputs.append(value("output", TensorProto.STRING, None))
        nodes.append(helper.make_node("Constant", [], ["output"], value=helper.make_tensor(
            "text", TensorProto.STRING, [1], [b"speech"])))
    elif output == "renamed":
        outputs.append(value("probability", F, None))
        nodes.append(helper.make_node("Identity", ["mean"], ["probability"]))
    if state == "pass":
        outputs.append(value("stateN", F, None))
        nodes.append(helper.make_node("Identity", ["state"], ["stateN"]))
    elif state == "short":
        outputs.append(value("stateN", F, None))
        nodes.append(helper.make_node("Flatten", ["state"], ["flat"], axis=0))
        nodes.append(helper.make_node("Slice", ["flat", "z", "n", "ax"], ["stateN"]))
        inits += [const("z", np.array([0], np.int64)), const("n", np.array([128], np.int64)),
                  const("ax", np.array([1], np.int64))]
    elif state == "int64":
        outputs.append(value("stateN", TensorProto.INT64, None))
        nodes.append(helper.make_node("Cast", ["state"], ["stateN"], to=TensorProto.INT64))
    # state == "missing": no stateN output
    save(helper.make_graph(nodes, "vad", inputs, outputs, inits), path)


def main():
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    denoiser(out / "denoiser.onnx")
    denoiser(out / "denoiser_wide_wav_out.onnx", wav_out_end=512)
    denoiser(out / "denoiser_no_wav_out.onnx", wav_out_name="enhanced")
    denoiser(out / "denoiser_int_wav_out.onnx", wav_out_type=TensorProto.INT64)
    denoiser(out / "denoiser_short_cache_1.onnx", cache_1_count=160)
    denoiser_realistic(out / "denoiser_realistic.onnx")
    vad(out / "vad_mean.onnx")
    vad(out / "vad_no_output.onnx", output="renamed")
    vad(out / "vad_int_output.onnx", output="int64")
    vad(out / "vad_empty_output.onnx", output="empty")
    vad(out / "vad_string_output.onnx", output="string")
    vad(out / "vad_short_state.onnx", state="short")
    vad(out / "vad_no_state.onnx", state="missing")
    vad(out / "vad_int_state.onnx", state="int64")
    vad(out / "vad_two_inputs.onnx", inputs=VAD_INPUTS[:2])


if __name__ == "__main__":
    main()
