#include "floor_clock.h"

#include <stdio.h>
#include <string.h>

LARGE_INTEGER ReadClock(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

double MicrosecondsSince(LARGE_INTEGER start)
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)(now.QuadPart - start.QuadPart) * 1e6 / (double)frequency.QuadPart;
}

int HasOption(int argc, char** argv, const char* option)
{
    for (int index = 1; index < argc; index++) {
        if (strcmp(argv[index], option) == 0)
            return 1;
    }
    return 0;
}

void ReportFloor(double workMicroseconds, const FloorCounts* counts)
{
    fprintf(stderr, "work_us=%.1f processes=%lu opened=%lu listed=%lu wow64=%lu\n", workMicroseconds,
            (unsigned long)counts->processes, (unsigned long)counts->opened, (unsigned long)counts->listed,
            (unsigned long)counts->wow64);
    fflush(stderr);
}
