/* Loading the library starts no thread: after dlopen the process still has
 * only the thread that loaded it (the BLAS library it links included). */
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  int threads = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == NULL) return 2;
  for (struct dirent* e; (e = readdir(tasks)) != NULL;) threads += e->d_name[0] != '.';
  closedir(tasks);
  if (threads != 1) {
    fprintf(stderr, "%d threads after loading %s\n", threads, argv[1]);
    return 1;
  }
  return 0;
}
