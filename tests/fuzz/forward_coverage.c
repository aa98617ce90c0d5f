/* Preloaded ahead of the ASan runtime when fuzzing the sanitizer build: that runtime defines
 * no-op versions of the coverage hooks that atheris's libFuzzer registers its counters through,
 * and being loaded first it would take every call. These definitions come first instead and
 * hand each call to libFuzzer's own, found in atheris's core library once it is loaded. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void* core;

static int find_core(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  (void)data;
  if (strstr(info->dlpi_name, "atheris/core_with_libfuzzer") == NULL) return 0;
  core = dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD);
  return 1;
}

static void* libfuzzer(const char* name) {
  if (core == NULL) dl_iterate_phdr(find_core, NULL);
  void* f = core != NULL ? dlsym(core, name) : NULL;
  if (f == NULL) {
    fprintf(stderr, "forward_coverage: %s not found in atheris's libFuzzer\n", name);
    abort();
  }
  return f;
}

#define FORWARD(name, params, args)          \
  void name params {                         \
    static void(*f) params;                  \
    if (f == NULL) f = libfuzzer(#name);     \
    f args;                                  \
  }

FORWARD(__sanitizer_cov_8bit_counters_init, (uint8_t * begin, uint8_t* end), (begin, end))
FORWARD(__sanitizer_cov_pcs_init, (const uintptr_t* begin, const uintptr_t* end), (begin, end))
FORWARD(__sanitizer_cov_trace_cmp8, (uint64_t a, uint64_t b), (a, b))
FORWARD(__sanitizer_cov_trace_const_cmp8, (uint64_t a, uint64_t b), (a, b))
