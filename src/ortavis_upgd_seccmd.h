// Host command runner: runs host tools ("grep", "virsh", "bash") without a
// shell, as a pipeline of argument vectors, and hands back the exit status
// of the last command and, when asked, its standard output.
//
// The runner is a library of its own (upgd_seccmd) that depends on nothing
// of the daemon, behind C functions: a platform library that supplies
// seccmd_run_argset could take its place, provided it also supplies the
// time-limited call and the stop hook below, which the daemon relies on.
//
// Called at the same time from the pool workers, the guest lane, the
// management thread and the upgrade thread; each call uses only its own
// arguments, descriptors and children. What the calls share is the count of
// running pipelines, at most SECCMD_RUNNING_MAX: a call waits for a free slot
// on a descriptor (never on a lock), and the wait counts against its time
// limit and ends at the daemon's stop like a run. Children get only
// descriptors 0, 1 and 2 (the daemon's sockets to guests and clients never
// reach them), default signal dispositions and an empty signal mask. Every
// pipeline runs in a process group of its own, led by its first command.
//
// No run outlasts its time limit or the daemon: each command is killed when
// its limit passes, when the stop descriptor becomes readable, and when the
// daemon process dies, however it dies (the kernel signals the orphan).
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
// The time limit of seccmd_run_argset, and of any call given no limit.
inline constexpr int SECCMD_DEFAULT_TIMEOUT_MS = 60 * 1000;
// Most pipelines running at once in the process; a call past it waits for a
// slot. A guest's attach or a health check runs two or three short commands
// one after another, so a handful of slots serve any ordinary moment; 16
// leave room for a few hung ones (each held up to its time limit) beside
// them, while a crowd of guests asking at once forks no more than 16
// pipelines (mostly bash and virsh, a few MB each) on a host whose cores
// belong to its guests.
inline constexpr int SECCMD_RUNNING_MAX = 16;

extern "C" {

// Runs argv0 | argv1 | ... (the list closed by a null pointer), for at most
// SECCMD_DEFAULT_TIMEOUT_MS. Each vector is a null-terminated array whose
// first element is a program looked up on PATH; the strings reach the
// program unchanged. The first command reads /dev/null; standard error is
// inherited.
//
// Returns 0 when every command was started and waited for; *status then holds
// the last command's exit status, 128 + the signal number when a signal
// ended it, or SECCMD_STATUS_TIMEOUT when the limit passed and the pipeline
// was killed, or was never started for want of a slot. Returns -1 with errno set when the pipeline could not be run: a
// bad argument (reserved not null, no vector, an empty vector, more than
// SECCMD_MAX_COMMANDS), a failed pipe, no descriptor for the count of running
// pipelines, or a failed start, a program missing
// from PATH included (ENOENT); and ECANCELED when the daemon is stopping
// (the stop descriptor was readable before or during the run). *status is
// then left as the caller set it, and commands already started are killed
// and reaped.
//
// out: null, or the address of a null char *. Receives a malloc'ed,
// NUL-terminated copy of the last command's standard output (at most
// SECCMD_OUTPUT_MAX bytes), or stays null when it printed nothing or the call
// failed; the caller frees it. Without out, the last command writes to
// /dev/null. A timed-out run keeps what was read until the kill.
//
// Output written after the last command exited (by a background process it
// left behind) is not waited for; such a process is not the runner's child
// and is not killed with the pipeline's commands when the daemon dies.
int seccmd_run_argset(char **out, void *reserved, int *status, char *const *argv0, ...);

// The same with the time limit timeoutMs in milliseconds (0 or less: the
// default limit).
int seccmd_run_argset_timeout(char **out, int *status, int timeoutMs, char *const *argv0, ...);

// Gives the runner the daemon's stop descriptor: from its first readable
// moment on (it must stay readable), every run ends at once with ECANCELED
// and no new run starts. -1 removes it. The daemon calls it once at start-up,
// before any thread that runs commands exists.
// Marks the calling thread's later calls urgent (non-zero) or not: work a
// client waits on. A freed slot goes to an urgent call first, so a crowd of
// guests' commands never keeps a client waiting for more than a few.
void seccmd_set_urgent(int urgent);
void seccmd_set_stop_fd(int fd);

}  // extern "C"

// The core both wrap: runs the vectors of `commands` as one pipeline, with the
// contract above.
int seccmd_run_pipeline(char **out, int *status, int timeoutMs,
                        std::span<char *const *const> commands);
