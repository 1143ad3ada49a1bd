// Generative models and chats for tests that drive generative sessions
// through the C interface: the small test models written to temporary files
// once per process, the expected answers of the independent reference
// (tests/session/make_generative_refs.py), and a helper that turns one of
// its chats into an Input.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "gpu/generative_fixture.h"
#include "vorn.h"

namespace vorn::test {

// The model file of a test model ("patch_f16", ...), written once.
inline const std::string& generative_model_path(const std::string& name) {
  static std::map<std::string, std::string> paths;
  auto it = paths.find(name);
  if (it != paths.end()) return it->second;
  char pattern[] = "/tmp/vorn-generative-XXXXXX";
  const int fd = mkstemp(pattern);
  const std::vector<uint8_t>& bytes = generative_model_file(name);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) throw std::runtime_error("model");
  close(fd);
  // Removed when the process ends.
  static struct Remover {
    std::vector<std::string> files;
    ~Remover() {
      for (const std::string& f : files) std::remove(f.c_str());
    }
  } remover;
  remover.files.push_back(pattern);
  return paths.emplace(name, pattern).first->second;
}

struct ChatMessage {
  std::string role, text, image;  // image: a file under tests/data/generation/lanczos, or empty
};

struct ReferenceChat {
  std::string name, model, detail;
  uint32_t longest_edge = 512;
  std::vector<ChatMessage> messages;
  uint32_t prompt_tokens = 0;
  std::vector<int64_t> tokens;
  std::string answer, finish;
  std::vector<std::string> answers_by_length;
};

inline std::vector<ReferenceChat> reference_chats() {
  std::ifstream in(std::string(VORN_TEST_DATA) + "/generative/sessions.json");
  const nlohmann::json doc = nlohmann::json::parse(in);
  std::vector<ReferenceChat> chats;
  for (const auto& [name, c] : doc["cases"].items()) {
    ReferenceChat r{name, c["model"], c["detail"], c["longest_edge"], {}, c["prompt_tokens"], c["tokens"],
                    c["answer"], c["finish"], c["answers_by_length"]};
    for (const auto& m : c["messages"])
      r.messages.push_back({m[0], m[1], m[2].is_null() ? std::string() : m[2].get<std::string>()});
    chats.push_back(std::move(r));
  }
  return chats;
}

inline ReferenceChat reference_chat(const std::string& name) {
  for (ReferenceChat& c : reference_chats())
    if (c.name == name) return c;
  throw std::runtime_error("no reference chat " + name);
}

// An Input holding a chat; owns the frames of its images.
struct ChatInput {
  VornInput* input = vorn_input_new();
  std::vector<VornFrame*> frames;
  explicit ChatInput(const ReferenceChat& chat, size_t message_count = SIZE_MAX) {
    vorn_input_set_image_tiled(input, chat.detail == "tiled", chat.longest_edge);
    for (size_t i = 0; i < chat.messages.size() && i < message_count; ++i) add(chat.messages[i]);
  }
  ChatInput() = default;
  ~ChatInput() {
    vorn_input_free(input);
    for (VornFrame* f : frames) vorn_frame_free(f);
  }
  void add(const ChatMessage& m) {
    if (m.image.empty()) {
      vorn_input_add_message(input, m.role.data(), m.role.size(), m.text.data(), m.text.size());
      return;
    }
    VornFrame* frame = vorn_frame_new();
    const std::string path = std::string(VORN_TEST_DATA) + "/generation/lanczos/" + m.image;
    if (!vorn_frame_load_file(frame, path.data(), path.size())) throw std::runtime_error("image " + path);
    frames.push_back(frame);
    vorn_input_add_image_message(input, m.role.data(), m.role.size(), frame, m.text.data(), m.text.size());
  }
};

// A session with a test model open, an output, and the text of its runs.
struct GenerativeSession {
  VornSession* s = vorn_session_new(nullptr);
  VornOutput* out = vorn_output_new();
  // context_length 0: the session's default (the generative layer takes
  // 64..8192 only).
  explicit GenerativeSession(const std::string& model, uint32_t context_length = 0) {
    vorn_session_set_context_length(s, context_length);
    const std::string& path = generative_model_path(model);
    if (!vorn_session_open(s, path.data(), path.size()))
      throw std::runtime_error(std::string("open: ") + vorn_session_error_message_ptr(s));
  }
  ~GenerativeSession() {
    vorn_output_free(out);
    vorn_session_free(s);
  }
  std::string text() const { return std::string(vorn_output_text_ptr(out), vorn_output_text_len(out)); }
  std::string error() const { return vorn_session_error_message_ptr(s); }
  uint32_t code() const { return vorn_session_error_code(s); }
  bool run(VornInput* in) { return vorn_session_run(s, in, out); }
  // start, then next until it answers 0: the pieces in order.
  std::vector<std::string> stream(VornInput* in) {
    std::vector<std::string> pieces;
    if (!vorn_session_start(s, in, out)) return pieces;
    while (vorn_session_next(s, out) == 1) pieces.emplace_back(vorn_output_text_ptr(out), vorn_output_text_len(out));
    return pieces;
  }
};

}  // namespace vorn::test
