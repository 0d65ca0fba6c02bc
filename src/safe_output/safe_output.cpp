#include "safe_output/safe_output.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "safe_output/safe_output_platform.h"

namespace {

// Error code of a refusal that is no system error: the path is too long for the table, or every
// slot is taken.
constexpr int kBeyondTable = -1;
// Names tried for one temporary file or hidden folder: another is taken only when an entry of the
// name is there already, which only a name of another process's making could be.
constexpr int kMaxAttempts = 1000;
// Longest path a hidden folder and a temporary file in it add to their folder: the prefix, three hex
// numbers of up to 16 digits and two "-", a separator, a hex number, the terminator.
constexpr size_t kLongestAddedPath = std::char_traits<char>::length(kSafeOutputFolderPrefix) + 3 * 16 + 2 + 1 + 16 + 1;

// The state of an entry of the interruption tables (the temporary files' slots and the hidden folders).
// Only the thread that claimed an entry writes its path, and only in state kFilling; the sweep reads a
// path only after taking the entry from kNamed to kSwept, and every change out of kNamed is a
// compare-and-swap, so no thread rewrites a path being read.
enum EntryState : int { kFree = 0, kFilling = 1, kNamed = 2, kSwept = 3 };
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free entry states");

// Every member has a constant initial value, so the table is zero-initialised with the program's
// image, not by a loop at start-up that would touch its 2 MB (a page per slot) in every run.
struct Slot {
    std::atomic<int> state{kFree};
    char path[kSafeOutputPathBytes] = {};
};
Slot g_slots[kSafeOutputSlots];

// A hidden folder of this process. Its users (the open outputs in it) are counted under
// g_folders_mutex, which every change but the sweep's is made under. The paths are kept apart from
// the entries, so that looking for a folder's entry reads a few KB, not a page per entry.
struct FolderEntry {
    std::atomic<int> state{kFree};
    std::atomic<intptr_t> lock{kNoFile};  // the held lock file
    int users = 0;
    size_t parent_length = 0;             // the bytes of the path that name the folder it is in
};
FolderEntry g_folders[kSafeOutputSlots];
char g_folder_paths[kSafeOutputSlots][kSafeOutputPathBytes];
std::mutex g_folders_mutex;
// The folders whose abandoned hidden folders this process has removed: once each.
std::set<std::string> g_folders_swept;

// Set by the sweep: no file or folder is created after it.
std::atomic<bool> g_closed{false};
// Threads between the check of g_closed and the end of their creation; the sweep waits for the
// others' to end. A thread's own creation, interrupted by the sweep's signal, does not count.
std::atomic<int> g_creating{0};
thread_local bool t_creating = false;
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free closed flag");

// Counts the forks that led to this process: an output opened before one is its parent's.
std::atomic<unsigned> g_process{0};
// Names of temporary files and of hidden folders, not the same twice in a process (short of wrapping
// round, where the exclusive creation still tells them apart; the word stays lock-free everywhere).
std::atomic<unsigned long> g_next_name{0};

// Takes a free entry of `entries` for filling; -1 when every one is taken.
template <typename Entry>
int ClaimEntry(Entry* entries) {
    for (int i = 0; i < kSafeOutputSlots; ++i) {
        int expected = kFree;
        if (entries[i].state.compare_exchange_strong(expected, kFilling)) return i;
    }
    return -1;
}

// Takes a named entry back for a new name; false when the sweep has it (the process is ending).
bool Unname(std::atomic<int>& state) {
    int expected = kNamed;
    return state.compare_exchange_strong(expected, kFilling);
}

// Frees an entry, unless the sweep took it: then it stays taken until SafeOutput_Reopen, for the
// sweep may still read its path.
void FreeEntry(std::atomic<int>& state) {
    int expected = kNamed;
    if (!state.compare_exchange_strong(expected, kFree) && expected == kFilling) state.store(kFree);
}

void ReleaseSlot(int& slot) {
    if (slot >= 0) FreeEntry(g_slots[slot].state);
    slot = -1;
}

// Runs `create` unless the tables are closed (then `closed` is set). While it runs, the sweep on
// another thread waits.
template <typename Create>
CreateResult CreateUnlessClosed(Create create, bool& closed) {
    g_creating.fetch_add(1);
    t_creating = true;
    closed = g_closed.load();
    CreateResult result = CreateResult::Failed;
    if (!closed) result = create();
    t_creating = false;
    g_creating.fetch_sub(1);
    return result;
}

std::string Hex(unsigned long long number) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%llx", number);
    return digits;
}

// "<folder>.calstars2fp-<process>-<count>-<clock>": a name no other process makes (the process
// number tells the live ones apart, the clock those before it of the same number, on this host or
// another sharing the folder).
std::string HiddenFolderPath(const std::string& folder) {
    const auto clock = std::chrono::system_clock::now().time_since_epoch().count();
    return folder + kSafeOutputFolderPrefix + Hex(ProcessNumber()) + "-" + Hex(g_next_name.fetch_add(1)) + "-" +
           Hex(static_cast<unsigned long long>(clock));
}

// The folder that `final_name` is in, as written in it: up to its last separator ("" for the current
// folder). Two spellings of one folder have a hidden folder each.
std::string FolderOf(const std::string& final_name) {
    const size_t separator = final_name.find_last_of(kPathSeparators);
    return separator == std::string::npos ? std::string() : final_name.substr(0, separator + 1);
}

// The system's error for a final name that cannot name a file: empty, ending in a separator, or
// ending in "." or ".." (the folder itself, or its parent); 0 for a name that may be written.
// Checked before anything is created, so that no hidden folder is made inside such a folder. A
// folder that merely stands at a file's name fails at the rename, as any other entry that cannot be
// replaced does.
int RefusedFinalName(const std::string& final_name) {
    if (final_name.empty()) return kEmptyNameError;
    const size_t separator = final_name.find_last_of(kPathSeparators);
    const std::string last = separator == std::string::npos ? final_name : final_name.substr(separator + 1);
    return last.empty() || last == "." || last == ".." ? kFolderNameError : 0;
}

void RunForksSafely();

// Makes a hidden folder for `folder` in a free entry, with its first user. -1 (and `error`) when it
// cannot be made; the entry is then free again (or the sweep's).
int MakeFolderEntry(const std::string& folder, int& error) {
    const int index = ClaimEntry(g_folders);
    if (index < 0) {
        error = kBeyondTable;
        return -1;
    }
    FolderEntry& entry = g_folders[index];
    char* path = g_folder_paths[index];
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const std::string name = HiddenFolderPath(folder);
        // Named before it exists: a sweep at any moment from now on removes it.
        std::memcpy(path, name.c_str(), name.size() + 1);
        entry.parent_length = folder.size();
        entry.state.store(kNamed);
        bool closed = false;
        const CreateResult created = CreateUnlessClosed(
            [&] {
                intptr_t lock = kNoFile;
                const CreateResult result = MakeHiddenFolder(path, lock, error);
                entry.lock.store(lock);
                return result;
            },
            closed);
        if (closed) {
            error = EINTR;
            FreeEntry(entry.state);
            return -1;
        }
        if (created == CreateResult::Created) {
            entry.users = 1;
            return index;
        }
        if (created == CreateResult::Failed) {
            FreeEntry(entry.state);
            return -1;
        }
        if (!Unname(entry.state)) {
            error = EINTR;
            return -1;
        }
    }
    entry.state.store(kFree);
    error = kBeyondTable;
    return -1;
}

// The entry of this process's hidden folder in `folder`, with one more user: the one in use there, or
// a new one, made after the abandoned ones of earlier processes are removed (once per folder). -1
// (and `error`) when none can be made.
int AcquireFolder(const std::string& folder, int& error) {
    RunForksSafely();
    std::lock_guard<std::mutex> hold(g_folders_mutex);
    if (g_folders_swept.insert(folder).second) RemoveAbandonedFolders(folder);
    for (int i = 0; i < kSafeOutputSlots; ++i) {
        FolderEntry& entry = g_folders[i];
        if (entry.state.load() == kNamed && entry.users > 0 && entry.parent_length == folder.size() &&
            std::memcmp(g_folder_paths[i], folder.data(), folder.size()) == 0) {
            ++entry.users;
            return i;
        }
    }
    return MakeFolderEntry(folder, error);
}

// One user fewer of the hidden folder; the last one removes it.
void ReleaseFolder(int& index) {
    if (index < 0) return;
    std::lock_guard<std::mutex> hold(g_folders_mutex);
    FolderEntry& entry = g_folders[index];
    if (--entry.users == 0) {
        // Removed while still named, so that a stop at any moment removes it too (removing a name
        // twice does no harm); only then is the entry free for another folder. After a sweep, the
        // removal is done again by the last user: where a file removed while open stays until its
        // handle closes (Windows), the folder could not go before.
        ReleaseHiddenFolder(g_folder_paths[index], entry.lock.exchange(kNoFile));
        FreeEntry(entry.state);
    }
    index = -1;
}

// Around a fork the hidden folders' table is held, so that the child's copy is consistent and its
// lock free. The child starts with empty tables: the entries name the parent's files and folders,
// which the child must never remove, and no creation of another thread is under way there.
void BeforeFork() { g_folders_mutex.lock(); }
void AfterForkInParent() { g_folders_mutex.unlock(); }
void AfterForkInChild() {
    g_process.fetch_add(1);
    g_creating.store(0);
    for (Slot& slot : g_slots) {
        if (slot.state.load() != kFree) slot.state.store(kFree);
    }
    for (FolderEntry& entry : g_folders) {
        if (entry.state.load() == kFree) continue;
        int ignored = 0;
        const intptr_t lock = entry.lock.exchange(kNoFile);
        if (lock != kNoFile) CloseFile(lock, ignored);  // the parent's own handle keeps its hold
        entry.users = 0;
        entry.state.store(kFree);
    }
    g_folders_mutex.unlock();
}

void RunForksSafely() {
    static const bool registered = (RunAroundForks(BeforeFork, AfterForkInParent, AfterForkInChild), true);
    (void)registered;
}

}  // namespace

SafeOutputFolderHold::SafeOutputFolderHold(const std::string& final_name) {
    int ignored = 0;
    if (RefusedFinalName(final_name) == 0) folder_ = AcquireFolder(FolderOf(final_name), ignored);
}

SafeOutputFolderHold::~SafeOutputFolderHold() { ReleaseFolder(folder_); }

namespace {

// Writes the mark into the newly created temporary file: from now on a run that finds it abandoned
// may remove it.
bool WriteMark(SafeOutput& output, int& error) { return WriteToFile(output.file, kTemporaryMark, kTemporaryMarkBytes, error); }

// Lets go of the entries of an output that holds no temporary file (any more).
void ReleaseEntries(SafeOutput& output) {
    ReleaseSlot(output.slot);
    ReleaseFolder(output.folder);
}

// Clears the output's open state once its temporary file is closed and renamed or removed.
void Forget(SafeOutput& output) {
    output.file = kNoFile;
    output.temporary_name.clear();
    ReleaseEntries(output);
}

// An output of the parent process, inherited open through a fork: its files and entries are the
// parent's, so only the child's copy of its handle is closed.
bool ForgetIfInherited(SafeOutput& output) {
    if (output.process == g_process.load()) return false;
    int ignored = 0;
    if (output.file != kNoFile) CloseFile(output.file, ignored);
    output.file = kNoFile;
    output.temporary_name.clear();
    output.slot = -1;
    output.folder = -1;
    output.ok = false;
    return true;
}

}  // namespace

bool IsHiddenFolderName(const std::string& name) {
    const size_t prefix = std::char_traits<char>::length(kSafeOutputFolderPrefix);
    return name.size() > prefix && name.compare(0, prefix, kSafeOutputFolderPrefix) == 0 &&
           name.find_first_not_of("0123456789abcdef-", prefix) == std::string::npos;
}

SafeOutput::~SafeOutput() { SafeOutput_Abandon(*this); }

bool SafeOutput_Open(SafeOutput& output, const std::string& final_name) {
    SafeOutput_Abandon(output);
    output.final_name = final_name;
    output.ok = true;
    output.error = 0;
    output.size = 0;
    output.process = g_process.load();
    if ((output.error = RefusedFinalName(final_name)) != 0) return false;
    const std::string folder = FolderOf(final_name);
    // The final name is held to the table's bound too, so that a name too long for it is refused
    // before anything is created, as any path too long.
    if (final_name.size() >= kSafeOutputPathBytes || folder.size() + kLongestAddedPath > kSafeOutputPathBytes ||
        (output.slot = ClaimEntry(g_slots)) < 0) {
        output.error = kBeyondTable;
        return false;
    }
    if ((output.folder = AcquireFolder(folder, output.error)) < 0) {
        ReleaseSlot(output.slot);
        return false;
    }
    const std::string hidden = g_folder_paths[output.folder];
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const std::string name = hidden + kPathSeparators[0] + Hex(g_next_name.fetch_add(1));
        std::memcpy(g_slots[output.slot].path, name.c_str(), name.size() + 1);
        g_slots[output.slot].state.store(kNamed);
        intptr_t file = kNoFile;
        int error = 0;
        bool closed = false;
        const CreateResult created = CreateUnlessClosed([&] { return CreateNewFile(name.c_str(), file, error); }, closed);
        if (closed) {
            output.error = EINTR;
            ReleaseEntries(output);
            return false;
        }
        switch (created) {
            case CreateResult::Created:
                if (!HoldNewFile(file)) {  // removed before it was held: another name
                    CloseFile(file, error);
                    if (!Unname(g_slots[output.slot].state)) break;
                    continue;
                }
                output.file = file;
                output.temporary_name = name;
                if (!WriteMark(output, error)) {
                    SafeOutput_Abandon(output);
                    output.error = error;
                    return false;
                }
                return true;
            case CreateResult::Exists:  // a name of this process's making, yet there
                if (!Unname(g_slots[output.slot].state)) break;
                continue;
            case CreateResult::Failed:
                output.error = error;
                ReleaseEntries(output);
                return false;
        }
        // The sweep took the slot: the process is ending.
        output.error = EINTR;
        output.slot = -1;
        ReleaseEntries(output);
        return false;
    }
    output.error = kBeyondTable;
    ReleaseEntries(output);
    return false;
}

bool SafeOutput_Write(SafeOutput& output, const void* data, size_t size) {
    if (ForgetIfInherited(output) || output.file == kNoFile || !output.ok) return false;
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
    if (ForgetIfInherited(output) || output.file == kNoFile) return false;
    int error = 0;
    // The real first bytes over the mark (a file shorter than the mark cut to its size first): the
    // file is now what it will be under its final name, and no run takes it for abandoned any more.
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
    if (ForgetIfInherited(output)) return;
    if (output.temporary_name.empty()) {
        ReleaseEntries(output);
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
    g_closed.store(true);
    // Creations under way on other threads end in a named entry (a file's creation is one system call,
    // a hidden folder's a few); this thread's own, if the signal interrupted it, has its name in the
    // table already.
    const int own = t_creating ? 1 : 0;
    while (g_creating.load() > own) {
    }
    for (Slot& slot : g_slots) {
        int expected = kNamed;
        if (slot.state.compare_exchange_strong(expected, kSwept)) RemoveEntry(slot.path);
    }
    // The temporary files are gone: the hidden folders hold only their lock files.
    for (int i = 0; i < kSafeOutputSlots; ++i) {
        int expected = kNamed;
        if (g_folders[i].state.compare_exchange_strong(expected, kSwept)) RemoveHiddenFolder(g_folder_paths[i]);
    }
}

void SafeOutput_Reopen() {
    for (Slot& slot : g_slots) {
        int expected = kSwept;
        slot.state.compare_exchange_strong(expected, kFree);
    }
    for (FolderEntry& entry : g_folders) {
        if (entry.state.load() != kSwept) continue;
        int ignored = 0;
        const intptr_t lock = entry.lock.exchange(kNoFile);
        if (lock != kNoFile) CloseFile(lock, ignored);
        entry.users = 0;
        entry.state.store(kFree);
    }
    g_closed.store(false);
}
