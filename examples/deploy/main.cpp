// halcyra_deploy: the demo's detector, exported by examples/deploy/export.py,
// run on its PNG images without Python.
//
//   halcyra_deploy EXPORT_DIR OUT_DIR
//   halcyra_deploy --run PROGRAM.pt2 INPUTS.pt OUTPUTS.pt [TORCHVISION_OPS]
//
// Reads EXPORT_DIR/deploy.txt and the images it names; runs the exported
// program (an AOTInductor package of the model and postprocess) or, where
// torch has no ahead-of-time compiler, the traced model and halcyra's C++
// postprocess; writes into OUT_DIR detections.json, detections.pt (the
// tensors, for torch.load) and each image with its detections drawn.
// With --run: an AOTInductor package run on every input list of INPUTS (a
// list of lists of tensors saved by torch.save), its outputs saved as one
// list of tensors per run (TORCHVISION_OPS: torchvision's operator library,
// for programs that call its operators).
#include <dlfcn.h>

#include <torch/script.h>
#include <torch/serialize.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <halcyra/halcyra.h>

#ifdef HALCYRA_DEPLOY_AOTI
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>
#endif

#include "png_io.h"

namespace {

const char* const kKeys[] = {"boxes", "scores", "cls", "masks", "kpts", "plines", "tags"};
constexpr int kFields = 7;

// deploy.txt: one "key value" line each; keys may repeat (level, class, image).
struct Config {
  std::multimap<std::string, std::string> entries;

  std::string get(const std::string& key) const {
    auto it = entries.find(key);
    if (it == entries.end()) throw std::runtime_error("deploy.txt has no '" + key + "'");
    return it->second;
  }
  std::vector<std::string> all(const std::string& key) const {
    std::vector<std::string> out;
    for (auto r = entries.equal_range(key); r.first != r.second; ++r.first)
      out.push_back(r.first->second);
    return out;
  }
  double number(const std::string& key) const { return std::stod(get(key)); }
  int64_t integer(const std::string& key) const { return std::stoll(get(key)); }
};

Config read_config(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  Config c;
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    if (line.empty() || space == std::string::npos) continue;
    c.entries.emplace(line.substr(0, space), line.substr(space + 1));
  }
  return c;
}

// A batch of images as the model takes them: (B, 3, S, S) float in [0, 1];
// slots past the images given stay black.
at::Tensor to_batch(const std::vector<deploy::Image>& images, size_t first, int64_t batch,
                    int64_t size) {
  at::Tensor x = at::zeros({batch, 3, size, size});
  for (int64_t b = 0; b < batch && first + b < images.size(); ++b) {
    const deploy::Image& im = images[first + b];
    if (im.width != size || im.height != size)
      throw std::runtime_error("an image is " + std::to_string(im.width) + "x" +
                               std::to_string(im.height) + ", the program takes " +
                               std::to_string(size) + "x" + std::to_string(size));
    at::Tensor pixels = at::from_blob(const_cast<uint8_t*>(im.rgb.data()), {size, size, 3},
                                      at::kByte);
    x[b].copy_(pixels.permute({2, 0, 1}).to(at::kFloat).div(255.0));
  }
  return x;
}

using Detections = std::vector<at::Tensor>;  // kKeys order

#ifdef HALCYRA_DEPLOY_AOTI
// The exported program: images in, every image's detections out, flat.
std::vector<Detections> run_program(torch::inductor::AOTIModelPackageLoader& program,
                                    const at::Tensor& images) {
  std::vector<at::Tensor> flat = program.run({images});
  const int64_t batch = images.size(0);
  if (static_cast<int64_t>(flat.size()) != batch * kFields)
    throw std::runtime_error("the program gave " + std::to_string(flat.size()) +
                             " tensors, expected " + std::to_string(batch * kFields));
  std::vector<Detections> out;
  for (int64_t b = 0; b < batch; ++b)
    out.emplace_back(flat.begin() + b * kFields, flat.begin() + (b + 1) * kFields);
  return out;
}
#endif

// The traced model's raw outputs, then halcyra's postprocess with the
// settings the export wrote and the traced refine head (traced at the one
// stride it is called with).
struct Traced {
  torch::jit::script::Module model, refine;
  halcyra::FeatShapes levels;
  double conf_thres = 0, nms_iou = 0, mask_thres = 0, box_offset = 0, refine_stride = 0;
  int64_t max_det = 0, pre_nms = 0, num_kpts = 0, n_pline = 0, input_size = 0;
  double min_side = 0;
};

std::vector<Detections> run_traced(Traced& t, const at::Tensor& images) {
  c10::InferenceMode guard;
  auto raw = t.model.forward({images}).toTuple()->elements();
  halcyra::Preds preds;
  preds.feat_shapes = t.levels;
  preds.cls_raw = raw[0].toTensor();
  preds.box_raw = raw[1].toTensor();
  preds.coef = raw[2].toTensor();
  preds.protos = raw[3].toTensor();
  preds.f2 = raw[4].toTensor();
  preds.kpt_raw = raw[5].toTensor();
  preds.pline_raw = raw[6].toTensor();
  preds.tag_logits = raw[7].toTensor();
  halcyra::Refine refine;
  refine.min_side = t.min_side;
  refine.forward = [&t](const at::Tensor& f2, const at::Tensor& coarse, const at::Tensor& regions,
                        const at::Tensor& bidx, double stride) {
    if (stride != t.refine_stride)
      throw std::runtime_error("the refine head was traced at stride " +
                               std::to_string(t.refine_stride) + ", called at " +
                               std::to_string(stride));
    return t.refine.forward({f2, coarse, regions, bidx}).toTensor();
  };
  std::vector<Detections> out;
  for (const halcyra::Detections& d :
       halcyra::postprocess(preds, t.conf_thres, t.nms_iou, t.max_det, t.pre_nms, t.mask_thres,
                            t.num_kpts, t.n_pline, t.input_size, refine, t.box_offset))
    out.push_back({d.boxes, d.scores, d.cls, *d.masks, *d.kpts, *d.plines, *d.tags});
  return out;
}

deploy::Colour colour_of(int64_t cls) {
  static const deploy::Colour palette[] = {
      {230, 25, 75}, {60, 180, 75}, {255, 225, 25}, {0, 130, 200}, {245, 130, 48}, {145, 30, 180}};
  return palette[static_cast<size_t>(cls < 0 ? 0 : cls) % 6];
}

// Boxes and masks of the detections scoring at least min_score; keypoints
// and polyline points of those of the classes that have them.
void draw(deploy::Image& im, const Detections& d, double min_score, int64_t kpt_class,
          int64_t pline_class) {
  const at::Tensor boxes = d[0].to(at::kFloat).contiguous(), masks = d[3].contiguous();
  const at::Tensor scores = d[1].to(at::kFloat), classes = d[2].to(at::kLong);
  const at::Tensor kpts = d[4].to(at::kFloat), plines = d[5].to(at::kFloat);
  const auto score = scores.accessor<float, 1>();
  const auto cls = classes.accessor<int64_t, 1>();
  const auto box = boxes.accessor<float, 2>();
  const auto kpt = kpts.accessor<float, 3>();
  const auto pl = plines.accessor<float, 3>();
  for (int64_t i = 0; i < boxes.size(0); ++i) {
    if (score[i] < min_score) continue;
    const deploy::Colour c = colour_of(cls[i]);
    if (masks.size(1) == im.height && masks.size(2) == im.width)
      deploy::tint(im, masks[i].data_ptr<bool>(), c, 0.35f);
    deploy::draw_rect(im, box[i][0], box[i][1], box[i][2], box[i][3], c);
    for (int64_t k = 0; cls[i] == kpt_class && k < kpt.size(1); ++k)
      if (kpt[i][k][2] > 0.5f) deploy::draw_dot(im, kpt[i][k][0], kpt[i][k][1], c);
    for (int64_t k = 0; cls[i] == pline_class && k + 1 < pl.size(1); ++k)
      deploy::draw_line(im, pl[i][k][0], pl[i][k][1], pl[i][k + 1][0], pl[i][k + 1][1], c);
  }
}

std::string json_numbers(const at::Tensor& t) {
  const at::Tensor flat = t.to(at::kDouble).contiguous().reshape({-1});
  const double* v = flat.data_ptr<double>();
  std::ostringstream s;
  s.precision(9);
  s << "[";
  for (int64_t i = 0; i < flat.numel(); ++i) s << (i ? ", " : "") << v[i];
  s << "]";
  return s.str();
}

void write_json(const std::string& path, const std::vector<std::string>& names,
                const std::vector<Detections>& dets, const std::vector<std::string>& classes) {
  std::ofstream out(path);
  out.precision(9);
  out << "[\n";
  for (size_t i = 0; i < dets.size(); ++i) {
    const Detections& d = dets[i];
    out << " {\"image\": \"" << names[i] << "\", \"detections\": [";
    for (int64_t k = 0; k < d[0].size(0); ++k) {
      const int64_t c = d[2][k].item<int64_t>();
      out << (k ? ",\n   " : "\n   ") << "{\"class\": \""
          << (c >= 0 && c < static_cast<int64_t>(classes.size()) ? classes[c] : "?")
          << "\", \"score\": " << d[1][k].item<double>() << ", \"box\": " << json_numbers(d[0][k])
          << ", \"mask_pixels\": " << d[3][k].sum().item<int64_t>()
          << ", \"keypoints\": " << json_numbers(d[4][k])
          << ", \"polyline\": " << json_numbers(d[5][k]) << "}";
    }
    out << "],\n  \"tags\": " << json_numbers(d[6]) << "}" << (i + 1 < dets.size() ? "," : "")
        << "\n";
  }
  out << "]\n";
}

void write_tensors(const std::string& path, const std::vector<Detections>& dets) {
  c10::impl::GenericList list(c10::DictType::create(c10::StringType::get(),
                                                    c10::TensorType::get()));
  for (const Detections& d : dets) {
    c10::Dict<std::string, at::Tensor> item;
    for (int k = 0; k < kFields; ++k) item.insert(kKeys[k], d[k]);
    list.push_back(item);
  }
  const std::vector<char> bytes = torch::pickle_save(list);
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A library that registers operators when loaded (torchvision's).
void load_operators(const std::string& path) {
  if (!dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL))
    throw std::runtime_error("cannot load " + path + ": " + std::string(dlerror()));
}

int run(const std::string& dir, const std::string& out_dir) {
  const Config config = read_config(dir + "/deploy.txt");
  // torchvision's operators (the refine head samples its regions with
  // roi_align): its library registers them when loaded
  load_operators(config.get("torchvision_ops"));

  // the intra-op threads of Python's run, whose convolutions round alike
  at::set_num_threads(static_cast<int>(config.integer("threads")));
  // and its convolutions' library: oneDNN off where Python turned it off
  // (torch's oneDNN convolutions found wrong on that machine)
  at::globalContext().setUserEnabledMkldnn(config.integer("onednn") != 0);
  const int64_t batch = config.integer("batch"), size = config.integer("size");
  const std::vector<std::string> names = config.all("image");
  std::vector<deploy::Image> images;
  for (const std::string& n : names) images.push_back(deploy::read_png(dir + "/images/" + n));

  const std::string format = config.get("format");
  std::function<std::vector<Detections>(const at::Tensor&)> detect;
#ifdef HALCYRA_DEPLOY_AOTI
  std::unique_ptr<torch::inductor::AOTIModelPackageLoader> program;
#endif
  Traced traced;
  if (format == "aoti") {
#ifdef HALCYRA_DEPLOY_AOTI
    program = std::make_unique<torch::inductor::AOTIModelPackageLoader>(dir + "/" +
                                                                         config.get("program"));
    detect = [&](const at::Tensor& x) { return run_program(*program, x); };
#else
    throw std::runtime_error("this build has no AOTInductor runtime; export with --format torchscript");
#endif
  } else {
    traced.model = torch::jit::load(dir + "/" + config.get("model"));
    traced.refine = torch::jit::load(dir + "/" + config.get("refine"));
    traced.refine_stride = config.number("refine_stride");
    traced.min_side = config.number("refine_min_side");
    traced.conf_thres = config.number("conf_thres");
    traced.nms_iou = config.number("nms_iou");
    traced.max_det = config.integer("max_det");
    traced.pre_nms = config.integer("pre_nms");
    traced.mask_thres = config.number("mask_thres");
    traced.num_kpts = config.integer("num_kpts");
    traced.n_pline = config.integer("n_pline");
    traced.input_size = config.integer("input_size");
    traced.box_offset = config.number("box_offset");
    for (const std::string& level : config.all("level")) {
      std::istringstream s(level);
      int64_t h = 0, w = 0;
      s >> h >> w;
      traced.levels.push_back({h, w});
    }
    detect = [&](const at::Tensor& x) { return run_traced(traced, x); };
  }

  std::vector<Detections> dets;
  double seconds = 0;
  for (size_t i = 0; i < images.size(); i += static_cast<size_t>(batch)) {
    const at::Tensor x = to_batch(images, i, batch, size);
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<Detections> found = detect(x);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (size_t b = 0; b < found.size() && i + b < images.size(); ++b) dets.push_back(found[b]);
  }

  write_json(out_dir + "/detections.json", names, dets, config.all("class"));
  write_tensors(out_dir + "/detections.pt", dets);
  int64_t total = 0;
  for (size_t i = 0; i < images.size(); ++i) {
    deploy::Image drawn = images[i];
    draw(drawn, dets[i], 0.4, config.integer("keypoint_class"), config.integer("polyline_class"));
    deploy::write_png(out_dir + "/" + names[i], drawn);
    total += dets[i][0].size(0);
  }
  std::printf("halcyra_deploy: %s, %zu images in batches of %lld: %lld detections, %.1f ms a batch\n",
              format.c_str(), images.size(), static_cast<long long>(batch),
              static_cast<long long>(total),
              1e3 * seconds / static_cast<double>((images.size() + batch - 1) / batch));
  return 0;
}

std::vector<char> read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return std::vector<char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int run_saved(const std::string& program_path, const std::string& inputs,
              const std::string& outputs) {
#ifdef HALCYRA_DEPLOY_AOTI
  torch::inductor::AOTIModelPackageLoader program(program_path);
  c10::impl::GenericList out(c10::ListType::ofTensors());
  // HALCYRA_REPEAT=N: each run also timed over N runs, its median printed in
  // milliseconds (bench/bench_cpp.py)
  const char* repeat_env = std::getenv("HALCYRA_REPEAT");
  const int repeat = repeat_env ? std::atoi(repeat_env) : 0;
  const c10::IValue saved = torch::pickle_load(read_bytes(inputs));
  for (const c10::IValue& args : saved.toListRef()) {
    std::vector<at::Tensor> in;
    for (const c10::IValue& t : args.toListRef()) in.push_back(t.toTensor());
    c10::List<at::Tensor> results;
    for (const at::Tensor& t : program.run(in)) results.push_back(t);
    out.push_back(results);
    if (repeat > 0) {
      std::vector<double> ms;
      for (int i = 0; i < repeat + 3; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        program.run(in);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                         .count());
      }
      ms.erase(ms.begin(), ms.begin() + 3);  // warm-up runs
      std::sort(ms.begin(), ms.end());
      std::printf("%g\n", ms[ms.size() / 2]);
    }
  }
  const std::vector<char> bytes = torch::pickle_save(out);
  std::ofstream(outputs, std::ios::binary).write(bytes.data(),
                                                 static_cast<std::streamsize>(bytes.size()));
  return 0;
#else
  (void)program_path, (void)inputs, (void)outputs;
  throw std::runtime_error("this build has no AOTInductor runtime");
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const bool saved = (argc == 5 || argc == 6) && std::string(argv[1]) == "--run";
  if (argc != 3 && !saved) {
    std::fprintf(stderr,
                 "usage: %s EXPORT_DIR OUT_DIR\n"
                 "       %s --run PROGRAM INPUTS OUTPUTS [TORCHVISION_OPS]\n",
                 argv[0], argv[0]);
    return 2;
  }
  try {
    if (saved) {
      if (argc == 6) load_operators(argv[5]);
      return run_saved(argv[2], argv[3], argv[4]);
    }
    return run(argv[1], argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "halcyra_deploy: %s\n", e.what());
    return 1;
  }
}
