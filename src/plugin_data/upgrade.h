// Installing the upgrade package a child left in /tmp/.uci/.
#pragma once

// For exit code 130 (unpack into ../data/), 131 (copy to init.bin) or any
// other (record only). Does nothing unless the package is a readable regular
// file (a link is not followed); otherwise deletes the package and replaces
// the boot-check record, adding the baseline version when it has no version
// string and "plugindata" or "luadata" for a step that succeeded. Prints
// nothing of its own. Main thread only.
void install_upgrade_package(int code);
