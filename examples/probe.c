/* An example plugin built on <plugsup/plugin.h>. It says why it was started,
 * keeps its alive file fresh from its main loop, and reacts to two files
 * dropped into its working directory (the supervisor's own directory):
 *
 *   upgrade.tgz   handed over as an upgrade package (exit 130): the
 *                 supervisor unpacks it into ../data/ and starts every program
 *                 again from there, in plugin mode
 *   restart-all   removed, then a fresh start of every program is asked for
 *                 (exit 160)
 *
 * Build it against the installed header with
 *   cc -o probe probe.c $(pkg-config --cflags plugsup-plugin) */
/* First: it asks the C library for the POSIX interfaces it needs. */
#include <plugsup/plugin.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const char* name = "probe";

/* One line on standard output, flushed at once: the supervisor's output may be
 * a file that outlives us. */
__attribute__((format(printf, 1, 2))) static void say(const char* format, ...) {
  va_list list;
  va_start(list, format);
  printf("%s: ", name);
  vprintf(format, list);
  va_end(list);
  putchar('\n');
  (void)fflush(stdout);
}

static void sleep_one_second(void) {
  struct timespec second = {1, 0};
  (void)nanosleep(&second, NULL);
}

int main(int argc, char** argv) {
  struct plugsup_args args;
  char error[256];
  const char* slash = argc > 0 ? strrchr(argv[0], '/') : NULL;
  if (argc > 0) name = slash != NULL ? slash + 1 : argv[0];
  if (plugsup_parse_args(argc, argv, &args, error, sizeof error) != 0) {
    say("refusing my command line: %s", error);
    return 2;
  }
  say("started with reason %d (%s); plugin mode: %s; alive file: %s", args.restart_reason,
      plugsup_reason_text(args.restart_reason), args.plugin_mode ? "yes" : "no",
      args.alive_path != NULL ? args.alive_path : "none");
  for (;;) {
    const int touched = plugsup_keep_alive(&args);
    if (touched < 0) say("cannot create %s: %s", args.alive_path, strerror(errno));
    if (touched > 0 && args.debug) say("alive file refreshed");
    /* Claim the package first, so that it is handed over once only. */
    if (rename("upgrade.tgz", "upgrade.tgz.sent") == 0) {
      say("handing over upgrade.tgz");
      (void)plugsup_hand_over_upgrade(&args, "upgrade.tgz.sent", PLUGSUP_EXIT_UPGRADE_UNPACK);
      say("cannot hand over upgrade.tgz: %s", strerror(errno));
    }
    if (unlink("restart-all") == 0) {
      say("asking for a fresh start of every program");
      plugsup_request_fresh_start();
    }
    sleep_one_second();
  }
}
