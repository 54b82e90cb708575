// The memory floor of a two-thread daemon: a second thread is started, and
// both only wait in pause(). Built statically against musl, its idle
// Private_Dirty is what any static musl program with a watchdog thread
// holds before doing any work of its own. Runs until killed.
#include <pthread.h>
#include <unistd.h>

static void* wait_forever(void* unused) {
  (void)unused;
  for (;;) pause();
  return 0;
}

int main(void) {
  pthread_t thread;
  if (pthread_create(&thread, 0, wait_forever, 0) != 0) return 1;
  (void)pthread_detach(thread);
  for (;;) pause();
}
