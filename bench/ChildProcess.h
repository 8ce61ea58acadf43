// A child process whose standard output the benchmark reads line by line,
// and whose resource use it collects when the child has ended.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace bench {

class ChildProcess {
public:
    // Starts `path` with `args` (argv[1..]); stdout comes to us, stderr is
    // passed through unless `quiet`.
    ChildProcess(const std::string& path, const std::vector<std::string>& args, bool quiet = false) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            if (quiet) {
                const int null = open("/dev/null", O_WRONLY);
                if (null >= 0) dup2(null, STDERR_FILENO);
            }
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(path.c_str()));
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(fds[1]);
        if (pid_ < 0) {
            close(fds[0]);
            return;
        }
        out_ = fds[0];
    }

    ~ChildProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGTERM);
            Wait();
        }
        if (out_ >= 0) close(out_);
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return out_ >= 0; }
    pid_t Pid() const { return pid_; }

    // The next line without its end; false at the end of the output or when
    // nothing came within `timeoutMs` (-1: no limit).
    bool ReadLine(std::string& line, int timeoutMs = -1) {
        for (;;) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return true;
            }
            if (out_ < 0) return false;
            pollfd p{out_, POLLIN, 0};
            const int r = poll(&p, 1, timeoutMs);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            char chunk[4096];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                close(out_);
                out_ = -1;
                if (buffer_.empty()) return false;
                line.swap(buffer_);
                buffer_.clear();
                return true;
            }
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    void Terminate() {
        if (pid_ > 0 && !reaped_) kill(pid_, SIGTERM);
    }

    // Waits for the end; the exit status (128 + signal when killed), -1 when never started.
    int Wait() {
        if (pid_ <= 0) return -1;
        if (!reaped_) {
            int status = 0;
            while (wait4(pid_, &status, 0, &usage_) < 0 && errno == EINTR) {
            }
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return status_;
    }

    // The ended child's resource use (ru_maxrss in KiB).
    const rusage& Usage() const { return usage_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    bool reaped_ = false;
    int status_ = -1;
    rusage usage_{};
};

}  // namespace bench
