/*
 * example_host: the smallest complete host of libzyk_backend_local.
 *
 *   example_host ROOT [LIBRARY]
 *
 * Loads the library LIBRARY (default: ZYKFS_LIBRARY_PATH when the build defines
 * it, as the installed CMake package zykfs::zykfs does; else
 * "libzyk_backend_local.so.1", found the way dlopen finds libraries), mounts ROOT, stores "hello" in hello.QMV (a
 * container archive on disk), reads it back, closes the file (which commits the archive) and unmounts. Every call
 * returns at once; its result arrives through the callback, so the host waits for each one before touching
 * out-parameters.
 */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>

#include "zykfs/zykfs.h"

#ifndef ZYKFS_LIBRARY_PATH
#define ZYKFS_LIBRARY_PATH "libzyk_backend_local.so.1"
#endif

/* A reusable completion: the callback stores the code and wakes the caller. */
typedef struct {
  pthread_mutex_t lock;
  pthread_cond_t done;
  int finished; /* guarded by lock */
  int32_t code; /* guarded by lock */
} waiter_t;

static void on_done(void* context, int32_t code) {
  waiter_t* w = context;
  pthread_mutex_lock(&w->lock);
  w->code = code;
  w->finished = 1;
  pthread_cond_signal(&w->done);
  pthread_mutex_unlock(&w->lock);
}

static int32_t wait_for(waiter_t* w) {
  pthread_mutex_lock(&w->lock);
  while (!w->finished) pthread_cond_wait(&w->done, &w->lock);
  w->finished = 0;
  pthread_mutex_unlock(&w->lock);
  return w->code;
}

static int32_t use_file(const zykfs_mount_t* m, waiter_t* w) {
  uint64_t file = 0, count = 0;
  char text[16] = {0};
  m->ops->open(m->handle, "hello.QMV", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &file, on_done, w);
  int32_t code = wait_for(w);
  if (code != 0) return code;
  m->ops->write(m->handle, file, "hello", 5, 0, &count, on_done, w);
  code = wait_for(w);
  if (code == 0) {
    m->ops->read(m->handle, file, text, sizeof(text) - 1, 0, &count, on_done, w);
    code = wait_for(w);
  }
  if (code == 0) printf("hello.QMV holds \"%s\" (%llu bytes)\n", text, (unsigned long long)count);
  m->ops->close(m->handle, file, on_done, w);
  int32_t closed = wait_for(w);
  return code != 0 ? code : closed;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: example_host ROOT [LIBRARY]\n");
    return 2;
  }
  void* library = dlopen(argc > 2 ? argv[2] : ZYKFS_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "example_host: %s\n", dlerror());
    return 1;
  }
  zykfs_mount_fn mount = (zykfs_mount_fn)dlsym(library, "zykfs_mount");
  zykfs_umount_fn umount = (zykfs_umount_fn)dlsym(library, "zykfs_umount");

  waiter_t w = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0};
  zykfs_params_t params = {argv[1]};
  zykfs_mount_t m;
  mount(&params, &m, on_done, &w);
  int32_t code = wait_for(&w);
  if (code == 0) {
    code = use_file(&m, &w);
    umount(&m, on_done, &w);
    int32_t unmounted = wait_for(&w);
    if (code == 0) code = unmounted;
  }
  if (code != 0) fprintf(stderr, "example_host: code 0x%08x (%s)\n", (unsigned)code, zykfs_result_text(code));
  /* The library may be unloaded now (dlclose); a host that exits need not. */
  return code == 0 ? 0 : 1;
}
