#include "generation/background_prep.h"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "base/files.h"

namespace vorn {

namespace {

// What the block owns until it ends; the descriptor is closed in every case.
struct BlockInputs {
  std::vector<uint8_t> metadata;
  nlohmann::json request;
  int fd = -1;
  uint64_t base_offset = 0;
  ~BlockInputs() {
    if (fd >= 0) close(fd);
  }
};

void run_block(std::shared_ptr<VNProcessor>& processor, nlohmann::json& prepared,
               std::exception_ptr& error, double& processor_ms, double& prepare_ms, const BlockInputs& in) {
  try {
    const double t0 = monotonic_seconds_alt();
    processor = std::make_shared<VNProcessor>(in.metadata.data(), in.metadata.size(), in.fd, in.base_offset);
    processor_ms = (monotonic_seconds_alt() - t0) * 1000.0;
    const double t1 = monotonic_seconds_alt();
    prepared = processor->prepare(in.request);
    prepare_ms = (monotonic_seconds_alt() - t1) * 1000.0;
  } catch (...) {
    // Every kind is kept, not only the object layer's: nothing may leave
    // the block.
    error = std::current_exception();
  }
}

}  // namespace

void VNPreparation::wait() const {
  group_->wait();
  if (error_) std::rethrow_exception(error_);
}

std::shared_ptr<VNPreparation> preparation_start(const uint8_t* metadata, uint64_t length, int file_descriptor,
                                                 const nlohmann::json& request, uint64_t base_offset) {
  const int fd = fcntl(file_descriptor, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  auto inputs = std::make_shared<BlockInputs>();
  inputs->fd = fd;
  inputs->base_offset = base_offset;
  if (metadata != nullptr) inputs->metadata.assign(metadata, metadata + length);
  inputs->request = request;

  auto p = std::make_shared<VNPreparation>();
  p->started_ = monotonic_seconds_alt();
  p->group_ = std::make_shared<DispatchGroup>();
  dispatch_group_async(p->group_, [p, inputs] {
    run_block(p->processor_, p->prepared_, p->error_, p->processor_ms_, p->prepare_ms_, *inputs);
  });
  return p;
}

void preparation_wait_release(std::shared_ptr<VNPreparation> preparation) {
  if (preparation) preparation->group()->wait();
}

}  // namespace vorn
