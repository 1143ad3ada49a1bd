#include <stdio.h>
#include <string.h>
#include <vorn.h>

int main(int argc, char** argv) {
  const char* model = argc > 1 ? argv[1] : "model.vorn";
  VornSession* session = vorn_session_new(NULL);
  printf("vorn %s\n", vorn_version());
  if (vorn_session_inspect(session, model, strlen(model)))
    printf("%s: %u inputs, %u outputs\n", model, vorn_session_input_count(session),
           vorn_session_output_count(session));
  else
    printf("%s: %s\n", model, vorn_session_error_message_ptr(session));
  vorn_session_free(session);
  return 0;
}
