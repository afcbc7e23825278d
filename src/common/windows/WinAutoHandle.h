#pragma once

#include <windows.h>

// Close a kernel-object handle or a registry key. They never raise: a failed close is
// written to the log as an ERROR record, so owners may close while an exception unwinds.
void closeHANDLE(HANDLE handle);
void closeRegHandle(HKEY key);

// Owner of one value that close releases. It closes at most once, and leaves the thread's
// last error as it found it, so that a close on the way out of a failed call does not
// change the error that is being reported.
template <class T, void (*close)(T)>
class AutoOwner {
public:
    explicit AutoOwner(T value) : value(value), owned(true) {}
    ~AutoOwner() { reset(); }

    AutoOwner(AutoOwner&& other) noexcept : value(other.value), owned(other.owned) { other.owned = false; }
    AutoOwner(const AutoOwner&) = delete;
    AutoOwner& operator=(const AutoOwner&) = delete;
    // Closes what it held and takes over the other's value.
    AutoOwner& operator=(AutoOwner&& other) noexcept {
        if (this != &other) {
            reset();
            value = other.value;
            owned = other.owned;
            other.owned = false;
        }
        return *this;
    }

    void reset() {
        if (owned) {
            owned = false;
            const DWORD lastError = GetLastError();
            close(value);
            SetLastError(lastError);
        }
    }

    // Gives up ownership without closing; the value stays readable.
    void detach() { owned = false; }

    T get() const { return value; }
    bool isOwned() const { return owned; }

private:
    T value;
    bool owned;
};

using AutoHandle = AutoOwner<HANDLE, closeHANDLE>;
// A predefined root key is detached by its holder, never closed.
using AutoRegHandle = AutoOwner<HKEY, closeRegHandle>;

// Both handles of a process that CreateProcess started, taken over as soon as it returns.
// The thread handle is closed first, then the process handle.
class AutoProcess {
public:
    explicit AutoProcess(const PROCESS_INFORMATION& started)
        : processHandle(started.hProcess), threadHandle(started.hThread), processId(started.dwProcessId) {}
    ~AutoProcess() = default;
    AutoProcess(AutoProcess&&) = default;

    HANDLE process() const { return processHandle.get(); }
    HANDLE thread() const { return threadHandle.get(); }
    DWORD id() const { return processId; }

private:
    AutoHandle processHandle;
    AutoHandle threadHandle;
    DWORD processId;
};
