// A program run by a test or a benchmark, with its stdout on a pipe. It gets
// a process group of its own, so that whatever it starts in turn (tshark
// starts dumpcap) goes with it, and it never outlives its holder: the
// destructor asks it to end, kills the group when it does not, and reaps it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace testsupport {

class ChildProcess {
public:
    using Clock = std::chrono::steady_clock;

    enum class Stderr { Capture /* for ErrText() */, Inherit, Discard };
    // A group of its own takes along whatever the program starts in turn
    // (tshark starts dumpcap); a shared group lets a Ctrl-C in the terminal
    // reach the child too, even when this process dies without cleaning up.
    enum class Group { Shared, Own };

    // argv[0] is looked up in PATH. Throws std::system_error when the program
    // cannot be started; its code is ENOENT when there is no such program.
    explicit ChildProcess(const std::vector<std::string>& argv, Stderr err = Stderr::Capture,
                          Group group = Group::Shared)
        : ownGroup_(group == Group::Own) {
        int out[2], errPipe[2] = {-1, -1};
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
        if (err == Stderr::Capture && ::pipe2(errPipe, O_CLOEXEC) != 0) {
            const int e = errno;
            ::close(out[0]);
            ::close(out[1]);
            throw std::system_error(e, std::generic_category(), "pipe");
        }
        out_ = out[0];
        err_ = errPipe[0];

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (err == Stderr::Capture) posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        if (err == Stderr::Discard) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

        // Signals this process ignores or blocks must not be inherited: the
        // child's own handling of SIGTERM is how it is asked to end.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t defaults, none;
        sigemptyset(&defaults);
        for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaddset(&defaults, s);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(
            &attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | (ownGroup_ ? POSIX_SPAWN_SETPGROUP : 0));

        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const int rc = ::posix_spawnp(&pid_, args[0], &actions, &attr, args.data(), environ);
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (errPipe[1] >= 0) ::close(errPipe[1]);
        if (rc != 0) {
            pid_ = -1;
            CloseAll();
            throw std::system_error(rc, std::generic_category(), "cannot start " + argv.at(0));
        }
        // Nothing else may wait for this child, so its pid, and with it the
        // group id, stays reserved until it is reaped here.
        // Through syscall(): glibc 2.36 declares pidfd_open without C linkage.
        pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        for (int fd : {out_, err_})
            if (fd >= 0) ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }

    ~ChildProcess() {
        if (pid_ > 0 && !status_ && !Terminate(Clock::now() + std::chrono::seconds(5))) {
            ::kill(ownGroup_ ? -pid_ : pid_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
        CloseAll();
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Takes in what the child writes until `done` holds, its output has ended
    // or the deadline has passed; returns what `done` says at the end.
    bool ReadUntil(Clock::time_point deadline, const std::function<bool()>& done) {
        while (!done()) {
            if (OutputEnded()) return false;
            pollfd fds[2];
            nfds_t n = 0;
            for (int fd : {out_, err_})
                if (fd >= 0) fds[n++] = pollfd{fd, POLLIN, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            const int ready = ::poll(fds, n, static_cast<int>(std::min<long long>(left, 60'000)));
            if (ready < 0 && errno != EINTR) return false;
            if (ready > 0) Drain();
        }
        return true;
    }

    // The next line of stdout that no call before has returned, without its
    // end; nothing when the output has ended or the deadline has passed.
    std::optional<std::string> ReadLine(Clock::time_point deadline) {
        if (!ReadUntil(deadline, [this] { return next_ < lines_.size(); })) return std::nullopt;
        return lines_[next_++];
    }

    // Takes in the rest of the output and reaps the child. Returns its exit
    // status, 128 + the signal when one ended it, or nothing when it was
    // still running at the deadline (the destructor ends it then).
    std::optional<int> Wait(Clock::time_point deadline) {
        ReadUntil(deadline, [] { return false; });
        AwaitExit(deadline);
        if (!status_) return std::nullopt;
        return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : 128 + WTERMSIG(*status_);
    }

    // Wait(), after asking the child to end (SIGTERM).
    std::optional<int> Terminate(Clock::time_point deadline) {
        Signal(SIGTERM);
        return Wait(deadline);
    }
    void Signal(int signal) {
        if (pid_ > 0 && !status_) ::kill(pid_, signal);
    }
    // Closes this end of the child's standard output, as a reader that went
    // away (`| head`) does: the child's next write meets a broken pipe.
    void CloseOutput() {
        if (out_ >= 0) ::close(out_);
        out_ = -1;
    }
    pid_t Pid() const { return pid_; }

    // All complete lines of stdout so far, without their line ends.
    const std::vector<std::string>& OutLines() const { return lines_; }
    const std::string& ErrText() const { return errText_; }
    bool OutputEnded() const { return out_ < 0 && err_ < 0; }
    // The resource use of the reaped child (ru_maxrss in KiB).
    const rusage& Usage() const { return usage_; }

private:
    void Drain() {
        char buf[4096];
        for (int* fd : {&out_, &err_}) {
            while (*fd >= 0) {
                const ssize_t got = ::read(*fd, buf, sizeof buf);
                if (got > 0) {
                    if (fd == &out_) {
                        partial_.append(buf, static_cast<size_t>(got));
                        for (size_t eol; (eol = partial_.find('\n')) != std::string::npos;) {
                            lines_.push_back(partial_.substr(0, eol));
                            partial_.erase(0, eol + 1);
                        }
                    } else {
                        errText_.append(buf, static_cast<size_t>(got));
                    }
                    continue;
                }
                if (got < 0 && errno == EINTR) continue;
                if (got < 0 && errno == EAGAIN) break;
                ::close(*fd);  // end of stream, or an error that ends it as well
                *fd = -1;
                // A last line without its end is a line all the same.
                if (fd == &out_ && !partial_.empty()) lines_.push_back(std::move(partial_));
                partial_.clear();
            }
        }
    }

    // Reaps the child once it has ended; false when it is still running at the deadline.
    bool AwaitExit(Clock::time_point deadline) {
        if (status_) return true;
        if (pid_ <= 0) return false;
        // Without a pidfd (a kernel older than 5.3) there is no waiting with a
        // deadline: only a child that has already ended is reaped, unless
        // there is no deadline at all.
        while (pidfd_ >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p{pidfd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, 60'000)));
            if (ready > 0) break;
            if (ready == 0 && left <= 0) return false;
            if (ready < 0 && errno != EINTR) return false;
        }
        const int flags = pidfd_ < 0 && deadline == Clock::time_point::max() ? 0 : WNOHANG;
        int status = 0;
        pid_t r;
        while ((r = ::wait4(pid_, &status, flags, &usage_)) < 0 && errno == EINTR) {
        }
        if (r == pid_) status_ = status;
        return status_.has_value();
    }

    void CloseAll() {
        for (int* fd : {&out_, &err_, &pidfd_})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
    }

    bool ownGroup_;
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1, pidfd_ = -1;
    std::optional<int> status_;
    rusage usage_{};
    std::string partial_;
    std::vector<std::string> lines_;
    size_t next_ = 0;
    std::string errText_;
};

}  // namespace testsupport
