// A child process that must not outlive its parent (internal, never
// installed).
#ifndef PLATFORM_PROCESS_H
#define PLATFORM_PROCESS_H

#include <signal.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/prctl.h>
#elif defined(__FreeBSD__)
#include <sys/procctl.h>
#endif

namespace platform {

// Has the calling child killed when its parent, parent, dies; false when
// the parent is gone already.  Where the system cannot do it, a child whose
// parent is killed finishes its own work and ends.
inline bool die_with_parent(pid_t parent)
{
#if defined(__linux__)
	(void)prctl(PR_SET_PDEATHSIG, SIGKILL);
#elif defined(__FreeBSD__)
	int sig = SIGKILL;
	(void)procctl(P_PID, 0, PROC_PDEATHSIG_CTL, &sig);
#endif
	return getppid() == parent;
}

}  // namespace platform

#endif
