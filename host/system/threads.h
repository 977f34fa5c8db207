// zolhost's own threads and locks (serve's device threads and their board and
// mailboxes): the standard library's on POSIX, the system's own on Windows
// (CreateThread, SRWLOCK, CONDITION_VARIABLE): the mingw runtime the Windows
// programs are built with (its win32 thread model, so that each exe stands alone
// with no winpthread DLL beside it) has no std::thread or std::mutex. One
// implementation per platform: threads_posix.cpp, threads_win32.cpp.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>  // std::lock_guard and std::unique_lock, which take a Mutex

namespace zolhost {

// A thread running `body`, joined by Join() or at the latest when it goes. On
// POSIX it starts with every signal blocked: signals stay with the main thread.
class Thread {
public:
    explicit Thread(std::function<void()> body);
    ~Thread();
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&&) = delete;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    void Join();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A lock for std::lock_guard and std::unique_lock.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    void unlock();

private:
    friend class Condition;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class Condition {
public:
    Condition();
    ~Condition();
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    // With `lock` held: waits until done() or `limit` has passed, the lock let go
    // meanwhile; what done() says at the end.
    bool WaitFor(std::unique_lock<Mutex>& lock, std::chrono::milliseconds limit, const std::function<bool()>& done);
    void NotifyAll();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A descriptor that a thread's wait watches for work handed to it: readable once
// rung, until cleared (POSIX: an eventfd). Windows has none (Fd() is -1): the
// waits there that take work from other threads look for it after every wait.
class Doorbell {
public:
    Doorbell();
    ~Doorbell();
    Doorbell(const Doorbell&) = delete;
    Doorbell& operator=(const Doorbell&) = delete;
    int Fd() const { return fd_; }
    void Ring();
    void Clear();

private:
    int fd_ = -1;
};

}  // namespace zolhost
