#include "python/bindings/run.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/batch.h"
#include "platform/machine.h"
#include "python/bindings/conversions.h"
#include "python/bindings/gil.h"
#include "python/bindings/errors.h"

namespace bindings {

namespace {

// What a stopped process_folder carries out of the run: Python's pending exception (KeyboardInterrupt
// from Ctrl-C, or a warning made an error), fetched while the GIL was held and restored once it is
// held again.
struct Stopped {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

[[noreturn]] void Stop() {
    Stopped stopped;
    PyErr_Fetch(&stopped.type, &stopped.value, &stopped.traceback);
    throw stopped;
}

py::list ProcessFolder(const py::handle& folder_argument, int32_t jobs, const py::handle& warnings) {
    const std::string folder = PathArgument(folder_argument);
    if (jobs < 0 || jobs > kMaxJobs) throw py::value_error("jobs must be from 0 (every allowed processor) to 256");
    if (!warnings.is_none() && !py::isinstance<py::list>(warnings)) throw py::type_error("warnings must be a list or None");
    if (jobs == 0) jobs = std::min(UsableProcessorCount(), kMaxJobs);
    std::vector<std::string> names;
    std::vector<std::string> warning_lines;
    RunHooks hooks;
    hooks.written = [&](const std::string& name) { names.push_back(name); };
    hooks.warnings = [&](const std::string& lines) {
        for (std::string& line : WarningLines(lines)) warning_lines.push_back(std::move(line));
        // Under "-W error" the warning stops the run before this record's file, as Ctrl-C does.
        GilHeld held;
        try {
            Warn(lines);
        } catch (py::error_already_set& error) {
            error.restore();
            Stop();
        }
    };
    hooks.before_record = [] {
        GilHeld held;
        if (PyErr_CheckSignals() != 0) Stop();
    };
    const auto hand_back = [&] {
        if (warnings.is_none()) return;
        py::list list = py::reinterpret_borrow<py::list>(warnings);
        for (const std::string& line : warning_lines) list.append(FsText(line));
    };
    try {
        GilReleased released;
        RunBatch(folder, jobs, &hooks);
    } catch (const Stopped& stopped) {
        hand_back();
        PyErr_Restore(stopped.type, stopped.value, stopped.traceback);
        throw py::error_already_set();
    } catch (...) {
        hand_back();
        throw;
    }
    hand_back();
    py::list result;
    for (const std::string& name : names) result.append(FsText(name));
    return result;
}

py::list ProcessingOrder(const py::handle& folder_argument) {
    const std::string folder = PathArgument(folder_argument);
    std::vector<std::string> names;
    {
        GilReleased released;
        names = CalstarsFilesInOrder(folder);
    }
    py::list result;
    for (const std::string& name : names) result.append(FsText(name));
    return result;
}

}  // namespace

void DefineRun(py::module_& module) {
    module.def("process_folder", &ProcessFolder, py::arg("folder"), py::arg("jobs") = 0, py::arg("warnings") = py::none(),
               "process_folder(folder, jobs=0, warnings=None)\n--\n\n"
               "Does what 'calstars2fp --jobs <jobs> <folder>' does: writes the listing DirListingCalstars.txt,\n"
               "then a four-product file for every record of every listed CALSTARS file, into the folder.\n\n"
               "Parameters\n----------\n"
               "folder : str, bytes or os.PathLike\n    The folder.\n"
               "jobs : int, optional\n    Records at a time, 1 to 256; 0 uses every processor the process may run on.\n"
               "warnings : list, optional\n    Receives the warning lines.\n\n"
               "Returns\n-------\n"
               "list of str\n    The names written, in record order.\n\n"
               "Raises\n------\n"
               "Error\n    The program's failure, with its message; the files written before it stay. Also\n"
               "    FileNotFoundError and the like when the folder cannot be listed, ValueError for a\n"
               "    malformed file, MemoryError.\n"
               "KeyboardInterrupt\n    Ctrl-C, before the next record's file: no temporary file is left.\n\n"
               "Warns\n-----\n"
               "CalstarsWarning\n    Each warning line, as the record comes; an error under '-W error', which then\n"
               "    stops the run before that record's file.\n\n"
               "Examples\n--------\n"
               ">>> import os\n"
               ">>> os.mkdir('night')\n"
               ">>> stars = {'row': [10.5], 'col': [12.25], 'intensity': [1800], 'total': [2300]}\n"
               ">>> records = [calstars2fp.Record(stars, 9, 4, name) for name in ('A.bin', 'B.bin')]\n"
               ">>> calstars2fp.write_calstars('night/CALSTARS_C01.txt', records, (32, 40))\n"
               ">>> calstars2fp.process_folder('night', jobs=1)\n"
               "['A.bin', 'B.bin']\n");
    module.def("processing_order", &ProcessingOrder, py::arg("folder"),
               "processing_order(folder)\n--\n\n"
               "The CALSTARS files of a folder in the order process_folder and the program process them,\n"
               "without writing the listing.\n\n"
               "Parameters\n----------\n"
               "folder : str, bytes or os.PathLike\n    The folder.\n\n"
               "Returns\n-------\n"
               "list of str\n    Names within the folder: regular files named CALSTARS*.txt in any case, in\n"
               "    case-insensitive name order.\n\n"
               "Raises\n------\n"
               "FileNotFoundError, NotADirectoryError, PermissionError, OSError\n"
               "    The folder cannot be listed (also Error, with the program's message).\n\n"
               "Examples\n--------\n"
               ">>> import os\n"
               ">>> os.makedirs('order')\n"
               ">>> for name in ('calstars_b.txt', 'CALSTARS_a.txt', 'notes.txt'):\n"
               "...     open(os.path.join('order', name), 'w').close()\n"
               ">>> calstars2fp.processing_order('order')\n"
               "['CALSTARS_a.txt', 'calstars_b.txt']\n");
}

}  // namespace bindings
