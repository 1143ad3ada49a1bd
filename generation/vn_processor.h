// The processor of an open generative session as the rest of the system sees
// it: built once from the configuration documents stored in the model's
// container, then serving token bytes and decoding (and, in their own files,
// constraint compilation and request preparation). Every failure leaves as a
// VNError: VornModel for a model whose documents cannot be read or are not
// supported, NSMallocException when memory runs out.
#pragma once
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "generation/processor.h"

namespace vorn {

struct GenerationRequest;
class VNConstraint;

// Largest configuration document the aux table may name.
inline constexpr uint64_t kProcessorDocumentMaxBytes = 8388608;

class VNProcessor {
 public:
  // initWithMetadata:length:fileDescriptor:baseOffset: reads the six
  // documents listed in the container's aux table (metadata is the
  // container's header and metadata image, length its size) from fd, where
  // the container starts at base_offset, and builds the processor.
  VNProcessor(const uint8_t* metadata, uint64_t length, int file_descriptor, uint64_t base_offset = 0);
  // The same from documents already in hand (tools, tests): one object whose
  // keys are the six file names.
  explicit VNProcessor(const nlohmann::json& documents);

  const nlohmann::json& config() const { return config_; }  // config.json
  const std::vector<int64_t>& eos() const { return eos_; }  // end-of-sequence ids, document order
  const Processor& processor() const { return *processor_; }

  // The bytes of one token (empty for a special token). Errors leave as
  // VornFrontend with the tokenizer's message.
  std::string tokenBytes(int64_t id) const;
  // The text of a list of ids (special ids dropped, ill-formed UTF-8
  // replaced by U+FFFD).
  std::string decode(const std::vector<int64_t>& ids) const;
  // prepare: a request dictionary (image bytes as JSON binary values, read
  // in place for the call) becomes the prepared request as a dictionary:
  // "inputs" (name -> {"shape", "dtype", "data"}), "prompt_token_ids",
  // "rendered_prompt", "image_views", "image_rows", "image_cols",
  // "image_orientations", "stages_ms". Defined with request preparation.
  nlohmann::json prepare(const nlohmann::json& request) const;
  // constraintWithParams: the request's output constraint (null request: the
  // defaults) compiled over this processor's vocabulary, or null when it
  // sets none. A constraint that cannot be compiled leaves as VornFrontend
  // with its message (NSMallocException "Constraint allocation failed" when
  // memory runs out). Defined with the constraints.
  std::unique_ptr<VNConstraint> constraintWithParams(const GenerationRequest* request) const;

 private:
  void build(const nlohmann::json& documents);

  nlohmann::json config_;
  std::vector<int64_t> eos_;
  std::unique_ptr<Processor> processor_;
};

// The six documents named in the container's aux table, read from fd at
// base_offset plus each blob's offset: one JSON object keyed by file name.
// Throws VNError VornFrontend with the failed check's message.
nlohmann::json read_processor_documents(const uint8_t* metadata, uint64_t length, int file_descriptor,
                                        uint64_t base_offset);

}  // namespace vorn
