// zolhost's threads and locks on Windows: the system's own, as the serial layer's
// monitor thread is (the mingw runtime's win32 thread model has no std::thread).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>

#include "host/system/threads.h"

namespace zolhost {

namespace {

DWORD WINAPI ThreadMain(LPVOID body) {
    (*static_cast<std::function<void()>*>(body))();
    return 0;
}

}  // namespace

struct Thread::Impl {
    std::function<void()> body;  // outlives the thread: Impl goes only after Join
    HANDLE handle = nullptr;
};

Thread::Thread(std::function<void()> body) : impl_(std::make_unique<Impl>()) {
    impl_->body = std::move(body);
    impl_->handle = CreateThread(nullptr, 0, ThreadMain, &impl_->body, 0, nullptr);
    if (impl_->handle == nullptr) {
        std::terminate();  // as std::thread would throw where a thread cannot be had
    }
}

Thread::~Thread() {
    Join();
}

Thread::Thread(Thread&& other) noexcept = default;

void Thread::Join() {
    if (impl_ != nullptr && impl_->handle != nullptr) {
        WaitForSingleObject(impl_->handle, INFINITE);
        CloseHandle(impl_->handle);
        impl_->handle = nullptr;
    }
}

struct Mutex::Impl {
    SRWLOCK lock = SRWLOCK_INIT;
};

Mutex::Mutex() : impl_(std::make_unique<Impl>()) {}
Mutex::~Mutex() = default;
void Mutex::lock() { AcquireSRWLockExclusive(&impl_->lock); }
void Mutex::unlock() { ReleaseSRWLockExclusive(&impl_->lock); }

struct Condition::Impl {
    CONDITION_VARIABLE cv = CONDITION_VARIABLE_INIT;
};

Condition::Condition() : impl_(std::make_unique<Impl>()) {}
Condition::~Condition() = default;

bool Condition::WaitFor(std::unique_lock<Mutex>& lock, std::chrono::milliseconds limit,
                        const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        // Ends early on a wake-up meant for another waiter, or none at all: done() is looked at again.
        SleepConditionVariableSRW(&impl_->cv, &lock.mutex()->impl_->lock, static_cast<DWORD>(left.count()), 0);
    }
    return true;
}

void Condition::NotifyAll() {
    WakeAllConditionVariable(&impl_->cv);
}

Doorbell::Doorbell() = default;
Doorbell::~Doorbell() = default;
void Doorbell::Ring() {}
void Doorbell::Clear() {}

}  // namespace zolhost
