#include "tests/support/pty_link.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace testsupport {

namespace {

[[noreturn]] void Die(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

std::chrono::milliseconds Scaled(std::chrono::milliseconds limit) {
    static const int scale = [] {
        const char* v = std::getenv("ZOLEMUL_E2E_TIME_SCALE");
        if (v == nullptr || *v == '\0') {
            return 1;
        }
        char* end = nullptr;
        const long n = std::strtol(v, &end, 10);
        if (*end != '\0' || n < 1 || n > 20) {
            std::fprintf(stderr, "ZOLEMUL_E2E_TIME_SCALE=%s: expected a whole number from 1 to 20\n", v);
            std::exit(2);
        }
        return static_cast<int>(n);
    }();
    return limit * scale;
}

PtyPair::PtyPair(bool raw) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        Die("posix_openpt");
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        Die("ptsname_r");
    }
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    const int s = slave_;
    if (s < 0) {
        Die("open " + slavePath_);
    }
    termios tio{};
    tcgetattr(s, &tio);
    if (raw) {
        cfmakeraw(&tio);
    } else {
        tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    }
    tcsetattr(s, TCSANOW, &tio);
}

PtyPair::~PtyPair() {
    closeMaster();
    close(slave_);
}

void PtyPair::closeMaster() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

Collector::Collector(int fd) : fd_(fd), wakeFd_(eventfd(0, EFD_CLOEXEC)) {
    thread_ = std::thread([this] { run(); });
}

Collector::~Collector() {
    const std::uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
    thread_.join();
    close(wakeFd_);
}

void Collector::run() {
    pollfd pfds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    for (;;) {
        if (poll(pfds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (pfds[1].revents != 0) {
            return;
        }
        if (pfds[0].revents != 0) {
            std::uint8_t buf[4096];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) {
                pfds[0].fd = -1;  // hung up: only the stop request is left to wait for
                continue;
            }
            std::lock_guard lock(m_);
            data_.insert(data_.end(), buf, buf + n);
            cv_.notify_all();
        }
    }
}

Bytes Collector::bytes() const {
    std::lock_guard lock(m_);
    return data_;
}

std::string Collector::text() const {
    std::lock_guard lock(m_);
    return std::string(data_.begin(), data_.end());
}

std::size_t Collector::size() const {
    std::lock_guard lock(m_);
    return data_.size();
}

bool Collector::waitFor(const std::function<bool(const Bytes&)>& pred, std::chrono::milliseconds limit) const {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, Scaled(limit), [&] { return pred(data_); });
}

bool Collector::waitForText(const std::string& needle, std::chrono::milliseconds limit) const {
    return waitFor(
        [&](const Bytes& b) { return std::string(b.begin(), b.end()).find(needle) != std::string::npos; },
        limit);
}

bool Collector::waitForSize(std::size_t n, std::chrono::milliseconds limit) const {
    return waitFor([&](const Bytes& b) { return b.size() >= n; }, limit);
}

void Collector::clear() {
    std::lock_guard lock(m_);
    data_.clear();
}

Child::Child(const Options& o) {
    std::vector<char*> argv;
    for (const std::string& a : o.argv) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        Die("fork");
    }
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setsid();
        int in = o.stdinFd;
        int out = o.stdoutFd;
        if (!o.consolePath.empty()) {
            in = out = open(o.consolePath.c_str(), O_RDWR);  // becomes the controlling terminal
            if (in < 0) {
                _exit(120);
            }
            ioctl(in, TIOCSCTTY, 0);
        }
        if (in >= 0) {
            dup2(in, 0);
        } else if (in == kClosed) {
            close(0);
        }
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        } else if (out == kClosed) {
            close(1);
            close(2);
        }
        if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) {
            _exit(121);
        }
        execv(argv[0], argv.data());
        _exit(122);
    }
}

Child::~Child() {
    if (running()) {
        kill(pid_, SIGKILL);
        wait(5s);
    }
}

std::optional<int> Child::wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + Scaled(limit);
    while (!status_) {
        int st = 0;
        const pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
            break;
        }
        if (r < 0 || Clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    return status_;
}

bool Child::running() {
    return !wait(0ms).has_value();
}

void Child::signal(int sig) {
    if (running()) {
        kill(pid_, sig);
    }
}

std::map<pid_t, Child::ThreadUsage> Child::threadUsage() const {
    std::map<pid_t, ThreadUsage> threads;
    const std::string dir = "/proc/" + std::to_string(pid_) + "/task";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const pid_t tid = std::stoi(entry.path().filename().string());
        ThreadUsage t;
        t.main = tid == pid_;
        std::getline(std::ifstream(entry.path() / "comm"), t.name);
        // schedstat: nanoseconds on a CPU, nanoseconds waiting for one, times run.
        std::ifstream in(entry.path() / "schedstat");
        long long ns = 0;
        long long waited = 0;
        if (in >> ns >> waited >> t.runs) {  // else the thread has just ended
            t.cpu = std::chrono::nanoseconds(ns);
            threads[tid] = t;
        }
    }
    return threads;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/zoltest.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        Die("mkdtemp");
    }
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

Bytes Request(std::uint8_t d1, std::uint8_t d2, std::uint8_t d3, std::uint8_t d4) {
    Bytes f = {0x02, d1, d2, d3, d4, 0x03};
    unsigned sum = 0;
    for (std::uint8_t b : f) {
        sum += b;
    }
    f.push_back(static_cast<std::uint8_t>(1 - sum));
    return f;
}

Bytes ReplyFor(std::uint8_t d1) {
    Bytes f = {0x12, static_cast<std::uint8_t>(~d1), 0, 0, 0, 0, 0, 0x13};
    unsigned sum = 0;
    for (std::uint8_t b : f) {
        sum += b;
    }
    f.push_back(static_cast<std::uint8_t>(1 - sum));
    return f;
}

void WriteAll(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            Die("write");
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    char b[4];
    for (std::uint8_t x : bytes) {
        std::snprintf(b, sizeof b, "%02X ", x);
        out += b;
    }
    return out;
}

namespace {

// Numeric parameters of a control sequence ("12;3" -> 12, 3); empty ones are 0.
std::vector<std::size_t> CsiParams(const std::string& params) {
    std::vector<std::size_t> out(1, 0);
    for (char c : params) {
        if (c == ';') {
            out.push_back(0);
        } else if (c >= '0' && c <= '9') {
            out.back() = out.back() * 10 + static_cast<std::size_t>(c - '0');
        }
    }
    return out;
}

}  // namespace

std::string ScreenText(const std::string& s) {
    std::vector<std::string> lines(1);
    std::size_t row = 0;
    std::size_t col = 0;
    const auto toRow = [&](std::size_t r) {
        row = r;
        if (lines.size() <= row) {
            lines.resize(row + 1);
        }
    };
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\x1b' && i + 1 < s.size() && s[i + 1] == '[') {
            std::size_t j = i + 2;
            while (j < s.size() && (s[j] < 0x40 || s[j] > 0x7e)) {
                ++j;
            }
            if (j >= s.size()) {
                break;  // cut off: the rest has not arrived yet
            }
            const std::string params = s.substr(i + 2, j - i - 2);
            const char final = s[j];
            i = j;
            if (!params.empty() && params[0] == '?') {
                continue;  // modes such as showing and hiding the cursor
            }
            const std::vector<std::size_t> n = CsiParams(params);
            const std::size_t n0 = n[0];
            const std::size_t count = n0 == 0 ? 1 : n0;
            std::string& line = lines[row];
            switch (final) {
            case 'C': col += count; break;
            case 'D': col -= std::min(col, count); break;
            case 'A': row -= std::min(row, count); break;
            case 'B': toRow(row + count); break;
            case 'G': col = count - 1; break;
            case 'H':
            case 'f':
                toRow(n0 == 0 ? 0 : n0 - 1);
                col = n.size() > 1 && n[1] > 0 ? n[1] - 1 : 0;
                break;
            case 'K':
                if (n0 == 0) {
                    line.resize(std::min(line.size(), col));
                } else if (n0 == 1) {
                    line.replace(0, std::min(line.size(), col + 1), std::min(line.size(), col + 1), ' ');
                } else {
                    line.clear();
                }
                break;
            case 'J':
                if (n0 == 2 || n0 == 3) {
                    for (std::string& l : lines) {
                        l.clear();
                    }
                }
                break;
            default: break;  // colours and the like change no text
            }
            continue;
        }
        if (c == '\x1b' && i + 1 < s.size() && s[i + 1] == ']') {
            // A title or similar: up to BEL or ESC backslash.
            std::size_t j = i + 2;
            while (j < s.size() && s[j] != '\x07' && !(s[j] == '\x1b' && j + 1 < s.size() && s[j + 1] == '\\')) {
                ++j;
            }
            i = j < s.size() && s[j] == '\x1b' ? j + 1 : j;
            continue;
        }
        switch (c) {
        case '\x1b': ++i; break;  // another two-byte escape: no text
        case '\r': col = 0; break;
        case '\n': toRow(row + 1); col = 0; break;
        case '\b': col -= std::min<std::size_t>(col, 1); break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) {
                std::string& line = lines[row];
                if (line.size() <= col) {
                    line.resize(col + 1, ' ');
                }
                line[col++] = c;
            }
            break;
        }
    }
    std::string out;
    for (std::size_t r = 0; r < lines.size(); ++r) {
        std::string line = lines[r];
        line.erase(line.find_last_not_of(' ') + 1);
        out += (r == 0 ? "" : "\n") + line;
    }
    return out;
}

}  // namespace testsupport
