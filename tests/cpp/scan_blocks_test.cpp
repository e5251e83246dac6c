#include "core/scan_blocks.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <vector>

#include "index/search.h"

namespace quorbell {
namespace {

// Through appends, replacements, a vector of another length and back, and
// growth past the exact scan, a scan summed from the lane-order copy gives
// exactly the hits of the ordinary scan, and the copy is kept whenever all
// vectors share a length and the store is between the copy's bounds. The
// ordinary scan runs on a twin store built by upserts alone, which keeps no
// copy until it is settled.
TEST(ScanBlocks, ScansFromTheCopyGiveTheOrdinaryHits) {
  std::mt19937 rng(11);
  const float values[] = {-1.0f, -0.0f, 0.0f, 0.5f, 2.0f, 1e30f};
  const auto random_vector = [&](std::size_t length) {
    std::vector<float> v(length);
    for (float& x : v) x = values[rng() % 6];
    return v;
  };
  const std::string tenant = "t";
  PointStore points, plain;
  const HNSWIndex no_graph;
  std::size_t odd_ones = 0;  // points whose vector is not 3 long
  for (std::uint64_t step = 0; step < 560; ++step) {
    // Early steps replace often; later ones mostly add, past 500 points.
    const std::uint64_t id = step < 300 ? rng() % 150 : step;
    const bool odd = step % 97 == 50;
    std::optional<Payload> payload;
    if (rng() % 2 == 0) payload = Payload::from_entries({{"tenant_id", payload_string(tenant)}});
    const auto before = points.find(id);
    if (before && before->vector.size() != 3) --odd_ones;
    const std::vector<float> vector = random_vector(odd ? 4 : 3);
    plain.upsert(id, vector, payload);
    points.commit(points.upsert(id, vector, std::move(payload)));
    if (odd) ++odd_ones;

    EXPECT_EQ(points.scan_blocks() != nullptr,
              odd_ones == 0 && points.size() >= SCAN_COPY_MIN_POINTS && points.size() < GRAPH_THRESHOLD)
        << step;
    const std::vector<float> query = random_vector(3);
    for (const Metric metric : {Metric::Cosine, Metric::DotProduct, Metric::Euclidean}) {
      for (const std::string* filter : {static_cast<const std::string*>(nullptr), &tenant}) {
        const auto expected = search_points(query, 7, metric, plain, no_graph, filter);
        const auto got = search_points(query, 7, metric, points, no_graph, filter);
        ASSERT_EQ(got.size(), expected.size()) << step;
        for (std::size_t k = 0; k < got.size(); ++k) {
          EXPECT_EQ(got[k].id, expected[k].id) << step;
          EXPECT_EQ(std::bit_cast<std::uint32_t>(got[k].score), std::bit_cast<std::uint32_t>(expected[k].score));
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorbell
