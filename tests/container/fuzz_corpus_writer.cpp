// The fuzzer's seed corpus: small valid containers from the writer. The
// disabled test regenerates them (run container_tests with
// --gtest_also_run_disabled_tests --gtest_filter='*WriteFuzzCorpus*'); the
// enabled one checks the committed seeds still open.
#include <dirent.h>
#include <gtest/gtest.h>

#include "container/container.h"
#include "container_fixture.h"

namespace vorn {
namespace {

const std::string kCorpus = VORN_SOURCE_DIR "/tests/container/corpus/container_fuzzer";

std::vector<test::Model> seed_models() {
  std::vector<test::Model> out;
  for (uint64_t seed : {1, 2}) {
    test::Model m = test::random_model(seed, 3);
    m.spec.pool_spare = 64;
    m.spec.meta_spare = 2;
    out.push_back(std::move(m));
  }
  std::mt19937_64 rng(3);
  test::Model g;
  test::add_f32(g, "w", 4, rng);
  g.spec.raw_nodes = test::zero_records(64, 1);
  g.spec.group_names = {"g"};
  g.spec.pool_spare = 16;
  g.spec.meta_spare = 1;
  g.attach();
  out.push_back(std::move(g));
  return out;
}

TEST(ContainerFuzzCorpus, DISABLED_WriteFuzzCorpus) {
  std::vector<test::Model> models = seed_models();
  for (size_t i = 0; i < models.size(); ++i) {
    const std::string path = kCorpus + "/seed" + std::to_string(i) + ".vorn";
    std::string err;
    ASSERT_TRUE(container_write_file(models[i].spec, path.c_str(), &err)) << err;
  }
}

TEST(ContainerFuzzCorpus, SeedsOpen) {
  DIR* d = opendir(kCorpus.c_str());
  ASSERT_NE(d, nullptr);
  int seeds = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    ContainerResult r = container_open_path((kCorpus + "/" + e->d_name).c_str());
    EXPECT_TRUE(r.ok()) << e->d_name;
    if (r.ok()) container_close(&r.value);
    ++seeds;
  }
  closedir(d);
  EXPECT_GE(seeds, 3);
}

}  // namespace
}  // namespace vorn
