#include <cstdio>
#include <cstring>

#include "driver/batch.h"
#include "driver/interruption.h"
#include "driver/platform.h"
#include "failure.h"

int main(int argc, char** argv) {
    WatchStandardOutput();
    // Settings of the whole process, which the library leaves to the program that hosts it: the stop
    // handlers, and how memory is given back under a memory limit.
    Interruption_InstallHandlers();
    FitMallocToMemoryLimits(ReadMemoryLimits());
    int status = 0;
    try {
        status = RunProgram(argc, argv);
    } catch (const Failure& failure) {
        status = ReportFailure(failure);
    } catch (const std::exception& error) {
        // Every stage turns its own failures into its Failure; this only keeps anything that slips
        // through from ending the run without its one line.
        status = ReportUnexpected(error);
    }
    // Lines that never reached standard output are a failure of the run, whose files are all written.
    if (const int error = StandardOutputError()) {
        std::fprintf(stderr, " Cannot write standard output: %s \n", std::strerror(error));
        return 1;
    }
    return status;
}
