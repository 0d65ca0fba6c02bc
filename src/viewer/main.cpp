#include <string>

#include "failure.h"
#include "platform/console.h"
#include "platform/interruption.h"
#include "viewer/convert.h"

namespace {

int Run(int argc, char** argv) {
    try {
        return RunViewer(argc, argv);
    } catch (const Failure& failure) {
        return ReportFailure(failure);
    } catch (const std::exception& error) {
        // Every stage turns its own failures into its Failure; this only keeps anything that slips
        // through from ending the run without its one line.
        return ReportUnexpected(error);
    }
}

// Such a failure does not stop the conversions: they all run first.
std::string LinesIncomplete(int) { return " Cannot write standard output: the lines of this run are incomplete \n"; }

}  // namespace

int main(int argc, char** argv) {
    KeepStandardStreamsOpen();
    Interruption_InstallHandlers();  // a setting of the whole process: the program's, not the library's
    return FinishStandardOutput(Run(argc, argv), LinesIncomplete);
}
