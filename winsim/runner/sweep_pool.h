// The sweep's worker pool: runs as forked children of the process that loaded the scenario, a few at a
// time, each within a time limit.
#pragma once

#include <functional>
#include <string>

struct Pool_End {
    std::string problem;  // empty, or why the child did not end well: the time limit, a signal, a non-zero
                          // status, a sanitizer report; with the first lines of its output
    std::string result;   // what the child wrote to its result file
};

class Pool {
public:
    // Children run at most `jobs` at a time, each ended after `timeout` seconds; their files go to a
    // temporary folder, removed with the pool.
    Pool(unsigned long jobs, unsigned long timeout);
    ~Pool();
    bool Ready() const { return !work_.empty(); }
    // Runs `count` children. Each child runs child(index, result_path) with its standard output and
    // error captured, and must not return; the parent hands each ending to take(index, end) as it
    // comes. Nothing is kept of the endings: whatever the parent's heap holds, every child copies on
    // write and every child's leak check reads.
    void Run(size_t count, const std::function<void(size_t, const std::string&)>& child,
             const std::function<void(size_t, const Pool_End&)>& take);

private:
    unsigned long jobs_, timeout_;
    std::string work_;
};
