// The per-image flow of postprocess: selection, NMS, boxes, then masks (from
// the prototypes or through the refine head), keypoints, polylines and tags.
// Plain C++ over at::Tensor and C++ values.
//
// What only the caller's runtime can do is reached through Callbacks: the
// entries of the prediction dictionary, the module's late-bound functions
// (make_anchors, decode_boxes, batched_nms, decode_points, F.interpolate),
// the refine head, the parameters wherever they are used with their own
// semantics (compared, sliced with, converted only where a branch needs them)
// and the interpreter's exceptions. The flow calls them in the order in which
// the postprocess reaches them, so that a call fails where it always did.
#pragma once

#include <ATen/ATen.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace halcyra {
namespace predict {

// The entries of the prediction dictionary that the flow reads.
enum class Entry { kClsRaw, kBoxRaw, kProtos, kCoef, kF2, kKptRaw, kPlineRaw, kTagLogits };

inline const char* entry_name(Entry e) {
  switch (e) {
    case Entry::kClsRaw: return "cls_raw";
    case Entry::kBoxRaw: return "box_raw";
    case Entry::kProtos: return "protos";
    case Entry::kCoef: return "coef";
    case Entry::kF2: return "f2";
    case Entry::kKptRaw: return "kpt_raw";
    case Entry::kPlineRaw: return "pline_raw";
    case Entry::kTagLogits: return "tag_logits";
  }
  return "";
}

// The parameters that are converted, compared or sliced with only where the
// flow needs them.
enum class Param { kConfThres, kMaxDet, kPreNms, kMaskThres, kNumKpts, kInputSize };

inline const char* param_name(Param p) {
  switch (p) {
    case Param::kConfThres: return "conf_thres";
    case Param::kMaxDet: return "max_det";
    case Param::kPreNms: return "pre_nms";
    case Param::kMaskThres: return "mask_thres";
    case Param::kNumKpts: return "num_kpts";
    case Param::kInputSize: return "input_size";
  }
  return "";
}

// The parameters as far as they convert without any possible error: set
// where the argument is a plain number, for the fast paths.
struct Options {
  std::optional<float> conf_thres;  // a plain int or float, as float32 compares it
  std::optional<double> nms_iou;    // a plain int or float, as the NMS receives it
  std::optional<int64_t> max_det;   // plain ints (not bools) within int64
  std::optional<int64_t> pre_nms;
  std::optional<int64_t> n_pline;
  std::optional<float> box_offset;  // as conf_thres
  bool refine = false;              // a refine head is given
};

// A value the caller produced: `tensor` when it is a tensor; otherwise an
// opaque handle of the caller's object, only ever passed back to Callbacks.
struct Value {
  at::Tensor tensor;
  std::shared_ptr<void> object;
  bool is_tensor() const { return tensor.defined(); }
};

// A subscript of a prediction entry: [b], [b, idx] (idx defined) or
// [b:b+1] (range).
struct Subscript {
  int64_t b = 0;
  at::Tensor idx;
  bool range = false;
};

// make_anchors' result: the tensors, and the caller's objects, which the
// decoders receive as they were returned.
struct Anchors {
  at::Tensor points;   // (A, 2)
  at::Tensor strides;  // (A,)
  std::shared_ptr<void> object;
};

// A function of the module as looked up now: an opaque handle of the
// caller's object, and whether it is the one the module was loaded with
// (which the flow's own paths reproduce).
struct Function {
  std::shared_ptr<void> object;
  bool as_loaded = false;
};

enum class Error { kValue, kOverflow, kZeroDivision };

struct Callbacks {
  virtual ~Callbacks() = default;

  // ---- the prediction dictionary
  virtual bool has(Entry e) = 0;                  // `key in preds`
  virtual Value fetch(Entry e) = 0;               // preds[key]
  virtual at::Tensor fetch_float(Entry e) = 0;    // preds[key].float()
  virtual at::Tensor fetch_tensor(Entry e) = 0;   // preds[key], which must be a tensor
  // v[s] of a fetched entry that is not a tensor, by its own indexing; a
  // result that is not a tensor through its .float().
  virtual at::Tensor index(const Value& v, Entry e, const Subscript& s) = 0;

  // ---- the module's functions, looked up by name when the flow reaches
  // them (an error when the name is gone)
  virtual Anchors make_anchors(const at::Device& device) = 0;
  virtual Function find_decode_boxes() = 0;
  virtual at::Tensor decode_boxes(const Function& fn, const Anchors& anchors,
                                  const at::Tensor& box_raw) = 0;  // at box_offset
  // Whether the module's namespace holds the loaded batched_nms now (a plain
  // look at the namespace, which cannot fail).
  virtual bool nms_as_loaded() = 0;
  virtual Function find_nms() = 0;
  virtual at::Tensor nms(const Function& fn, const at::Tensor& boxes, const at::Tensor& scores,
                         const at::Tensor& cls) = 0;  // at nms_iou
  virtual Function find_decode_points() = 0;
  virtual at::Tensor decode_points(const Function& fn, const Anchors& anchors,
                                   const at::Tensor& raw) = 0;  // with n_pline
  // Bilinear resize (align_corners=False) of x (1, 1, ...) to (h, w).
  virtual at::Tensor interpolate(const at::Tensor& x, int64_t h, int64_t w) = 0;

  // ---- parameters with their own semantics
  virtual int64_t to_int(Param p) = 0;                    // an integer argument
  virtual bool to_scalar(Param p, at::Scalar* out) = 0;   // false when not a number
  virtual at::Tensor greater(const at::Tensor& t, Param p) = 0;  // t > p
  virtual bool exceeds(int64_t count, Param p) = 0;              // count > p
  virtual at::Tensor head(const at::Tensor& keep, Param p) = 0;  // keep[:p]

  // ---- the refine head
  // Whether the head is the refine module's own, used as shipped (no
  // override, no hooks, its own sampler): it reads the coarse logits only
  // around its regions.
  virtual bool refine_as_shipped() = 0;
  virtual at::Tensor sanitize(const at::Tensor& boxes, int64_t h, int64_t w, double stride) = 0;
  virtual Value refine(const at::Tensor& f2, const at::Tensor& coarse, const at::Tensor& regions,
                       const at::Tensor& batch, double stride) = 0;
  virtual at::Tensor refine_row(const Value& refined, int64_t k) = 0;  // refined[k], a tensor
  virtual int64_t int_of(const at::Tensor& t, int64_t k) = 0;          // int(t[k])

  // ---- the runtime
  [[noreturn]] virtual void raise_unpack(size_t n, size_t got) = 0;  // `a, b, ... = seq`
  [[noreturn]] virtual void raise(Error kind, const char* msg) = 0;
  // Runs f without holding the interpreter (no callback may run inside).
  virtual void unlocked(const std::function<void()>& f) = 0;
};

// One image's detections; the heads' fields are undefined where preds has
// no such head.
struct Detections {
  at::Tensor boxes, scores, cls;  // (n, 4), (n,), (n,) int64
  at::Tensor masks;               // (n, S, S) bool
  at::Tensor kpts;                // (n, K, 3)
  at::Tensor plines;              // (n, N, 2)
  at::Tensor tags;                // (T,)
};

// postprocess for one batch, without gradient recording.
std::vector<Detections> postprocess(const Options& opt, Callbacks& cb);

}  // namespace predict
}  // namespace halcyra
