#include "safe_output/safe_output.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include "safe_output/safe_output_platform.h"

namespace {

// Error code of a refusal that is no system error: the path is too long for the table, or every
// slot is taken.
constexpr int kBeyondTable = -1;
// Temporary names tried before giving up: ".partial", ".partial2" ... ".partial<kMaxTemporaryNumber>".
constexpr int kMaxTemporaryNumber = 100000;

// One entry of the interruption table. The signal handler reads `path` only while `state` is
// kNamed; the writer moves the state to kFilling before it changes the path, so a handler that
// interrupts it in the middle sees no half-copied name.
enum SlotState : int { kFree = 0, kFilling = 1, kNamed = 2 };
struct Slot {
    std::atomic<int> state{kFree};
    char path[kSafeOutputPathBytes];
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free slot states");

Slot g_slots[kSafeOutputSlots];

int ClaimSlot() {
    for (int i = 0; i < kSafeOutputSlots; ++i) {
        int expected = kFree;
        if (g_slots[i].state.compare_exchange_strong(expected, kFilling)) return i;
    }
    return -1;
}

void NameSlot(int slot, const std::string& path) {
    g_slots[slot].state.store(kFilling);
    std::memcpy(g_slots[slot].path, path.c_str(), path.size() + 1);
    g_slots[slot].state.store(kNamed);
}

void ReleaseSlot(int& slot) {
    if (slot >= 0) g_slots[slot].state.store(kFree);
    slot = -1;
}

// True when the folder holds an entry of that name, a symbolic link included even if it leads
// nowhere. An entry that cannot be examined counts as absent, so that creating it reports the failure.
bool EntryExists(const std::string& path) {
    std::error_code error;
    const std::filesystem::file_type type = std::filesystem::symlink_status(path, error).type();
    return type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none;
}

// Final names this process has written: an output named like a temporary file ("x.partial") is
// never taken for a stale one.
std::mutex g_written_lock;
std::set<std::string> g_written;

bool WrittenByThisProcess(const std::string& path) {
    std::lock_guard<std::mutex> hold(g_written_lock);
    return g_written.count(path) != 0;
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

// Clears the output's open state once its temporary file is closed and renamed or removed.
void Forget(SafeOutput& output) {
    output.file = kNoFile;
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
    const std::string base = TemporaryBase(final_name);
    if (base.size() + 7 >= kSafeOutputPathBytes || (output.slot = ClaimSlot()) < 0) {
        output.error = kBeyondTable;
        return false;
    }
    for (int number = 1; number <= kMaxTemporaryNumber; ++number) {
        const std::string name = number == 1 ? base : base + std::to_string(number);
        // An existing entry may be an earlier output of this run: it must never be in the table, where
        // an interruption would remove it. One that no live writer holds, left by a run that could
        // not clean up, is removed and its name taken.
        if (EntryExists(name) && (WrittenByThisProcess(name) || !RemoveIfStale(name.c_str()))) continue;
        NameSlot(output.slot, name);
        intptr_t file = kNoFile;
        int error = 0;
        switch (CreateNewFile(name.c_str(), file, error)) {
            case CreateResult::Created:
                if (!HoldNewFile(file)) {  // swept by another run before it was held
                    CloseFile(file, error);
                    g_slots[output.slot].state.store(kFilling);
                    continue;
                }
                output.file = file;
                output.temporary_name = name;
                return true;
            case CreateResult::Exists:  // appeared since it was looked at
                g_slots[output.slot].state.store(kFilling);
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
    if (size == 0) return true;
    int error = 0;
    if (!WriteToFile(output.file, data, size, error)) {
        output.ok = false;
        output.error = error;
    }
    return output.ok;
}

bool SafeOutput_Commit(SafeOutput& output) {
    if (output.file == kNoFile) return false;
    int error = 0;
    if (!CloseFile(output.file, error) && output.ok) {
        output.ok = false;
        output.error = error;
    }
    output.file = kNoFile;
    if (output.ok && !RenameReplacing(output.temporary_name.c_str(), output.final_name.c_str(), error)) {
        output.ok = false;
        output.error = error;
    }
    // The name leaves the table only now: an interruption before the rename removes the file, one
    // after it finds nothing under the temporary name.
    if (!output.ok) RemoveEntry(output.temporary_name.c_str());
    if (output.ok) {
        std::lock_guard<std::mutex> hold(g_written_lock);
        g_written.insert(output.final_name);
    }
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

void SafeOutput_RemoveTemporaries() {
    for (Slot& slot : g_slots) {
        if (slot.state.load() == kNamed) RemoveEntry(slot.path);
    }
}
