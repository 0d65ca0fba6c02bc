#include "safe_output/safe_output.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "safe_output/safe_output_platform.h"

// 0xFF in the fourth byte: a four-product file's row count would be negative; never text either.
const unsigned char kTemporaryMark[kTemporaryMarkBytes] = {0xFF, 0xFF, 0xFF, 0xFF, 'C', '2', 'F', 'P',
                                                          ' ', 'p', 'a', 'r', 't', 'i', 'a', 'l'};

namespace {

// Error code of a refusal that is no system error: the path is too long for the table, or every
// slot is taken.
constexpr int kBeyondTable = -1;
// Temporary names tried before giving up: ".partial", ".partial2" ... ".partial<kMaxTemporaryNumber>".
constexpr int kMaxTemporaryNumber = 100000;

// One entry of the interruption table. Only the thread that claimed a slot writes its path, and
// only in state kFilling; the sweep reads a path only after taking the slot from kNamed to kSwept,
// and every change out of kNamed is a compare-and-swap, so no thread rewrites a path being read.
enum SlotState : int { kFree = 0, kFilling = 1, kNamed = 2, kSwept = 3 };
// Every member has a constant initial value, so the table is zero-initialised with the program's
// image, not by a loop at start-up that would touch its 2 MB (a page per slot) in every run.
struct Slot {
    std::atomic<int> state{kFree};
    char path[kSafeOutputPathBytes] = {};
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free slot states");

Slot g_slots[kSafeOutputSlots];
// Set by the sweep: no file is created after it.
std::atomic<bool> g_closed{false};
// Threads between the check of g_closed and the end of their file's creation; the sweep waits for
// the others' to end. A thread's own creation, interrupted by the sweep's signal, does not count.
std::atomic<int> g_creating{0};
thread_local bool t_creating = false;
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free closed flag");

// Final names reserved against temporary use, with their counts.
std::mutex g_reserved_mutex;
std::map<std::string, int> g_reserved;

// Reserves `name` for one temporary file of this process unless it is reserved already: a final name
// not yet renamed to, or another thread's temporary file. That file may be closed and not yet renamed,
// when no handle or lock keeps it from looking stale; the reservation keeps it from being removed.
bool ClaimTemporaryName(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_reserved_mutex);
    return g_reserved.emplace(name, 1).second;
}

// A claimed temporary name, released on leaving its scope unless its file was opened (Forget
// releases it then).
struct TemporaryNameClaim {
    const std::string& name;
    bool kept = false;
    ~TemporaryNameClaim() {
        if (!kept) SafeOutput_Release(name);
    }
};

int ClaimSlot() {
    for (int i = 0; i < kSafeOutputSlots; ++i) {
        int expected = kFree;
        if (g_slots[i].state.compare_exchange_strong(expected, kFilling)) return i;
    }
    return -1;
}

// Takes a named slot back for a new name; false when the sweep has it (the process is ending).
bool UnnameSlot(int slot) {
    int expected = kNamed;
    return g_slots[slot].state.compare_exchange_strong(expected, kFilling);
}

void NameSlot(int slot, const std::string& path) {
    std::memcpy(g_slots[slot].path, path.c_str(), path.size() + 1);
    g_slots[slot].state.store(kNamed);
}

void ReleaseSlot(int& slot) {
    if (slot >= 0) {
        // A slot the sweep took stays taken until SafeOutput_Reopen: the sweep may still read its path.
        int expected = kNamed;
        if (!g_slots[slot].state.compare_exchange_strong(expected, kFree) && expected == kFilling) {
            g_slots[slot].state.store(kFree);
        }
    }
    slot = -1;
}

// Creates the temporary file `name` unless the table is closed (then Failed with kBeyondTable's
// meaning taken by the caller). While it runs, the sweep on another thread waits.
CreateResult CreateUnlessClosed(const char* name, intptr_t& file, int& error, bool& closed) {
    g_creating.fetch_add(1);
    t_creating = true;
    closed = g_closed.load();
    CreateResult result = CreateResult::Failed;
    if (!closed) result = CreateNewFile(name, file, error);
    t_creating = false;
    g_creating.fetch_sub(1);
    return result;
}

// True when the folder holds an entry of that name, a symbolic link included even if it leads
// nowhere. An entry that cannot be examined counts as absent, so that creating it reports the failure.
bool EntryExists(const std::string& path) {
    std::error_code error;
    const std::filesystem::file_type type = std::filesystem::symlink_status(path, error).type();
    return type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none;
}

// Digits a temporary number may add (".partial100000").
constexpr size_t kNumberDigits = 6;

// "<final name>.partial", or, when that name (with a number) would be longer than the folder allows,
// the final name's last part cut short enough before ".partial": still in the same folder, and unique
// through the exclusive creation and the numbers.
std::string TemporaryBase(const std::string& final_name) {
    const size_t separator = final_name.find_last_of(kPathSeparators);
    const size_t start = separator == std::string::npos ? 0 : separator + 1;
    const size_t longest = LongestName(final_name.c_str());
    const size_t suffix = std::strlen(".partial") + kNumberDigits;
    const size_t name_length = final_name.size() - start;
    if (name_length + suffix <= longest) return final_name + ".partial";
    const size_t kept = longest > suffix ? longest - suffix : 1;
    return final_name.substr(0, start + kept) + ".partial";
}

// The system's error for a final name that cannot name a file: empty, ending in a separator, or
// ending in "." or ".." (the folder itself, or its parent); 0 for a name that may be written.
// Checked before anything is created, so that no temporary name is made inside such a folder
// (".partial" there). A folder that merely stands at a file's name fails at the rename, as any
// other entry that cannot be replaced does.
int RefusedFinalName(const std::string& final_name) {
    if (final_name.empty()) return kEmptyNameError;
    const size_t separator = final_name.find_last_of(kPathSeparators);
    const std::string last = separator == std::string::npos ? final_name : final_name.substr(separator + 1);
    return last.empty() || last == "." || last == ".." ? kFolderNameError : 0;
}

// Writes the mark into the newly created temporary file: from now on a run that finds it abandoned
// may remove it.
bool WriteMark(SafeOutput& output, int& error) { return WriteToFile(output.file, kTemporaryMark, kTemporaryMarkBytes, error); }

// Clears the output's open state once its temporary file is closed and renamed or removed.
void Forget(SafeOutput& output) {
    output.file = kNoFile;
    if (!output.temporary_name.empty()) SafeOutput_Release(output.temporary_name);
    output.temporary_name.clear();
    ReleaseSlot(output.slot);
}

}  // namespace

SafeOutput::~SafeOutput() { SafeOutput_Abandon(*this); }

bool SafeOutput_Open(SafeOutput& output, const std::string& final_name) {
    SafeOutput_Abandon(output);
    output.final_name = final_name;
    output.ok = true;
    output.error = 0;
    output.size = 0;
    if ((output.error = RefusedFinalName(final_name)) != 0) return false;
    const std::string base = TemporaryBase(final_name);
    if (base.size() + 7 >= kSafeOutputPathBytes || (output.slot = ClaimSlot()) < 0) {
        output.error = kBeyondTable;
        return false;
    }
    for (int number = 1; number <= kMaxTemporaryNumber; ++number) {
        const std::string name = number == 1 ? base : base + std::to_string(number);
        // An existing entry may be a finished output (of this run or another): it must never be in the
        // table, where an interruption would remove it. A reserved name is the final name of an output
        // written and not yet renamed, or another thread's temporary file. A stale temporary file,
        // left by a run that could not clean up, is removed and its name taken.
        if (!ClaimTemporaryName(name)) continue;
        TemporaryNameClaim claim{name};
        if (EntryExists(name) && !RemoveIfStale(name.c_str())) continue;
        NameSlot(output.slot, name);
        intptr_t file = kNoFile;
        int error = 0;
        bool closed = false;
        const CreateResult created = CreateUnlessClosed(name.c_str(), file, error, closed);
        if (closed) {
            output.error = EINTR;
            ReleaseSlot(output.slot);
            return false;
        }
        switch (created) {
            case CreateResult::Created:
                if (!HoldNewFile(file)) {  // swept by another run before it was held
                    CloseFile(file, error);
                    g_slots[output.slot].state.store(kFilling);
                    continue;
                }
                output.file = file;
                output.temporary_name = name;
                claim.kept = true;
                if (!WriteMark(output, error)) {
                    SafeOutput_Abandon(output);
                    output.error = error;
                    return false;
                }
                return true;
            case CreateResult::Exists:  // appeared since it was looked at
                if (!UnnameSlot(output.slot)) {
                    output.error = EINTR;
                    output.slot = -1;
                    return false;
                }
                continue;
            case CreateResult::Failed:
                output.error = error;
                ReleaseSlot(output.slot);
                return false;
        }
    }
    output.error = kBeyondTable;
    ReleaseSlot(output.slot);
    return false;
}

bool SafeOutput_Write(SafeOutput& output, const void* data, size_t size) {
    if (output.file == kNoFile || !output.ok) return false;
    // The first bytes wait in memory while the mark stands in their place.
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    if (output.size < kTemporaryMarkBytes) {
        const size_t held = std::min(size, kTemporaryMarkBytes - static_cast<size_t>(output.size));
        std::memcpy(output.head + output.size, bytes, held);
        output.size += held;
        bytes += held;
        size -= held;
    }
    if (size == 0) return true;
    int error = 0;
    output.size += size;
    if (!WriteToFile(output.file, bytes, size, error)) {
        output.ok = false;
        output.error = error;
    }
    return output.ok;
}

bool SafeOutput_Commit(SafeOutput& output) {
    if (output.file == kNoFile) return false;
    int error = 0;
    // The real first bytes over the mark (a file shorter than the mark cut to its size first): the
    // file is now what it will be under its final name, and no run takes it for stale any more.
    const size_t head = static_cast<size_t>(std::min<uint64_t>(output.size, kTemporaryMarkBytes));
    if (output.ok && ((output.size < kTemporaryMarkBytes && !TruncateFile(output.file, output.size, error)) ||
                      !WriteAt(output.file, 0, output.head, head, error))) {
        output.ok = false;
        output.error = error;
    }
    // Held from the close to the rename: a run that found it unheld in between would remove it.
    const intptr_t hold = KeepHeld(output.file);
    if (!CloseFile(output.file, error) && output.ok) {
        output.ok = false;
        output.error = error;
    }
    output.file = kNoFile;
    if (output.ok && !RenameReplacing(output.temporary_name.c_str(), output.final_name.c_str(), error)) {
        output.ok = false;
        output.error = error;
    }
    ReleaseHold(hold);
    // The name leaves the table only now: an interruption before the rename removes the file, one
    // after it finds nothing under the temporary name.
    if (!output.ok) RemoveEntry(output.temporary_name.c_str());
    Forget(output);
    return output.ok;
}

void SafeOutput_Abandon(SafeOutput& output) {
    if (output.temporary_name.empty()) {
        ReleaseSlot(output.slot);
        return;
    }
    int ignored = 0;
    if (output.file != kNoFile) CloseFile(output.file, ignored);
    RemoveEntry(output.temporary_name.c_str());
    Forget(output);
}

bool SafeOutput_WriteWhole(const std::string& final_name, const void* data, size_t size, int* error) {
    SafeOutput output;
    const bool ok = SafeOutput_Open(output, final_name) && SafeOutput_Write(output, data, size) && SafeOutput_Commit(output);
    if (!ok) SafeOutput_Abandon(output);
    if (error != nullptr) *error = output.error;
    return ok;
}

std::string SafeOutput_ErrorText(int error) {
    if (error == kBeyondTable) return "path too long or too many files open for writing";
    return ErrorText(error);
}

void SafeOutput_Reserve(const std::string& final_name) {
    std::lock_guard<std::mutex> lock(g_reserved_mutex);
    ++g_reserved[final_name];
}

void SafeOutput_Release(const std::string& final_name) {
    std::lock_guard<std::mutex> lock(g_reserved_mutex);
    const auto entry = g_reserved.find(final_name);
    if (entry != g_reserved.end() && --entry->second == 0) g_reserved.erase(entry);
}

void SafeOutput_RemoveTemporaries() {
    g_closed.store(true);
    // Creations under way on other threads end in a named slot (a creation is one system call); this
    // thread's own, if the signal interrupted it, has its name in the table already.
    const int own = t_creating ? 1 : 0;
    while (g_creating.load() > own) {
    }
    for (Slot& slot : g_slots) {
        int expected = kNamed;
        if (slot.state.compare_exchange_strong(expected, kSwept)) RemoveEntry(slot.path);
    }
}

void SafeOutput_Reopen() {
    for (Slot& slot : g_slots) {
        int expected = kSwept;
        slot.state.compare_exchange_strong(expected, kFree);
    }
    g_closed.store(false);
}
