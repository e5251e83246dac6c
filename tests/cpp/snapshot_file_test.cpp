#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/fixed_texts.h"
#include "storage/file_io.h"
#include "storage/file_replacer.h"
#include "storage/segment.h"

namespace quorbell {
namespace {

namespace fs = std::filesystem;
using Vec = std::vector<float>;

class SnapshotFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quorbell-snapshot-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
    return names;
  }
  static std::string contents(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
};

std::vector<std::uint64_t> ids_found(const Segment& segment) {
  auto hits = segment.search(Vec{1, 1}, 100, Metric::DotProduct, nullptr);
  EXPECT_TRUE(hits.ok());
  std::vector<std::uint64_t> ids;
  for (const auto& hit : hits.value()) ids.push_back(hit.id);
  return ids;
}

void poison(Segment& segment) {
  EXPECT_THROW((void)segment.test_mutate([](PointStore&, HNSWIndex&) { throw std::runtime_error("boom"); }),
               std::runtime_error);
}

TEST(SystemErrorText, DescriptionThenNumber) {
  EXPECT_EQ(system_error_text(ENOENT), std::string(std::strerror(ENOENT)) + " (os error 2)");
  EXPECT_EQ(system_error_text(EISDIR), std::string(std::strerror(EISDIR)) + " (os error 21)");
}

TEST_F(SnapshotFile, SaveAndLoadRoundTrip) {
  Segment source;
  ASSERT_TRUE(source.upsert(1, Vec{1, 2}, Payload::from_entries({{"tenant_id", Keyword{"a"}}})));
  ASSERT_TRUE(source.upsert(2, Vec{3, 4}, std::nullopt));
  ASSERT_TRUE(source.save_to_disk(path("s.qb")));
  Segment target;
  ASSERT_TRUE(target.upsert(9, Vec{1, 1}, std::nullopt));
  ASSERT_TRUE(target.load(path("s.qb")));
  EXPECT_EQ(ids_found(target), (std::vector<std::uint64_t>{2, 1}));
  ASSERT_TRUE(target.save_to_disk(path("t.qb")));
  EXPECT_EQ(contents(path("t.qb")).size(), contents(path("s.qb")).size());
}

TEST_F(SnapshotFile, FailedLoadKeepsTheState) {
  Segment segment;
  ASSERT_TRUE(segment.upsert(1, Vec{1, 1}, std::nullopt));
  std::ofstream(path("bad.qb"), std::ios::binary) << std::string("\x01\x01", 2);
  const Status loaded = segment.load(path("bad.qb"));
  ASSERT_FALSE(loaded.ok());
  EXPECT_EQ(loaded.error().kind, ErrorKind::Snapshot);
  EXPECT_EQ(loaded.error().message, std::string(DECODE_FAILED) + END_OF_DATA);
  EXPECT_EQ(ids_found(segment), std::vector<std::uint64_t>{1});
}

TEST_F(SnapshotFile, PoisonedLocksFailSaveAndLoadAsFaults) {
  Segment healthy;
  ASSERT_TRUE(healthy.save_to_disk(path("good.qb")));
  Segment segment;
  poison(segment);
  const Status saved = segment.save_to_disk(path("never.qb"));
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error().kind, ErrorKind::Fault);
  EXPECT_NE(saved.error().message.view().find("poisoned"), std::string::npos);
  // Load reads and decodes before it takes a lock: a missing file is still
  // reported as such, and a good one fails only at the swap.
  const Status missing = segment.load(path("missing.qb"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, ErrorKind::Snapshot);
  const Status loaded = segment.load(path("good.qb"));
  ASSERT_FALSE(loaded.ok());
  EXPECT_EQ(loaded.error().kind, ErrorKind::Fault);
  EXPECT_EQ(entries(), std::vector<std::string>{"good.qb"});
}

// An interruption check that lets calls_left - 1 pieces through.
int calls_left = 0;
Status interrupted_when_counted_out() {
  if (--calls_left > 0) return {};
  return Error{ErrorKind::Interrupted, {}};
}

class InterruptedAfter : public SnapshotFile, public ::testing::WithParamInterface<int> {};

TEST_P(InterruptedAfter, SaveAndLoadAreAbandonedWithoutATrace) {
  Segment segment;
  for (std::uint64_t id = 0; id < 4; ++id) ASSERT_TRUE(segment.upsert(id, Vec(100000, 1.0f), std::nullopt));
  ASSERT_TRUE(segment.save_to_disk(path("s.qb")));  // some 1.6 MB, several pieces each way
  const std::string before = contents(path("s.qb"));
  ASSERT_TRUE(segment.upsert(9, Vec{1, 1}, std::nullopt));

  calls_left = GetParam();
  const Status saved = segment.save_to_disk(path("s.qb"), interrupted_when_counted_out);
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error().kind, ErrorKind::Interrupted);
  EXPECT_EQ(contents(path("s.qb")), before);
  EXPECT_EQ(entries(), std::vector<std::string>{"s.qb"});

  ASSERT_TRUE(segment.save_to_disk(path("current.qb")));
  calls_left = GetParam();
  const Status loaded = segment.load(path("s.qb"), interrupted_when_counted_out);
  ASSERT_FALSE(loaded.ok());
  EXPECT_EQ(loaded.error().kind, ErrorKind::Interrupted);
  ASSERT_TRUE(segment.save_to_disk(path("after.qb")));
  EXPECT_EQ(contents(path("after.qb")), contents(path("current.qb")));
}

INSTANTIATE_TEST_SUITE_P(Pieces, InterruptedAfter, ::testing::Values(1, 2, 5));

TEST_F(SnapshotFile, AbandonedReplacementLeavesTheTargetAlone) {
  std::ofstream(path("t.qb")) << "old";
  {
    auto replacer = FileReplacer::begin(path("t.qb"), never_interrupted);
    ASSERT_TRUE(replacer.ok());
    EXPECT_EQ(entries().size(), 2u);  // the target and the temporary file
  }
  EXPECT_EQ(entries(), std::vector<std::string>{"t.qb"});
  EXPECT_EQ(contents(path("t.qb")), "old");
}

TEST_F(SnapshotFile, CommittedReplacementHasExactlyTheBytes) {
  std::ofstream(path("t.qb")) << std::string(20000, 'x');
  for (std::size_t size : {0u, 5u, 8191u, 8192u, 100000u}) {
    auto replacer = FileReplacer::begin(path("t.qb"), never_interrupted);
    ASSERT_TRUE(replacer.ok());
    const std::vector<std::uint8_t> bytes(size, static_cast<std::uint8_t>(size));
    ASSERT_TRUE(replacer.value().write(bytes));
    ASSERT_TRUE(replacer.value().commit());
    EXPECT_EQ(contents(path("t.qb")), std::string(bytes.begin(), bytes.end())) << size;
    EXPECT_EQ(entries(), std::vector<std::string>{"t.qb"});
  }
}

}  // namespace
}  // namespace quorbell
