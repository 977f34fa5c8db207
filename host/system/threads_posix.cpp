// zolhost's threads and locks on POSIX: the standard library's, and an eventfd.
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <thread>

#include "host/system/threads.h"
#include "platform/posix_signals.h"

namespace zolhost {

struct Thread::Impl {
    std::thread thread;
};

Thread::Thread(std::function<void()> body) : impl_(std::make_unique<Impl>()) {
    const AllSignalsBlocked blocked;  // the new thread inherits the mask
    impl_->thread = std::thread(std::move(body));
}

Thread::~Thread() {
    Join();
}

Thread::Thread(Thread&& other) noexcept = default;

void Thread::Join() {
    if (impl_ != nullptr && impl_->thread.joinable()) {
        impl_->thread.join();
    }
}

struct Mutex::Impl {
    std::mutex m;
};

Mutex::Mutex() : impl_(std::make_unique<Impl>()) {}
Mutex::~Mutex() = default;
void Mutex::lock() { impl_->m.lock(); }
void Mutex::unlock() { impl_->m.unlock(); }

struct Condition::Impl {
    std::condition_variable cv;
};

Condition::Condition() : impl_(std::make_unique<Impl>()) {}
Condition::~Condition() = default;

bool Condition::WaitFor(std::unique_lock<Mutex>& lock, std::chrono::milliseconds limit,
                        const std::function<bool()>& done) {
    std::unique_lock<std::mutex> held(lock.mutex()->impl_->m, std::adopt_lock);
    const bool result = impl_->cv.wait_for(held, limit, done);
    held.release();  // still held, by `lock`
    return result;
}

void Condition::NotifyAll() {
    impl_->cv.notify_all();
}

Doorbell::Doorbell() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Doorbell::~Doorbell() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void Doorbell::Ring() {
    const std::uint64_t one = 1;
    if (write(fd_, &one, sizeof one) < 0) {
        // the counter is full: it polls readable anyway
    }
}

void Doorbell::Clear() {
    std::uint64_t n = 0;
    if (read(fd_, &n, sizeof n) < 0) {
        // it was clear
    }
}

}  // namespace zolhost
