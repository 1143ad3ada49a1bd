// Background preparation: a processor is built from a model's metadata and
// one request is prepared on the background queue, so that a caller can
// overlap both with other work and collect the result later, or walk away
// from it.
//
// The caller and the background block share the preparation: a caller that
// lets go of it without waiting abandons the work safely (the block finishes
// on its own and frees what it holds). The results may be read once wait()
// has returned.
#pragma once
#include <cstdint>
#include <exception>
#include <memory>
#include <nlohmann/json.hpp>

#include "generation/vn_processor.h"
#include "platform/dispatch_queue.h"

namespace vorn {

class VNPreparation {
 public:
  // Blocks until the background work has finished (no time limit); raises
  // again the exception that ended it, if any.
  void wait() const;

  // Read after wait().
  const std::shared_ptr<VNProcessor>& processor() const { return processor_; }
  const nlohmann::json& prepared() const { return prepared_; }  // prepare:'s result
  std::exception_ptr error() const { return error_; }
  double started() const { return started_; }          // monotonic seconds at the start
  double processorMs() const { return processor_ms_; }  // building the processor
  double prepareMs() const { return prepare_ms_; }      // prepare:
  const std::shared_ptr<DispatchGroup>& group() const { return group_; }

 private:
  friend std::shared_ptr<VNPreparation> preparation_start(const uint8_t*, uint64_t, int, const nlohmann::json&,
                                                          uint64_t);
  std::shared_ptr<VNProcessor> processor_;
  nlohmann::json prepared_;
  std::exception_ptr error_;
  double started_ = 0;
  double processor_ms_ = 0;
  double prepare_ms_ = 0;
  std::shared_ptr<DispatchGroup> group_;
};

// Copies the metadata (the container's header and metadata image) and the
// request, duplicates the descriptor, and queues the work: the processor
// from the documents of the container that starts at base_offset in the
// file, then prepare: of the request. Returns null, starting nothing, when
// the descriptor cannot be duplicated; the caller may close its own
// descriptor at once.
std::shared_ptr<VNPreparation> preparation_start(const uint8_t* metadata, uint64_t length, int file_descriptor,
                                                 const nlohmann::json& request, uint64_t base_offset = 0);

// Waits for the work (when there is a preparation) and lets go of it.
void preparation_wait_release(std::shared_ptr<VNPreparation> preparation);

}  // namespace vorn
