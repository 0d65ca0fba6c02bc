#include "driver/batch.h"
#include "failure.h"

int main(int argc, char** argv) {
    try {
        return RunProgram(argc, argv);
    } catch (const Failure& failure) {
        return ReportFailure(failure);
    } catch (const std::exception& error) {
        // Every stage turns its own failures into its Failure; this only keeps anything that slips
        // through from ending the run without its one line.
        return ReportUnexpected(error);
    }
}
