#!/usr/bin/python3
"""guardian.py TEST_PID COMMAND...: runs COMMAND in a process group it leads as its subreaper, and kills
all of it when COMMAND ends, when asked to stop (SIGTERM or SIGINT, passed on, SIGKILL 5 s later) and when
the test dies, however (the parent-death signal, sent when the thread that started the guardian ends).
Exits with COMMAND's status (128 + signal); writes COMMAND's pid to ZELNA_GUARDIAN_PID_FD when set."""

import ctypes
import os
import signal
import subprocess
import sys
import time


def end(status):
    """Kills the group and every orphan re-parented here, reaps them all, and exits."""
    deadline, me = time.monotonic() + 5, os.getpid()
    while time.monotonic() < deadline:
        running = False
        for pid in map(int, filter(str.isdigit, os.listdir("/proc"))):
            try:
                with open(f"/proc/{pid}/stat") as stat:
                    state, parent, group = stat.read().rsplit(")", 1)[1].split()[:3]
                if pid != me and me in (int(parent), int(group)):
                    running |= state != "Z"
                    os.kill(pid, signal.SIGKILL)
            except OSError:
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
    libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    libc.prctl(1, signal.SIGHUP, 0, 0, 0)  # PR_SET_PDEATHSIG
    signal.signal(signal.SIGHUP, lambda *_: end(129))
    if os.getppid() != test:  # the test died before the signal was armed
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
    child = subprocess.Popen(command, close_fds=False)  # a command that cannot run ends the guardian
    if pid_fd >= 0:
        os.write(pid_fd, b"%d" % child.pid)
        os.close(pid_fd)
    if stopping:  # asked while COMMAND was starting
        child.send_signal(stopping[0])
    while True:
        pid, status = os.waitpid(-1, 0)
        if pid == child.pid:
            code = os.waitstatus_to_exitcode(status)
            end(code if code >= 0 else 128 - code)


if __name__ == "__main__":
    main()
