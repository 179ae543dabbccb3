// halcyra's C++ API: anchors, decoding against their formulas, postprocess on
// small hand-made batches, and the errors with their messages.
#include <gtest/gtest.h>
#include <halcyra/halcyra.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using at::indexing::Slice;

at::Tensor floats(std::vector<float> v, at::IntArrayRef shape) {
  return at::tensor(v, at::kFloat).reshape(shape).clone();
}

// The message of the exception fn throws, which must be of type E.
template <class E, class F>
std::string message_of(F fn) {
  try {
    fn();
  } catch (const E& e) {
    return e.what_without_backtrace();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "another exception type: " << e.what();
    return "";
  }
  ADD_FAILURE() << "nothing thrown";
  return "";
}

void expect_equal(const at::Tensor& a, const at::Tensor& b) {
  ASSERT_EQ(a.sizes(), b.sizes());
  ASSERT_EQ(a.scalar_type(), b.scalar_type());
  EXPECT_TRUE(at::equal(a, b)) << a << "\n" << b;
}

// ---- anchors and decoding ----------------------------------------------------

TEST(Anchors, CellCentresLevelMajorThenRowMajor) {
  auto [points, strides] = halcyra::make_anchors({{2, 3}, {1, 2}});
  expect_equal(points, floats({4, 4, 12, 4, 20, 4, 4, 12, 12, 12, 20, 12, 8, 8, 24, 8}, {8, 2}));
  expect_equal(strides, floats({8, 8, 8, 8, 8, 8, 16, 16}, {8}));
}

TEST(Anchors, WalkStopsAtTheShorterListAndTakesTheDtype) {
  auto r = halcyra::make_anchors({{1, 1}, {1, 1}, {1, 1}, {5, 5}}, {4, 6}, at::kCPU, at::kDouble);
  EXPECT_EQ(r.first.scalar_type(), at::kDouble);
  expect_equal(r.second, at::tensor({4.0, 6.0}, at::kDouble));
  expect_equal(r.first, at::tensor({2.0, 2.0, 3.0, 3.0}, at::kDouble).reshape({2, 2}));
  // no level: torch.cat's error, as from Python
  EXPECT_NE(message_of<c10::Error>([] { halcyra::make_anchors({}); }).find("torch.cat()"),
            std::string::npos);
}

TEST(Anchors, IntegralDtypeIsRefused) {
  auto msg = message_of<c10::Error>([] { halcyra::make_anchors({{2, 2}}, {8}, at::kCPU, at::kLong); });
  EXPECT_NE(msg.find("result type Float can't be cast to the desired output type Long"),
            std::string::npos)
      << msg;
}

TEST(Flatten, ChannelLastRowMajorAndItsShapeError) {
  at::Tensor x = at::arange(2 * 3 * 2 * 2, at::kFloat).reshape({2, 3, 2, 2});
  expect_equal(halcyra::flatten_preds(x), x.permute({0, 2, 3, 1}).reshape({2, 4, 3}));
  // a non-contiguous input is reshaped, not viewed
  expect_equal(halcyra::flatten_preds(x.transpose(2, 3)),
               x.transpose(2, 3).permute({0, 2, 3, 1}).reshape({2, 4, 3}));
  EXPECT_EQ(message_of<c10::ValueError>([] { halcyra::flatten_preds(at::zeros({2, 3, 4})); }),
            "not enough values to unpack (expected 4, got 3)");
}

TEST(Decode, BoxesFollowTheFormula) {
  at::manual_seed(0);
  auto anchors = halcyra::make_anchors({{2, 2}, {1, 1}});
  at::Tensor raw = at::randn({2, 5, 4}) * 2;
  for (double offset : {0.0, 1.5}) {
    at::Tensor got = halcyra::decode_boxes(raw, anchors.first, anchors.second, offset);
    at::Tensor d = (at::softplus(raw) - offset) * anchors.second.unsqueeze(-1);
    at::Tensor xy1 = anchors.first - d.index({"...", Slice(0, 2)});
    at::Tensor xy2 = anchors.first + d.index({"...", Slice(2, 4)});
    if (offset != 0.0) xy2 = at::maximum(xy2, xy1);
    EXPECT_TRUE(at::allclose(got, at::cat({xy1, xy2}, -1), 1e-5, 1e-4)) << offset;
    if (offset != 0.0) {
      EXPECT_TRUE((got.index({"...", 2}) >= got.index({"...", 0})).all().item<bool>());
    }
  }
}

TEST(Decode, PointsFollowTheFormulaAndCheckTheirShape) {
  auto anchors = halcyra::make_anchors({{1, 3}});
  at::Tensor raw = at::arange(1 * 3 * 4, at::kFloat).reshape({1, 3, 4}) / 4;
  at::Tensor got = halcyra::decode_points(raw, anchors.first, anchors.second, 2);
  at::Tensor want = raw.reshape({1, 3, 2, 2}) * 8 + anchors.first.view({1, 3, 1, 2});
  expect_equal(got, want);
  EXPECT_EQ(message_of<c10::ValueError>(
                [&] { halcyra::decode_points(raw[0], anchors.first, anchors.second, 2); }),
            "not enough values to unpack (expected 3, got 2)");
}

// ---- postprocess -----------------------------------------------------------------

// One 2 x 2 level at stride 8: anchors at (4, 4), (12, 4), (4, 12), (12, 12).
halcyra::Preds batch(at::Tensor cls_raw, float box = 0.f) {
  halcyra::Preds p;
  p.feat_shapes = {{2, 2}};
  p.cls_raw = cls_raw;
  p.box_raw = at::full({cls_raw.size(0), 4, 4}, box);
  return p;
}

TEST(Postprocess, EmptyImageHasEmptyAttributes) {
  halcyra::Preds p = batch(at::full({2, 4, 3}, -10.f));
  p.cls_raw.index_put_({1, 2, 1}, 3.f);
  p.coef = at::zeros({2, 4, 2});
  p.protos = at::zeros({2, 2, 4, 4});
  p.kpt_raw = at::zeros({2, 4, 6});
  p.pline_raw = at::zeros({2, 4, 4});
  p.tag_logits = at::zeros({2, 5});
  auto out = halcyra::postprocess(p, 0.25, 0.7, 300, 3000, 0.5, 2, 2, 16);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].boxes.sizes(), (std::vector<int64_t>{0, 4}));
  EXPECT_EQ(out[0].cls.scalar_type(), at::kLong);
  EXPECT_EQ(out[0].masks->sizes(), (std::vector<int64_t>{0, 16, 16}));
  EXPECT_EQ(out[0].masks->scalar_type(), at::kBool);
  EXPECT_EQ(out[0].kpts->sizes(), (std::vector<int64_t>{0, 2, 3}));
  EXPECT_EQ(out[0].plines->sizes(), (std::vector<int64_t>{0, 2, 2}));
  expect_equal(*out[0].tags, at::full({5}, 0.5f));
  ASSERT_EQ(out[1].cls.size(0), 1);
  EXPECT_EQ(out[1].cls.item<int64_t>(), 1);
  EXPECT_FLOAT_EQ(out[1].scores.item<float>(), 1.f / (1.f + std::exp(-3.f)));
}

TEST(Postprocess, AttributesAbsentWithoutTheirInputs) {
  auto out = halcyra::postprocess(batch(at::zeros({1, 4, 1})));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(out[0].masks || out[0].kpts || out[0].plines || out[0].tags);
}

TEST(Postprocess, ConfidenceIsStrict) {
  // every probability is exactly 0.5
  EXPECT_EQ(halcyra::postprocess(batch(at::zeros({1, 4, 2})), 0.5)[0].scores.size(0), 0);
  EXPECT_EQ(halcyra::postprocess(batch(at::zeros({1, 4, 2})), 0.49)[0].scores.size(0), 4);
}

TEST(Postprocess, TiesKeepAnchorOrderAndNmsIsPerClass) {
  // boxes of side ~48.8 around anchors 8 px apart: neighbours overlap with IoU ~0.72
  halcyra::Preds p = batch(at::full({1, 4, 2}, -10.f), 3.f);
  p.cls_raw.index_put_({0, 0, 0}, 2.f);
  p.cls_raw.index_put_({0, 1, 0}, 2.f);  // same class, tied score, suppressed by anchor 0
  p.cls_raw.index_put_({0, 2, 1}, 2.f);  // tied score, another class: kept
  p.cls_raw.index_put_({0, 3, 1}, 1.f);
  auto d = halcyra::postprocess(p, 0.25, 0.5)[0];
  expect_equal(d.cls, at::tensor({0, 1}, at::kLong));
  expect_equal(d.boxes, halcyra::decode_boxes(p.box_raw, halcyra::make_anchors({{2, 2}}).first,
                                              halcyra::make_anchors({{2, 2}}).second)[0]
                            .index({at::tensor({0, 2}, at::kLong)}));
  // with a threshold above every IoU, all four, by decreasing score, ties in anchor order
  auto all = halcyra::postprocess(p, 0.25, 0.99)[0];
  expect_equal(all.cls, at::tensor({0, 0, 1, 1}, at::kLong));
  EXPECT_EQ(all.scores[0].item<float>(), all.scores[2].item<float>());
  EXPECT_GT(all.scores[2].item<float>(), all.scores[3].item<float>());
}

TEST(Postprocess, MaxDetAndPreNmsCut) {
  halcyra::Preds p = batch(floats({1, 4, 2, 3}, {1, 4, 1}));
  auto d = halcyra::postprocess(p, 0.25, 0.99, 2)[0];
  EXPECT_TRUE(at::equal(d.scores, at::sigmoid(floats({4, 3}, {2}))));
  // keep[:max_det] with a negative max_det: all but the last
  EXPECT_EQ(halcyra::postprocess(p, 0.25, 0.99, -1)[0].scores.size(0), 3);
  auto top = halcyra::postprocess(p, 0.25, 0.99, 300, 1)[0];
  EXPECT_TRUE(at::equal(top.scores, at::sigmoid(floats({4}, {1}))));
}

TEST(Postprocess, KeypointsPolylinesAndTagsOfTheSurvivors) {
  halcyra::Preds p = batch(floats({-9, -9, 5, -9}, {1, 4, 1}));
  p.kpt_raw = at::arange(4 * 6, at::kFloat).reshape({1, 4, 6}) / 10;
  p.pline_raw = at::arange(4 * 6, at::kFloat).reshape({1, 4, 6}) / 7;
  p.tag_logits = at::tensor({-1.0, 2.0}, at::kDouble).reshape({1, 2});
  auto d = halcyra::postprocess(p, 0.25, 0.7, 300, 3000, 0.5, /*num_kpts=*/2, /*n_pline=*/3)[0];
  ASSERT_EQ(d.cls.size(0), 1);
  // anchor 2 at (4, 12), stride 8
  at::Tensor r = p.kpt_raw[0][2].reshape({2, 3});
  at::Tensor xy = r.index({Slice(), Slice(0, 2)}) * 8 + floats({4, 12}, {1, 2});
  expect_equal(*d.kpts, at::cat({xy, r.index({Slice(), Slice(2, 3)}).sigmoid()}, -1).unsqueeze(0));
  expect_equal(*d.plines, (p.pline_raw[0][2].reshape({3, 2}) * 8 + floats({4, 12}, {1, 2}))
                              .unsqueeze(0));
  expect_equal(*d.tags, at::tensor({-1.0f, 2.0f}).sigmoid());
}

TEST(Postprocess, PrototypeMasksAreCutToTheBoxes) {
  halcyra::Preds p = batch(floats({-9, -9, -9, 5}, {1, 4, 1}));
  p.coef = at::ones({1, 4, 1});
  p.protos = at::full({1, 1, 4, 4}, 10.f);  // every coarse pixel far above the threshold
  auto d = halcyra::postprocess(p, 0.25, 0.7, 300, 3000, 0.5, 0, 16, 32)[0];
  ASSERT_EQ(d.masks->sizes(), (std::vector<int64_t>{1, 32, 32}));
  at::Tensor bx = d.boxes[0];
  at::Tensor ys = at::arange(32).view({32, 1}), xs = at::arange(32).view({1, 32});
  at::Tensor inside = (xs >= bx[0]) & (xs <= bx[2]) & (ys >= bx[1]) & (ys <= bx[3]);
  expect_equal((*d.masks)[0], inside);
  EXPECT_GT(inside.sum().item<int64_t>(), 0);
}

TEST(Postprocess, RefineHeadGetsThePythonFlowsArguments) {
  halcyra::Preds p = batch(floats({-9, 5, -9, 4}, {1, 4, 1}));
  p.coef = at::ones({1, 4, 2});
  p.protos = at::zeros({1, 2, 4, 4});
  p.f2 = at::ones({1, 3, 8, 8}, at::kDouble);
  int64_t calls = 0;
  halcyra::Refine head;
  head.forward = [&](const at::Tensor& f2, const at::Tensor& coarse, const at::Tensor& regions,
                     const at::Tensor& bidx, double stride) {
    ++calls;
    EXPECT_EQ(f2.sizes(), (std::vector<int64_t>{1, 3, 8, 8}));
    EXPECT_EQ(f2.scalar_type(), at::kFloat);
    EXPECT_EQ(coarse.sizes(), (std::vector<int64_t>{2, 4, 4}));
    EXPECT_EQ(regions.sizes(), (std::vector<int64_t>{2, 4}));
    expect_equal(bidx, at::zeros({2}, at::kLong));
    EXPECT_EQ(stride, 32.0 / 8.0);
    return at::full({2, 5, 5}, 1.f);  // sigmoid(1) > 0.5 everywhere in the regions
  };
  auto d = halcyra::postprocess(p, 0.25, 0.99, 300, 3000, 0.5, 0, 16, 32, head)[0];
  EXPECT_EQ(calls, 1);
  ASSERT_EQ(d.masks->sizes(), (std::vector<int64_t>{2, 32, 32}));
  // the shipped head's sanitize widens nothing here; the regions are the
  // boxes snapped outward to whole pixels, clipped to the canvas
  for (int64_t k = 0; k < 2; ++k) {
    at::Tensor bx = d.boxes[k];
    int64_t x1 = std::max<int64_t>(0, std::floor(bx[0].item<float>()));
    int64_t x2 = std::min<int64_t>(32, std::ceil(bx[2].item<float>()));
    int64_t y1 = std::max<int64_t>(0, std::floor(bx[1].item<float>()));
    int64_t y2 = std::min<int64_t>(32, std::ceil(bx[3].item<float>()));
    at::Tensor want = at::zeros({32, 32}, at::kBool);
    want.index_put_({Slice(y1, y2), Slice(x1, x2)}, true);
    expect_equal((*d.masks)[k], want);
  }
  // a sanitize of the caller's, given the feature's size and stride
  head.sanitize = [&](const at::Tensor& boxes, std::array<int64_t, 2> size, double stride) {
    EXPECT_EQ(size[0], 8);
    EXPECT_EQ(size[1], 8);
    EXPECT_EQ(stride, 4.0);
    return at::zeros_like(boxes);  // every region collapses to the corner
  };
  auto c = halcyra::postprocess(p, 0.25, 0.99, 300, 3000, 0.5, 0, 16, 32, head)[0];
  EXPECT_EQ(c.masks->index({Slice(), Slice(0, 4), Slice(0, 4)}).sum().item<int64_t>(), 2 * 16);
  EXPECT_EQ(c.masks->sum().item<int64_t>(), 2 * 16);
  // without a refine head (or without f2) the prototypes give the masks
  p.f2 = at::Tensor();
  auto m = halcyra::postprocess(p, 0.25, 0.99, 300, 3000, 0.5, 0, 16, 32, head)[0];
  EXPECT_EQ(m.masks->sum().item<int64_t>(), 0);  // sigmoid(0) is not above 0.5
}

TEST(Postprocess, PredsAreNotModified) {
  halcyra::Preds p = batch(at::randn({2, 4, 3}), 0.5f);
  p.kpt_raw = at::randn({2, 4, 3});
  p.tag_logits = at::randn({2, 2}, at::kHalf);
  const at::Tensor c = p.cls_raw.clone(), b = p.box_raw.clone(), k = p.kpt_raw.clone();
  halcyra::postprocess(p, 0.1, 0.7, 300, 3000, 0.5, 1);
  expect_equal(p.cls_raw, c);
  expect_equal(p.box_raw, b);
  expect_equal(p.kpt_raw, k);
}

TEST(PostprocessErrors, MissingKeysAndShapes) {
  halcyra::Preds p = batch(at::zeros({1, 4, 1}));
  EXPECT_EQ(message_of<c10::ValueError>([&] {
              halcyra::Preds q = p;
              q.cls_raw = at::Tensor();
              halcyra::postprocess(q);
            }),
            "postprocess(): preds has no 'cls_raw'");
  EXPECT_EQ(message_of<c10::ValueError>([&] {
              halcyra::Preds q = p;
              q.coef = at::zeros({1, 4, 2});
              halcyra::postprocess(q);
            }),
            "postprocess(): preds has no 'protos'");
  EXPECT_EQ(message_of<c10::ValueError>([&] {
              halcyra::Preds q = p;
              q.box_raw = at::zeros({1, 4, 3});
              halcyra::postprocess(q);
            }),
            "detect(): boxes must have shape (B, A, 4)");
  EXPECT_EQ(message_of<c10::ValueError>([&] {
              halcyra::Preds q = p;
              q.feat_shapes = {{2, 3}};
              halcyra::postprocess(q);
            }),
            "detect(): points (A, 2) and strides (A,) expected");
  EXPECT_EQ(message_of<c10::ValueError>([&] {
              halcyra::Preds q = p;
              q.kpt_raw = at::zeros({1, 4, 5});
              halcyra::postprocess(q, 0.25, 0.7, 300, 3000, 0.5, 2);
            }),
            "gather_keypoints(): raw must have shape (B, A, 6)");
  EXPECT_EQ(message_of<c10::ValueError>([&] {
              halcyra::Preds q = p;
              q.coef = at::zeros({1, 4, 2});
              q.protos = at::zeros({1, 2, 4});
              halcyra::postprocess(q);
            }),
            "not enough values to unpack (expected 3, got 2)");
}

TEST(PostprocessErrors, IndexErrorsAsPythonIndexing) {
  halcyra::Preds p = batch(at::zeros({2, 4, 1}));
  p.tag_logits = at::zeros({1, 3});
  EXPECT_EQ(message_of<c10::IndexError>([&] { halcyra::postprocess(p); }),
            "index 1 is out of bounds for dimension 0 with size 1");
  p.tag_logits = at::Tensor();
  p.pline_raw = at::zeros({1, 4, 32});
  EXPECT_EQ(message_of<c10::IndexError>([&] { halcyra::postprocess(p); }),
            "index 0 is out of bounds for dimension 0 with size 0");
  p.pline_raw = at::Tensor();
  p.kpt_raw = at::zeros({1, 4, 3});
  EXPECT_EQ(message_of<c10::IndexError>([&] { halcyra::postprocess(p, 0.25, 0.7, 300, 3000, 0.5, 1); }),
            "index 1 is out of bounds for dimension 0 with size 1");
}

TEST(PostprocessErrors, RefineWithoutForward) {
  halcyra::Preds p = batch(at::ones({1, 4, 1}));
  p.coef = at::ones({1, 4, 1});
  p.protos = at::ones({1, 1, 2, 2});
  p.f2 = at::ones({1, 1, 2, 2});
  EXPECT_EQ(message_of<c10::ValueError>(
                [&] { halcyra::postprocess(p, 0.25, 0.7, 300, 3000, 0.5, 0, 16, 8, halcyra::Refine{}); }),
            "postprocess(): refine has no forward");
}

}  // namespace
