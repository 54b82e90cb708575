/* Cuts the emulated router's power at a chosen phase of an upgrade install:
 * it watches the data directory with inotify, and once the phase's first
 * event has come and the given delay has passed, it reboots the kernel at
 * once without syncing (sysrq "b"; qemu runs with -no-reboot and ends).
 *
 *   cutter PHASE DELAY_US DATA_DIR READY_FILE [NTH]
 *
 * PHASE: tar (the staging directory appears), merge (the first rename of a
 * package file into the data directory), sync (the staging directory is
 * gone), record (the record's temporary file appears), initbin (init.bin's
 * temporary file appears). NTH (default 1): the phase's NTH event starts the
 * delay, so that a cut can fall between two renames of the merge. READY_FILE
 * is made once the watch is set, so the program that hands over the package
 * knows it may exit. The cutter runs as a real-time task: woken by its event
 * it preempts the supervisor at once instead of after its time slice. */
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

static int starts_with(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

static int is_trigger(const char* phase, const struct inotify_event* event) {
  if (event->len == 0) return 0;
  const char* name = event->name;
  if (strcmp(phase, "tar") == 0)
    return (event->mask & IN_CREATE) && starts_with(name, ".plugsup-unpack.");
  if (strcmp(phase, "merge") == 0) return (event->mask & IN_MOVED_TO) && name[0] != '.';
  if (strcmp(phase, "sync") == 0)
    return (event->mask & IN_DELETE) && starts_with(name, ".plugsup-unpack.");
  if (strcmp(phase, "record") == 0)
    return (event->mask & IN_CREATE) && starts_with(name, ".bootchk.");
  if (strcmp(phase, "initbin") == 0)
    return (event->mask & IN_CREATE) && starts_with(name, ".init.bin.");
  return 0;
}

static void kernel_line(const char* text) {
  int kmsg = open("/dev/kmsg", O_WRONLY);
  if (kmsg >= 0) {
    (void)write(kmsg, text, strlen(text));
    close(kmsg);
  }
}

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) return 2;
  const char* phase = argv[1];
  long delay_us = atol(argv[2]);
  long nth = argc == 6 ? atol(argv[5]) : 1;
  struct sched_param priority = {.sched_priority = sched_get_priority_max(SCHED_FIFO)};
  if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0) perror("cutter: real-time");
  int watch = inotify_init();
  if (watch < 0 || inotify_add_watch(watch, argv[3], IN_CREATE | IN_MOVED_TO | IN_DELETE) < 0) {
    perror("cutter");
    return 1;
  }
  int ready = open(argv[4], O_WRONLY | O_CREAT, 0600);
  if (ready >= 0) close(ready);
  /* Keeps to the whole install and no longer: 120 s of silence ends it. */
  alarm(120);
  char buffer[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
  for (;;) {
    ssize_t length = read(watch, buffer, sizeof buffer);
    if (length <= 0) return 1;
    for (char* at = buffer; at < buffer + length;) {
      const struct inotify_event* event = (const struct inotify_event*)at;
      if (is_trigger(phase, event) && --nth <= 0) {
        if (delay_us > 0) {
          struct timespec pause = {delay_us / 1000000, (delay_us % 1000000) * 1000};
          nanosleep(&pause, NULL);
        }
        char line[256];
        snprintf(line, sizeof line, "<2>ROUTER cut phase=%s after=%s delay_us=%ld\n", phase,
                 event->name, delay_us);
        kernel_line(line);
        int trigger = open("/proc/sysrq-trigger", O_WRONLY);
        if (trigger >= 0) (void)write(trigger, "b", 1);
        return 1;
      }
      at += sizeof *event + event->len;
    }
  }
}
