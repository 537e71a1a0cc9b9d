// child_process: starting the programs the service runs (its workers, ffmpeg) as children it can end
// whole: each in a process group of its own, with the signals the service blocks or ignores back
// to normal, and nothing of the service's open but the descriptors given.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace resolver {

// Starts args[0] (looked for on PATH) with args, its standard input, output and error the
// descriptors given (-1: /dev/null), every other descriptor of the service closed in it (its
// clients' connections above all, which must end when the service ends them). Returns the PID,
// or -1 (errno set) when it could not be started.
pid_t SpawnChild(const std::vector<std::string>& args, int in, int out, int err);

// Two pipes to give a child, every end close-on-exec (SpawnChild hands the child its own ends).
// Returns false (errno set, nothing left open) when either cannot be made.
bool MakePipes(int (&first)[2], int (&second)[2]);

}  // namespace resolver
