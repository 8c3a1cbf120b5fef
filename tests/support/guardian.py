#!/usr/bin/python3
"""Runs one command for a test so that nothing it starts outlives the test.

  guardian.py TEST_PID COMMAND [ARGUMENT...]

With ZELNA_GUARDIAN_PID_FD set, the command's pid is written to that descriptor once it runs.

The guardian leads a process group of its own and is the subreaper of everything the command
starts, so a daemon that leaves the group still comes back to it as an orphan. When the command
ends, when the guardian is asked to stop (SIGTERM or SIGINT, passed on to the command, which gets
SIGKILL 5 s later), and when the test dies however it dies (the parent-death signal; the test must
start it from its main thread, since the kernel watches the thread), it kills all of it and exits
with the command's status (128 + the signal when a signal ended it).
"""

import ctypes
import os
import signal
import subprocess
import sys
import time

PR_SET_PDEATHSIG, PR_SET_CHILD_SUBREAPER = 1, 36


def left_behind():
    """Everything in the guardian's group or re-parented to it, and whether any of it still runs."""
    me, found, running = os.getpid(), [], False
    for name in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{name}/stat") as stat:
                state, parent, group = stat.read().rsplit(")", 1)[1].split()[:3]
        except OSError:
            continue
        if int(name) != me and me in (int(parent), int(group)):
            found.append(int(name))
            running |= state != "Z"
    return found, running


def end(status):
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        found, running = left_behind()
        for pid in found:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            while os.waitpid(-1, os.WNOHANG)[0]:
                pass
        except ChildProcessError:
            if not running:
                break
        time.sleep(0.01)
    os._exit(status)


def main():
    test, command, child, stopping = int(sys.argv[1]), sys.argv[2:], None, []
    pid_fd = int(os.environ.pop("ZELNA_GUARDIAN_PID_FD", "-1"))
    os.setpgid(0, 0)
    libc = ctypes.CDLL(None)
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGHUP, 0, 0, 0)
    signal.signal(signal.SIGHUP, lambda *_: end(129))
    if os.getppid() != test:  # the test died before the parent-death signal was armed
        end(129)

    def stop(number, _):
        stopping.append(number)
        signal.signal(signal.SIGALRM, lambda *_: child and child.kill())
        signal.alarm(5)
        if child:
            child.send_signal(number)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if pid_fd >= 0:
        os.set_inheritable(pid_fd, False)
    try:
        child = subprocess.Popen(command, close_fds=False)
    except OSError as error:
        print(f"guardian: cannot run {command[0]}: {error}", file=sys.stderr)
        end(127)
    if pid_fd >= 0:  # the harness hands the command's own pid to whoever reads /proc
        os.write(pid_fd, b"%d" % child.pid)
        os.close(pid_fd)
    if stopping:  # asked while the command was starting
        child.send_signal(stopping[0])
    while True:
        pid, status = os.waitpid(-1, 0)
        if pid == child.pid:
            code = os.waitstatus_to_exitcode(status)
            end(code if code >= 0 else 128 - code)


if __name__ == "__main__":
    main()
