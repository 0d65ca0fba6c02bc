#include "driver/batch.h"
#include "failure.h"

int main(int argc, char** argv) {
    try {
        return RunProgram(argc, argv);
    } catch (const Failure& failure) {
        return ReportFailure(failure);
    }
}
