// Background preparation: many at once from several threads, some refused,
// some abandoned by their owner; the error of a refused request; a bad
// descriptor; a container that starts at an offset in its file. Run again
// under ThreadSanitizer by scripts/test (suite name holds "Thread").
#include "generation/background_prep.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "base/vn_error.h"
#include "generation/documents_fixture.h"

namespace vorn {
namespace {

using json = nlohmann::json;

struct Container {
  test::AuxContainer aux;
  int fd;
  uint64_t base;
  Container(uint64_t prefix_bytes) : base(prefix_bytes) {
    const auto blobs = test::document_blobs(test::family_documents());
    aux = test::AuxContainer::make(blobs);
    fd = aux.write(blobs, std::string(prefix_bytes, 'x'));
  }
  ~Container() { close(fd); }
  std::shared_ptr<VNPreparation> start(const json& request, uint64_t base_offset) const {
    return preparation_start(aux.image.data(), aux.image.size(), fd, request, base_offset);
  }
};

const json kText = {{"prompt", "Hello there"}, {"max_new_tokens", 8}};
const json kImage = {{"prompt", "What is it?"},
                     {"image", std::string(VORN_TEST_DATA) + "/generation/lanczos/hubble_97x120.png"},
                     {"image_detail", "tiled"},
                     {"image_longest_edge", 1024},
                     {"max_new_tokens", 8}};
const json kRefused = {{"prompt", "no output budget"}};

TEST(BackgroundPrepThreads, ManyAtOnceSomeAbandoned) {
  const Container c(0);
  const VNProcessor direct(test::family_documents());
  const json want_text = direct.prepare(kText)["prompt_token_ids"];
  const json want_image = direct.prepare(kImage)["prompt_token_ids"];
  std::vector<std::weak_ptr<VNPreparation>> abandoned[4];
  std::vector<std::thread> threads;
  std::atomic<int> checked{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::shared_ptr<VNPreparation>> mine;
      for (int i = 0; i < 4; ++i) {
        const json& request = i == 0 ? kRefused : (i == 1 ? kText : kImage);
        auto p = c.start(request, 0);
        if (i == 3) {
          abandoned[t].push_back(p);  // let go of at once, never waited for
        } else {
          mine.push_back(std::move(p));
        }
      }
      for (size_t k = 0; k < mine.size(); ++k) {
        if (k == 1) {
          preparation_wait_release(std::move(mine[k]));
          continue;
        }
        try {
          mine[k]->wait();
          const json& ids = mine[k]->prepared()["prompt_token_ids"];
          EXPECT_TRUE(ids == want_text || ids == want_image);
        } catch (const VNError& e) {
          EXPECT_STREQ(e.reason(), "Invalid context/output budget");
        }
        ++checked;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(checked.load(), 4 * 2);
  // Abandoned work finishes on its own and frees what it held.
  for (int spins = 0; spins < 2000; ++spins) {
    bool alive = false;
    for (auto& list : abandoned)
      for (auto& w : list) alive |= !w.expired();
    if (!alive) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ADD_FAILURE() << "abandoned preparations never finished";
}

TEST(BackgroundPrepThreads, RefusedRequestKeepsItsError) {
  const Container c(0);
  auto p = c.start(kRefused, 0);
  ASSERT_TRUE(p);
  try {
    p->wait();
    ADD_FAILURE() << "accepted";
  } catch (const VNError& e) {
    EXPECT_STREQ(e.category(), vn_category::kFrontend);
    EXPECT_STREQ(e.reason(), "Invalid context/output budget");
  }
  EXPECT_TRUE(p->error());
  EXPECT_GT(p->processorMs(), 0.0);
  EXPECT_EQ(p->prepareMs(), 0.0);
  EXPECT_TRUE(p->processor());
  EXPECT_THROW(p->wait(), VNError);  // raised again on every wait
}

TEST(BackgroundPrepThreads, BadDescriptorStartsNothing) {
  const Container c(0);
  EXPECT_EQ(preparation_start(c.aux.image.data(), c.aux.image.size(), -1, kText), nullptr);
  preparation_wait_release(nullptr);
}

// A container 4096 bytes into its file: its documents are read at that
// offset. Read at offset 0 they are not there.
TEST(BackgroundPrepThreads, ContainerAtAnOffset) {
  const Container c(4096);
  auto p = c.start(kText, 4096);
  ASSERT_NO_THROW(p->wait());
  EXPECT_FALSE(p->prepared()["prompt_token_ids"].empty());
  auto wrong = c.start(kText, 0);
  EXPECT_THROW(wrong->wait(), VNError);
  EXPECT_EQ(wrong->prepareMs(), 0.0);
}

}  // namespace
}  // namespace vorn
