#include "runner/sweep_pool.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

struct Slot {
    pid_t pid = 0;
    size_t index = 0;  // which run
    std::chrono::steady_clock::time_point started;
    std::string result_path, capture_path;
};

std::string Read_File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Sanitizer_Report(const std::string& capture) {
    return capture.find("Sanitizer") != std::string::npos || capture.find("runtime error:") != std::string::npos;
}

Pool_End End_Of(const Slot& slot, int status, bool timed_out) {
    Pool_End end;
    std::string capture = Read_File(slot.capture_path);
    if (timed_out) {
        end.problem = "no end within the time limit (hung?)";
    } else if (WIFSIGNALED(status)) {
        end.problem = "ended by signal " + std::to_string(WTERMSIG(status));
    } else if (WEXITSTATUS(status) != 0) {
        end.problem = "the run ended with status " + std::to_string(WEXITSTATUS(status));
    }
    if (Sanitizer_Report(capture)) end.problem += (end.problem.empty() ? "" : "; ") + std::string("sanitizer report");
    if (!end.problem.empty()) {
        // The first lines of the run's own output say what happened.
        std::istringstream lines(capture);
        int shown = 0;
        for (std::string line; shown < 40 && std::getline(lines, line); ++shown) end.problem += "\n      " + line;
    }
    end.result = Read_File(slot.result_path);
    return end;
}

}  // namespace

Pool::Pool(unsigned long jobs, unsigned long timeout) : jobs_(jobs), timeout_(timeout) {
    char folder_template[] = "/tmp/vpsim-sweep-XXXXXX";
    if (!mkdtemp(folder_template)) {
        std::perror("vpsim: mkdtemp");
        return;
    }
    work_ = folder_template;
    // SIGCHLD is blocked so that the parent sleeps in sigtimedwait until a child ends.
    sigset_t child_ended;
    sigemptyset(&child_ended);
    sigaddset(&child_ended, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child_ended, nullptr);
}

Pool::~Pool() {
    if (work_.empty()) return;
    for (unsigned long s = 0; s < jobs_; ++s) {
        std::remove((work_ + "/result-" + std::to_string(s)).c_str());
        std::remove((work_ + "/output-" + std::to_string(s)).c_str());
    }
    rmdir(work_.c_str());
}

void Pool::Run(size_t count, const std::function<void(size_t, const std::string&)>& child,
               const std::function<void(size_t, const Pool_End&)>& take) {
    std::vector<Slot> slots(jobs_);
    for (size_t s = 0; s < slots.size(); ++s) {
        slots[s].result_path = work_ + "/result-" + std::to_string(s);
        slots[s].capture_path = work_ + "/output-" + std::to_string(s);
    }
    sigset_t child_ended;
    sigemptyset(&child_ended);
    sigaddset(&child_ended, SIGCHLD);
    size_t next = 0, running = 0;
    std::fflush(stdout);
    std::fflush(stderr);
    while (next < count || running > 0) {
        for (Slot& slot : slots) {
            if (slot.pid != 0 || next == count) continue;
            std::remove(slot.result_path.c_str());
            pid_t pid = fork();
            if (pid < 0) {
                std::perror("vpsim: fork");
                std::exit(74);
            }
            if (pid == 0) {
                sigset_t none;
                sigemptyset(&none);
                sigprocmask(SIG_SETMASK, &none, nullptr);
                int capture = open(slot.capture_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (capture >= 0) {
                    dup2(capture, 1);
                    dup2(capture, 2);
                    close(capture);
                }
                child(next, slot.result_path);
                std::_Exit(70);  // a child must not return into the parent's loop
            }
            slot.pid = pid;
            slot.index = next++;
            slot.started = std::chrono::steady_clock::now();
            ++running;
        }
        // Sleep until a child ends (SIGCHLD, blocked so that it waits here) or a second passes.
        timespec second = {1, 0};
        sigtimedwait(&child_ended, nullptr, &second);
        for (Slot& slot : slots) {
            if (slot.pid == 0) continue;
            int status = 0;
            pid_t done = waitpid(slot.pid, &status, WNOHANG);
            bool timed_out = false;
            if (done == 0) {
                if (std::chrono::steady_clock::now() - slot.started < std::chrono::seconds(timeout_)) continue;
                kill(slot.pid, SIGKILL);
                waitpid(slot.pid, &status, 0);
                timed_out = true;
            }
            take(slot.index, End_Of(slot, status, timed_out));
            slot.pid = 0;
            --running;
        }
    }
}
