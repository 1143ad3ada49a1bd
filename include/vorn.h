/* vorn: on-device inference runtime. The public C interface.
 *
 * Every function is named vorn_<family>_<operation> and works on opaque
 * handles made by *_new and released by *_free. Null handles are always
 * accepted. Unless stated otherwise a function runs on the calling thread. */
#ifndef VORN_H
#define VORN_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define VORN_API __attribute__((visibility("default")))
#else
#define VORN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Backends (BackendKind). */
#define VORN_BACKEND_AUTO 0u
#define VORN_BACKEND_CPU 1u
#define VORN_BACKEND_GPU 2u
#define VORN_BACKEND_NPU 3u

typedef struct VornConfig VornConfig;

/* The library's version text, "0.1.0-ea.1". Static; never freed. */
VORN_API const char* vorn_version(void);

/* Whether a backend exists on this device. config may be null. */
VORN_API bool vorn_probe_backend(const VornConfig* config, uint32_t backend);

#ifdef __cplusplus
}
#endif

#endif /* VORN_H */
