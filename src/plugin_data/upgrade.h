// Installing the upgrade package a child left in /tmp/.uci/.
#pragma once

// For exit code 130 (unpack into ../data/), 131 (copy to init.bin) or any
// other (record only). Does nothing unless the package is a readable regular
// file (a link is not followed); otherwise deletes the package and replaces
// the boot-check record, adding the baseline version when it has no version
// string and "plugindata" or "luadata" for a step that succeeded and reached
// the disk. An unpack goes to a staging directory first and moves into
// ../data/ only whole; init.bin is replaced by rename. Each failed step prints
// one line. Holds the lock of ../data/ throughout. Main thread only.
void install_upgrade_package(int code);

// Removes what a crash or power cut left in ../data/ from an installation:
// temporary records and init.bin copies, staging directories. Under the lock
// of ../data/, so a supervisor sharing it is never cut short mid-install.
void remove_upgrade_leftovers();
