#include <cstring>
#include <string>

#include "driver/batch.h"
#include "failure.h"
#include "platform/console.h"
#include "platform/interruption.h"
#include "platform/machine.h"

namespace {

std::string CannotWriteStandardOutput(int error) { return Format(" Cannot write standard output: %s \n", std::strerror(error)); }

}  // namespace

int main(int argc, char** argv) {
    KeepStandardStreamsOpen();
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
    return FinishStandardOutput(status, CannotWriteStandardOutput);
}
