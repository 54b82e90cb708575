/* Compiled by scripts/check-sdk.sh against the installed SDK, as C and as C++,
 * in every language mode with -Wall -Wextra -Werror -pedantic: the header must
 * be enough on its own. Run as `strict_plugin -r 3 -Z future -d`, it checks
 * that the option it does not know is skipped and that its version is the
 * installed one (EXPECTED_VERSION, from pkg-config). */
#include <plugsup/plugin.h>

int main(int argc, char** argv) {
  struct plugsup_args args;
  char error[256];
  if (plugsup_parse_args(argc, argv, &args, error, sizeof error) != 0) {
    printf("refused: %s\n", error);
    return 1;
  }
  if (args.restart_reason != 3 || args.debug != 1 || plugsup_keep_alive(&args) != 0) return 2;
  if (strcmp(PLUGSUP_PLUGIN_VERSION, EXPECTED_VERSION) != 0) return 3;
  /* Referenced, not called: they end the program or write files. */
  if (argc < 0) {
    (void)plugsup_stage_upgrade(&args, "package.tgz");
    (void)plugsup_hand_over_upgrade(PLUGSUP_NULL_, "package.tgz", PLUGSUP_EXIT_UPGRADE_NOTE);
    plugsup_request_fresh_start();
  }
  printf("%s %s\n", PLUGSUP_PLUGIN_VERSION, plugsup_reason_text(args.restart_reason));
  return 0;
}
