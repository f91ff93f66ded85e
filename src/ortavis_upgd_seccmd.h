// Host command runner: runs host tools ("grep", "virsh", "bash") without a
// shell, as a pipeline of argument vectors, and hands back the exit status
// of the last command and, when asked, its standard output.
//
// Called at the same time from the pool workers, the management thread and
// the upgrade thread; each call uses only its own arguments, descriptors and
// children, so nothing is shared and no lock is taken. Children get only
// descriptors 0, 1 and 2 (the daemon's sockets to guests and clients never
// reach them), default signal dispositions and an empty signal mask. Every
// pipeline runs in a process group of its own, led by its first command.
#pragma once

#include <cstddef>
#include <span>

// Most commands a pipeline may have.
inline constexpr size_t SECCMD_MAX_COMMANDS = 16;
// Most bytes of output kept; the rest is read and dropped, so the command
// never stalls on a full pipe.
inline constexpr size_t SECCMD_OUTPUT_MAX = 1 << 20;
// Status of a pipeline that was killed for running past its time limit.
inline constexpr int SECCMD_STATUS_TIMEOUT = -2;

// Runs argv0 | argv1 | ... (the list closed by a null pointer). Each vector
// is a null-terminated array whose first element is a program looked up on
// PATH; the strings reach the program unchanged. The first command reads
// /dev/null; standard error is inherited.
//
// Returns 0 when every command was started and waited for; *status then holds
// the last command's exit status, or 128 + the signal number when a signal
// ended it. Returns -1 with errno set when the pipeline could not be run: a
// bad argument (reserved not null, no vector, an empty vector, more than
// SECCMD_MAX_COMMANDS), a failed pipe, or a failed spawn, a program missing
// from PATH included (ENOENT). *status is then left as the caller set it, and
// commands already started are killed and reaped.
//
// out: null, or the address of a null char *. Receives a malloc'ed,
// NUL-terminated copy of the last command's standard output (at most
// SECCMD_OUTPUT_MAX bytes), or stays null when it printed nothing or the call
// failed; the caller frees it. Without out, the last command writes to
// /dev/null.
//
// Output written after the last command exited (by a background process it
// left behind) is not waited for.
int seccmd_run_argset(char **out, void *reserved, int *status, char *const *argv0, ...);

// The same with a time limit: when the pipeline has not finished after
// timeoutMs milliseconds, its whole process group is killed with SIGKILL,
// the commands are reaped, the call returns 0 and *status is
// SECCMD_STATUS_TIMEOUT; *out gets the output read until then. A negative
// timeoutMs waits without limit.
int seccmd_run_argset_timeout(char **out, int *status, int timeoutMs, char *const *argv0, ...);

// The core both wrap: runs the vectors of `commands` as one pipeline, with the
// contract above.
int seccmd_run_pipeline(char **out, int *status, int timeoutMs,
                        std::span<char *const *const> commands);
