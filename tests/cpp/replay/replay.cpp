// Replays postprocess calls that Python saved with torch.save through the C++
// API and saves the detections for torch.load.
//
//   halcyra_replay CASES OUT [REFINE] [--ops LIBRARY]
//
// CASES: a list of dicts {"preds": {key: tensor, "feat_shapes": (L, 2) int64},
// "args": {postprocess's keyword arguments but refine, "refine": bool},
// "threads": int}. REFINE: a TorchScript module with forward and sanitize, the
// refine head of the cases that ask for one. OUT: one list per case of one
// dict per image (boxes, scores, cls and the attributes given). With
// HALCYRA_REPEAT=N in the environment, each case's median time over N calls
// (milliseconds) is printed, a line per case. --ops: a library that registers
// operators when loaded, torchvision's, whose nms the device-generic path
// calls (HALCYRA_GENERIC=1, non-CPU tensors).
#include <dlfcn.h>

#include <halcyra/halcyra.h>
#include <torch/script.h>
#include <torch/serialize.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<char> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return std::vector<char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

at::Tensor key(const c10::Dict<c10::IValue, c10::IValue>& d, const char* name) {
  auto it = d.find(std::string(name));
  return it == d.end() ? at::Tensor() : it->value().toTensor();
}

halcyra::Preds preds_of(const c10::Dict<c10::IValue, c10::IValue>& d) {
  halcyra::Preds p;
  const at::Tensor shapes = d.at(std::string("feat_shapes")).toTensor();
  for (int64_t i = 0; i < shapes.size(0); ++i)
    p.feat_shapes.push_back({shapes[i][0].item<int64_t>(), shapes[i][1].item<int64_t>()});
  p.cls_raw = key(d, "cls_raw");
  p.box_raw = key(d, "box_raw");
  p.coef = key(d, "coef");
  p.protos = key(d, "protos");
  p.f2 = key(d, "f2");
  p.kpt_raw = key(d, "kpt_raw");
  p.pline_raw = key(d, "pline_raw");
  p.tag_logits = key(d, "tag_logits");
  return p;
}

halcyra::Refine refine_of(torch::jit::script::Module& head) {
  halcyra::Refine r;
  r.forward = [&head](const at::Tensor& f2, const at::Tensor& coarse, const at::Tensor& regions,
                      const at::Tensor& bidx, double stride) {
    return head.forward({f2, coarse, regions, bidx, stride}).toTensor();
  };
  r.sanitize = [&head](const at::Tensor& boxes, std::array<int64_t, 2> size, double stride) {
    auto size_t2 = c10::ivalue::Tuple::create({c10::IValue(size[0]), c10::IValue(size[1])});
    return head.get_method("sanitize")({boxes, size_t2, stride}).toTensor();
  };
  return r;
}

// The median wall time of fn() over `repeat` calls, in milliseconds, after
// three calls to warm up.
template <class F>
double median_ms(F&& fn, int repeat) {
  for (int i = 0; i < 3; ++i) fn();
  std::vector<double> ms;
  for (int i = 0; i < repeat; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  std::string ops;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--ops" && i + 1 < argc)
      ops = argv[++i];
    else
      args.emplace_back(argv[i]);
  }
  if (args.size() < 2 || args.size() > 3) {
    std::cerr << "usage: halcyra_replay CASES OUT [REFINE] [--ops LIBRARY]\n";
    return 2;
  }
  if (!ops.empty() && !dlopen(ops.c_str(), RTLD_NOW | RTLD_GLOBAL)) {
    std::cerr << "halcyra_replay: cannot load " << ops << ": " << dlerror() << "\n";
    return 1;
  }
  try {
    // HALCYRA_REPEAT=N: each case also timed over N calls (bench/bench_cpp.py)
    const char* repeat_env = std::getenv("HALCYRA_REPEAT");
    const int repeat = repeat_env ? std::atoi(repeat_env) : 0;
    const c10::IValue cases = torch::pickle_load(read_file(args[0]));
    torch::jit::script::Module head;
    if (args.size() > 2) head = torch::jit::load(args[2]);
    c10::impl::GenericList out(c10::AnyType::get());
    for (const c10::IValue& c : cases.toListRef()) {
      const auto d = c.toGenericDict();
      at::set_num_threads(d.at(std::string("threads")).toInt());
      const auto a = d.at(std::string("args")).toGenericDict();
      auto num = [&](const char* k) { return a.at(std::string(k)).toDouble(); };
      auto integer = [&](const char* k) { return a.at(std::string(k)).toInt(); };
      std::optional<halcyra::Refine> refine;
      if (a.at(std::string("refine")).toBool()) refine = refine_of(head);
      const halcyra::Preds preds = preds_of(d.at(std::string("preds")).toGenericDict());
      auto call = [&] {
        return halcyra::postprocess(preds, num("conf_thres"), num("nms_iou"), integer("max_det"),
                                    integer("pre_nms"), num("mask_thres"), integer("num_kpts"),
                                    integer("n_pline"), integer("input_size"), refine,
                                    num("box_offset"));
      };
      const auto dets = call();
      if (repeat > 0) std::cout << median_ms(call, repeat) << "\n";
      c10::impl::GenericList images(c10::AnyType::get());
      for (const halcyra::Detections& det : dets) {
        c10::Dict<std::string, at::Tensor> r;
        r.insert("boxes", det.boxes);
        r.insert("scores", det.scores);
        r.insert("cls", det.cls);
        if (det.masks) r.insert("masks", *det.masks);
        if (det.kpts) r.insert("kpts", *det.kpts);
        if (det.plines) r.insert("plines", *det.plines);
        if (det.tags) r.insert("tags", *det.tags);
        images.push_back(r);
      }
      out.push_back(images);
    }
    const std::vector<char> bytes = torch::pickle_save(out);
    std::ofstream(args[1], std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  } catch (const std::exception& e) {
    std::cerr << "halcyra_replay: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
