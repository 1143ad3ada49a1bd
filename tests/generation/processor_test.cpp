// The processor's documents: every check refused with its own text on a
// document set that breaks only that rule, and the tables a good set gives.
#include <gtest/gtest.h>

#include <functional>

#include "base/vn_error.h"
#include "generation/documents_fixture.h"
#include "generation/processor.h"
#include "generation/vn_processor.h"

namespace vorn {
namespace {

using nlohmann::json;

const json& base_documents() {
  static const json docs = test::family_documents();
  return docs;
}

// The family's documents with a vocabulary cut to its first 300 tokens and
// 100 merges: every check still applies, and a copy per case is cheap.
const json& small_documents() {
  static const json docs = [] {
    json d = base_documents();
    json& model = d["tokenizer.json"]["model"];
    json vocab = json::object();
    for (const auto& [text, id] : model["vocab"].items())
      if (id.get<int>() < 300) vocab[text] = id;
    model["vocab"] = vocab;
    model["merges"].erase(model["merges"].begin() + 100, model["merges"].end());
    return d;
  }();
  return docs;
}

// The message processor_config_load fails with, or "" when it loads.
std::string load_error(const json& docs) {
  try {
    processor_config_load(docs);
    return "";
  } catch (const std::exception& e) {
    return e.what();
  }
}

json& tok(json& d) { return d["tokenizer.json"]; }
json& pre(json& d) { return d["preprocessor_config.json"]; }

struct Mutation {
  const char* name;
  std::function<void(json&)> change;
  const char* message;  // "" when the set still loads; a JSON library text is matched as a prefix
};

TEST(ProcessorDocuments, EachCheckRefusesWithItsText) {
  const Mutation cases[] = {
      {"unchanged", [](json&) {}, ""},
      {"model type", [](json& d) { d["config.json"]["model_type"] = "llava"; }, "Unsupported processor geometry"},
      {"model type missing", [](json& d) { d["config.json"].erase("model_type"); },
       "[json.exception.out_of_range.403] key 'model_type' not found"},
      {"image size as float", [](json& d) { d["config.json"]["vision_config"]["image_size"] = 512.0; }, ""},
      {"image size", [](json& d) { d["config.json"]["vision_config"]["image_size"] = 384; },
       "Unsupported processor geometry"},
      {"longest edge", [](json& d) { pre(d)["max_image_size"]["longest_edge"] = 1024; },
       "Unsupported processor geometry"},
      {"resample as text", [](json& d) { pre(d)["resample"] = "1"; }, "Unsupported processor geometry"},
      {"image seq len", [](json& d) { d["processor_config.json"]["image_seq_len"] = 81; },
       "Unsupported processor geometry"},
      {"image seq len missing", [](json& d) { d["processor_config.json"].erase("image_seq_len"); },
       "[json.exception.out_of_range.403] key 'image_seq_len' not found"},
      {"do_pad", [](json& d) { pre(d)["do_pad"] = false; }, "Unsupported image processor setting"},
      {"do_resize as 1", [](json& d) { pre(d)["do_resize"] = 1; }, "Unsupported image processor setting"},
      {"four means", [](json& d) { pre(d)["image_mean"] = {0.5, 0.5, 0.5, 0.5}; }, "Normalization channels"},
      {"std missing", [](json& d) { pre(d).erase("image_std"); }, "Normalization channels"},
      {"mean object", [](json& d) { pre(d)["image_mean"] = {{"r", 0.5}, {"g", 0.5}, {"b", 0.5}}; },
       "[json.exception.type_error"},
      {"std zero", [](json& d) { pre(d)["image_std"][1] = 0; }, "Normalization parameters"},
      {"mean infinite as f32", [](json& d) { pre(d)["image_mean"][2] = 1e39; }, "Normalization parameters"},
      {"template newline", [](json& d) {
         std::string t = d["tokenizer_config.json"]["chat_template"];
         t.erase(t.find('\n'), 1);
         d["tokenizer_config.json"]["chat_template"] = t;
       }, "Unsupported chat template"},
      {"template trailing space", [](json& d) {
         d["tokenizer_config.json"]["chat_template"] = d["tokenizer_config.json"]["chat_template"].get<std::string>() + " ";
       }, "Unsupported chat template"},
      {"digits not individual", [](json& d) { tok(d)["pre_tokenizer"]["pretokenizers"][0]["individual_digits"] = false; },
       "Unsupported tokenizer contract"},
      {"byte level prefix space", [](json& d) { tok(d)["pre_tokenizer"]["pretokenizers"][1]["add_prefix_space"] = true; },
       "Unsupported tokenizer contract"},
      {"pre-tokenizer extra key", [](json& d) { tok(d)["pre_tokenizer"]["extra"] = 1; }, "Unsupported tokenizer contract"},
      {"normalizer", [](json& d) { tok(d)["normalizer"] = {{"type", "NFC"}}; }, "Unsupported tokenizer contract"},
      {"post-processor", [](json& d) { tok(d)["post_processor"] = {{"type", "ByteLevel"}}; },
       "Unsupported tokenizer contract"},
      {"model type", [](json& d) { tok(d)["model"]["type"] = "WordPiece"; }, "Unsupported tokenizer contract"},
      {"dropout", [](json& d) { tok(d)["model"]["dropout"] = 0.1; }, "Unsupported tokenizer contract"},
      {"byte fallback missing", [](json& d) { tok(d)["model"].erase("byte_fallback"); }, "Unsupported tokenizer contract"},
      {"ignore merges", [](json& d) { tok(d)["model"]["ignore_merges"] = true; }, "Unsupported tokenizer contract"},
      {"vocab size 0", [](json& d) { d["config.json"]["text_config"]["vocab_size"] = 0; }, "Vocabulary size"},
      {"vocab size 1000000", [](json& d) { d["config.json"]["text_config"]["vocab_size"] = 1000000; }, "Vocabulary size"},
      {"vocab size 999999", [](json& d) { d["config.json"]["text_config"]["vocab_size"] = 999999; }, ""},
      {"vocab id negative", [](json& d) { tok(d)["model"]["vocab"]["zz"] = -1; }, "Vocabulary ID"},
      {"vocab id at size", [](json& d) { tok(d)["model"]["vocab"]["zz"] = 50262; }, "Vocabulary ID"},
      // Read as a 32-bit value this would wrap to 5 and silently rename token 5.
      {"vocab id wrapping", [](json& d) { tok(d)["model"]["vocab"]["zz"] = 4294967301ull; }, "Vocabulary ID"},
      {"merge of one", [](json& d) { tok(d)["model"]["merges"].push_back({"a"}); }, "BPE pair"},
      {"merge as text", [](json& d) { tok(d)["model"]["merges"].push_back("a b"); }, "BPE pair"},
      {"merge item number", [](json& d) { tok(d)["model"]["merges"].push_back({1, "a"}); }, "[json.exception.type_error"},
      {"added lstrip", [](json& d) { tok(d)["added_tokens"][1]["lstrip"] = true; }, "Added token flags"},
      {"added flag missing", [](json& d) { tok(d)["added_tokens"][0].erase("normalized"); }, "Added token flags"},
      {"added not special", [](json& d) { tok(d)["added_tokens"][2]["special"] = false; }, "Added token kind"},
      {"added id negative", [](json& d) { tok(d)["added_tokens"][0]["id"] = -1; }, "Added token ID"},
      {"added id at size", [](json& d) { tok(d)["added_tokens"][0]["id"] = 50262; }, "Added token ID"},
      {"added empty", [](json& d) { tok(d)["added_tokens"][3]["content"] = ""; }, "Added token ID"},
  };
  for (const Mutation& c : cases) {
    json docs = small_documents();
    c.change(docs);
    std::string got = load_error(docs);
    EXPECT_EQ(got.substr(0, std::strlen(c.message)), c.message) << c.name;
    if (c.message[0] == '\0') {
      EXPECT_EQ(got, "") << c.name;
    }
  }
}

TEST(ProcessorDocuments, TablesOfAGoodSet) {
  auto p = processor_config_load(base_documents());
  EXPECT_EQ(p->eos_token_ids, (std::vector<int64_t>{50256, 50258}));
  ASSERT_EQ(p->vocab_size(), 50262u);
  EXPECT_EQ(p->id_to_token[50260], "<image>");
  EXPECT_TRUE(p->special[50256] && p->special[50261] && !p->special[50255]);
  ASSERT_EQ(p->added_tokens.size(), 6u);
  EXPECT_EQ(p->added_tokens[0].content, "<fake_token_around_image>");  // longest first
  EXPECT_EQ(p->added_tokens[5].content, "<image>");
  EXPECT_EQ(p->byte_to_unicode[' '], "\xC4\xA0");   // U+0120
  EXPECT_EQ(p->byte_to_unicode['\n'], "\xC4\x8A");  // U+010A
  EXPECT_EQ(p->byte_to_unicode[173], "\xC5\x83");   // U+0143, the last shifted byte
  EXPECT_EQ(p->unicode_byte(0x143), 173);
  json docs = base_documents();
  docs["generation_config.json"]["eos_token_id"] = 2;
  EXPECT_EQ(processor_config_load(docs)->eos_token_ids, (std::vector<int64_t>{2}));
}

// The container path: every aux-table check, each on a table that breaks
// only that rule, reaches the caller as VornModel with its text.
struct AuxCase {
  const char* name;
  std::function<void(test::AuxContainer&)> change;
  const char* message;
};

TEST(ProcessorDocuments, AuxTableChecks) {
  const auto blobs = test::document_blobs(base_documents());
  using C = test::AuxContainer;
  const AuxCase cases[] = {
      {"good", [](C&) {}, ""},
      {"image too short", [](C& c) { c.image.resize(200); }, "Aux metadata bounds"},
      {"aux table past the image", [](C& c) { C::put_u64(c.image, 208, c.image.size() - 8); }, "Aux metadata bounds"},
      {"aux size past the image", [](C& c) { C::put_u64(c.image, 216, c.image.size()); }, "Aux table bounds"},
      {"aux size below 32", [](C& c) { C::put_u64(c.image, 216, 31); }, "Aux table bounds"},
      {"stride below 64", [](C& c) { C::put_u64(c.image, c.aux_offset + 8, 63); }, "Aux table bounds"},
      {"count past the table", [](C& c) { C::put_u64(c.image, c.aux_offset + 16, 7); }, "Aux table bounds"},
      {"count 0", [](C& c) { C::put_u64(c.image, c.aux_offset + 16, 0); }, "Missing processor assets in vorn container"},
      {"five of six", [](C& c) { C::put_u64(c.image, c.aux_offset + 16, 5); },
       "Missing processor assets in vorn container"},
      {"name before the region", [](C& c) { C::put_u64(c.image, c.entry(0), c.names_offset + 31); }, "Aux name bounds"},
      {"name region short", [](C& c) { C::put_u64(c.image, 88, 31); }, "Aux name bounds"},
      {"name without NUL", [](C& c) {
         uint64_t end = c.names_offset + C::get_u64(c.image, 88);
         c.image[end - 1] = 'x';
         C::put_u64(c.image, c.entry(5), end - 1);
       }, "Aux name terminator"},
      {"name not UTF-8", [](C& c) { c.image[C::get_u64(c.image, c.entry(0))] = 0xFF; }, "Aux name UTF-8"},
      {"other name skipped", [](C& c) { c.image[C::get_u64(c.image, c.entry(0))] = 'X'; },
       "Missing processor assets in vorn container"},
      {"blob inside the metadata", [](C& c) { C::put_u64(c.image, c.entry(1) + 16, c.image.size() - 1); },
       "Aux blob bounds"},
      {"blob past the container", [](C& c) { C::put_u64(c.image, c.entry(1) + 24, 1ull << 40); }, "Aux blob bounds"},
      {"duplicate", [](C& c) {
         for (int w : {0, 16, 24}) C::put_u64(c.image, c.entry(1) + w, C::get_u64(c.image, c.entry(0) + w));
       }, "Duplicate processor asset"},
      {"empty document", [](C& c) { C::put_u64(c.image, c.entry(2) + 24, 0); }, "Invalid processor JSON"},
      {"cut document", [](C& c) { C::put_u64(c.image, c.entry(2) + 24, 5); }, "Invalid processor JSON"},
      {"blob past the file", [](C& c) { C::put_u64(c.image, 32, C::get_u64(c.image, 32) + 100);
                                        C::put_u64(c.image, c.entry(5) + 24, C::get_u64(c.image, c.entry(5) + 24) + 100); },
       "Reading processor asset"},
  };
  for (const AuxCase& k : cases) {
    C c = C::make(blobs);
    k.change(c);
    int fd = c.write(blobs);
    std::string got;
    try {
      VNProcessor p(c.image.data(), c.image.size(), fd, 0);
      EXPECT_EQ(p.eos(), (std::vector<int64_t>{50256, 50258}));
    } catch (const VNError& e) {
      EXPECT_STREQ(e.category(), vn_category::kModel) << k.name;
      got = e.reason();
    }
    close(fd);
    EXPECT_EQ(got, k.message) << k.name;
  }
}

TEST(ProcessorDocuments, DocumentLimitsAndBaseOffset) {
  auto blobs = test::document_blobs(base_documents());
  // 8 MiB is the largest document; padding keeps the JSON valid.
  auto sized = [&](size_t n) {
    auto b = blobs;
    for (auto& [name, text] : b)
      if (name == "processor_config.json") text = "{\"image_seq_len\": 64}" + std::string(n - 21, ' ');
    return b;
  };
  for (auto [n, message] : {std::pair<size_t, const char*>{8388608, ""}, {8388609, "Aux blob bounds"}}) {
    auto b = sized(n);
    auto c = test::AuxContainer::make(b);
    int fd = c.write(b);
    std::string got;
    try {
      VNProcessor p(c.image.data(), c.image.size(), fd, 0);
    } catch (const VNError& e) {
      got = e.reason();
    }
    close(fd);
    EXPECT_EQ(got, message) << n;
  }
  // A container that starts 4096 bytes into its file reads every blob there.
  auto c = test::AuxContainer::make(blobs);
  int fd = c.write(blobs, std::string(4096, 'z'));
  VNProcessor p(c.image.data(), c.image.size(), fd, 4096);
  EXPECT_EQ(p.config()["model_type"], "smolvlm");
  close(fd);
  // A document nested past any configuration's depth is refused before it
  // is parsed.
  blobs[0].second = std::string(100000, '[') + std::string(100000, ']');
  c = test::AuxContainer::make(blobs);
  fd = c.write(blobs);
  EXPECT_THROW(VNProcessor(c.image.data(), c.image.size(), fd, 0), VNError);
  close(fd);
}

}  // namespace
}  // namespace vorn
