#include "driver/batch.h"
#include "failure.h"
#include "viewer/convert.h"

int main(int argc, char** argv) {
    try {
        return RunViewer(argc, argv);
    } catch (const Failure& failure) {
        return ReportFailure(failure);
    }
}
