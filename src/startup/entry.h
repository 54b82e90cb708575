// Start-up: everything from the first instruction to the hand-over to the
// supervision loop.
#pragma once

// Runs the start-up sequence and the supervisor; the process's exit status.
int supervisor_main(int argc, char** argv);

// Changes into the directory part of `program_path`; a failure is ignored.
void enter_program_directory(const char* program_path);
