// The tool's key wait on its own, in a process that stays alive after it.
// A first Ctrl+C (or key) must end the wait; after "WAIT ENDED" the process
// keeps no control handler of the wait's, so a second Ctrl+C goes to the
// system's default handler, which ends the process. A handler left installed
// would swallow that Ctrl+C and the process would print "STILL RUNNING".
#include <windows.h>

#include <stdio.h>

#include "console.h"

// Time the driver has to deliver the second Ctrl+C.
#define SECOND_CONTROL_LIMIT_MS 30000
#define POLL_MS 100

int main(void)
{
    printf("WAIT CHECK READY pid=%lx\n", (unsigned long)GetCurrentProcessId());
    fflush(stdout);
    WaitForKeyPress();
    printf("WAIT ENDED\n");
    fflush(stdout);
    for (DWORD waited = 0; waited < SECOND_CONTROL_LIMIT_MS; waited += POLL_MS)
        Sleep(POLL_MS);
    printf("STILL RUNNING\n");
    fflush(stdout);
    return 3;
}
