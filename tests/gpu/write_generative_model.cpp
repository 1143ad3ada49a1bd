// Writes the small generative test models (F16 and Q8 of each variant) into
// a directory, for the independent reference script beside this file.
#include <cstdio>
#include <string>

#include "generative_model.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  struct Variant {
    const char* name;
    vorn::test::GenerativeShape shape;
  };
  const Variant variants[] = {{"patch_f16", vorn::test::small_patch_model(false)},
                              {"patch_q8", vorn::test::small_patch_model(true)},
                              {"shuffle_f16", vorn::test::small_shuffle_model(false)},
                              {"shuffle_q8", vorn::test::small_shuffle_model(true)}};
  for (const Variant& v : variants) {
    std::string error;
    if (!vorn::test::write_generative_model(v.shape, dir + "/" + v.name + ".vorn", &error)) {
      std::fprintf(stderr, "%s: %s\n", v.name, error.c_str());
      return 1;
    }
  }
  return 0;
}
