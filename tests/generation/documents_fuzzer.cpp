// The processor's documents from untrusted bytes. The first byte picks the
// road: even, the rest is up to six JSON documents and a text separated by
// 0x1E, loaded as one document set; odd, the next two bytes give the length
// of a container's header and metadata image and the rest is the container
// file, read through its aux table. A set that loads then encodes the text,
// decodes the ids, and streams the ids' bytes; decode must give back a
// well-formed text, and the stream without stop strings exactly what decode
// gives.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/utf8.h"
#include "base/vn_error.h"
#include "generation/json_values.h"
#include "generation/text_stream.h"
#include "generation/tokenizer.h"
#include "generation/vn_processor.h"
#include "reference/fuzz_reader.h"

namespace {

using vorn::VNProcessor;

bool well_formed(std::string_view s) {
  return vorn::utf8_valid(vorn::Slice{reinterpret_cast<const uint8_t*>(s.data()), s.size()});
}

void check(bool ok) {
  if (!ok) std::abort();
}

void exercise(const VNProcessor& vn, std::string_view text) {
  const vorn::Processor& p = vn.processor();
  std::vector<int64_t> ids;
  try {
    ids = vorn::bpe_encode(p, text);
  } catch (const std::runtime_error&) {
    return;
  }
  std::string decoded;
  try {
    decoded = vorn::bpe_decode(p, ids);
  } catch (const std::runtime_error&) {
    return;  // a token whose text stands for no bytes
  }
  check(well_formed(decoded));
  bool special = false;
  for (int64_t id : ids) special |= p.special[static_cast<size_t>(id)] != 0;
  if (!special && well_formed(text)) check(decoded == text);

  vorn::TextStream* stream = vorn::text_stream_create(nullptr, 0, nullptr, nullptr);
  for (int64_t id : ids) {
    std::string bytes = vn.tokenBytes(id);
    vorn::text_stream_append(stream, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0);
  }
  vorn::text_stream_finish(stream);
  check(std::string_view(vorn::text_stream_text(stream), vorn::text_stream_length(stream)) == decoded);
  vorn::text_stream_destroy(stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vorn::test::FuzzReader in{data, size};
  const uint8_t mode = in.byte();
  try {
    if ((mode & 1) == 0) {
      std::string_view rest(reinterpret_cast<const char*>(in.p), in.n);
      // Up to six documents, then whatever follows the sixth separator is
      // the text.
      std::vector<std::string_view> parts;
      std::string_view text;
      size_t at = 0;
      while (parts.size() < 6 && at <= rest.size()) {
        size_t end = rest.find('\x1e', at);
        if (end == std::string_view::npos) end = rest.size();
        parts.push_back(rest.substr(at, end - at));
        at = end + 1;
      }
      if (at <= rest.size()) text = rest.substr(at);
      nlohmann::json docs = nlohmann::json::object();
      for (size_t i = 0; i < parts.size(); ++i) {
        if (!vorn::json_nesting_within(parts[i], 128)) continue;
        nlohmann::json doc = nlohmann::json::parse(parts[i], nullptr, false);
        if (!doc.is_discarded()) docs[vorn::kProcessorDocumentNames[i]] = std::move(doc);
      }
      VNProcessor vn(docs);
      exercise(vn, text);
    } else {
      const uint64_t image_length = in.take<uint16_t>();
      int fd = memfd_create("vorn_documents_fuzz", 0);
      if (fd < 0) return 0;
      if (in.n > 0 && write(fd, in.p, in.n) != static_cast<ssize_t>(in.n)) {
        close(fd);
        return 0;
      }
      std::vector<uint8_t> image(in.p, in.p + std::min<uint64_t>(image_length, in.n));
      try {
        VNProcessor vn(image.data(), image.size(), fd, 0);
        exercise(vn, "Hello world <image> 42");
      } catch (const vorn::VNError&) {
      }
      close(fd);
    }
  } catch (const vorn::VNError&) {
  }
  return 0;
}
