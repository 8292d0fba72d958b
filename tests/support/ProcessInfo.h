#pragma once

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <chrono>
#include <unistd.h>
#include <vector>

//==============================================================================
/*  What /proc says about processes: children, descriptors, CPU time, memory.
    For tests and benchmarks that watch the web engine's child processes.
*/
namespace ProcessInfo
{
    inline std::string readFile (const std::string& path)
    {
        std::ifstream in (path, std::ios::binary);
        return { std::istreambuf_iterator<char> (in), {} };
    }

    struct Stat
    {
        char state = 0;
        int parent = 0;
        double cpuSeconds = 0;
    };

    /** The fields of /proc/<pid>/stat that the tests use; state 0 if there is no such process. */
    inline Stat stat (int pid)
    {
        const auto text = readFile ("/proc/" + std::to_string (pid) + "/stat");
        const auto close = text.rfind (')');       // the command name may hold spaces and parentheses

        Stat s;
        if (close == std::string::npos)
            return s;

        std::istringstream fields (text.substr (close + 2));
        std::string skip;
        unsigned long long user = 0, system = 0;
        fields >> s.state >> s.parent;
        for (int i = 0; i < 9; ++i)
            fields >> skip;
        fields >> user >> system;
        s.cpuSeconds = (double) (user + system) / (double) sysconf (_SC_CLK_TCK);
        return s;
    }

    inline std::vector<int> allProcesses()
    {
        std::vector<int> pids;

        if (auto* dir = opendir ("/proc"))
        {
            while (auto* e = readdir (dir))
                if (const auto pid = atoi (e->d_name); pid > 0)
                    pids.push_back (pid);

            closedir (dir);
        }

        return pids;
    }

    inline bool isRunning (int pid)
    {
        const auto s = stat (pid).state;
        return s != 0 && s != 'Z';
    }

    /** Running children of `parent` whose command line contains `marker`. */
    inline std::vector<int> children (int parent, const std::string& marker = {})
    {
        std::vector<int> found;

        for (auto pid : allProcesses())
        {
            if (stat (pid).parent != parent || ! isRunning (pid))
                continue;

            auto cmdline = readFile ("/proc/" + std::to_string (pid) + "/cmdline");
            std::replace (cmdline.begin(), cmdline.end(), '\0', ' ');

            if (cmdline.find (marker) != std::string::npos)
                found.push_back (pid);
        }

        return found;
    }

    inline int openDescriptors()
    {
        int count = 0;

        if (auto* dir = opendir ("/proc/self/fd"))
        {
            while (readdir (dir) != nullptr)
                ++count;

            closedir (dir);
        }

        return count;
    }

    /** A process and all its descendants. */
    inline std::set<int> tree (int root)
    {
        std::map<int, int> parents;
        for (auto pid : allProcesses())
            parents[pid] = stat (pid).parent;

        std::set<int> members { root };
        for (bool grew = true; grew;)
        {
            grew = false;
            for (auto& [pid, parent] : parents)
                if (members.count (parent) > 0 && members.insert (pid).second)
                    grew = true;
        }

        return members;
    }

    /** CPU time so far of every thread of a process and its descendants, in
        seconds, from the scheduler's nanosecond counters.
    */
    inline double treeCpuSeconds (int root)
    {
        double seconds = 0;

        for (auto pid : tree (root))
        {
            const auto taskDir = "/proc/" + std::to_string (pid) + "/task";

            if (auto* dir = opendir (taskDir.c_str()))
            {
                while (auto* entry = readdir (dir))
                    if (entry->d_name[0] != '.')
                        seconds += std::strtod (readFile (taskDir + "/" + entry->d_name + "/schedstat").c_str(), nullptr) * 1.0e-9;

                closedir (dir);
            }
        }

        return seconds;
    }

    /** How often each thread of a process has gone to sleep of its own accord
        so far (its voluntary context switches), by thread id: each one was
        followed by a wake-up. Threads are named as in /proc (their "comm").
    */
    struct ThreadSleeps
    {
        std::map<int, long> count;
        std::map<int, std::string> name;
    };

    inline ThreadSleeps threadSleeps (int pid)
    {
        ThreadSleeps sleeps;
        const auto taskDir = "/proc/" + std::to_string (pid) + "/task";

        if (auto* dir = opendir (taskDir.c_str()))
        {
            while (auto* entry = readdir (dir))
            {
                if (entry->d_name[0] == '.')
                    continue;

                const auto tid = atoi (entry->d_name);
                std::istringstream status (readFile (taskDir + "/" + entry->d_name + "/status"));

                for (std::string line; std::getline (status, line);)
                    if (line.rfind ("voluntary_ctxt_switches:", 0) == 0)
                        sleeps.count[tid] = std::stol (line.substr (24));

                auto comm = readFile (taskDir + "/" + entry->d_name + "/comm");
                while (! comm.empty() && comm.back() == '\n')
                    comm.pop_back();
                sleeps.name[tid] = comm;
            }

            closedir (dir);
        }

        return sleeps;
    }

    /** The threads of a process that woke more than `limit` times while
        `interval` ran, each as "name (thread id): wake-ups".
    */
    inline std::vector<std::string> threadsWakingMoreThan (int pid, long limit, const std::function<void()>& interval)
    {
        const auto before = threadSleeps (pid);
        interval();
        const auto after = threadSleeps (pid);

        std::vector<std::string> found;

        for (auto& [tid, count] : after.count)
        {
            const auto known = before.count.find (tid);
            const auto wakes = count - (known != before.count.end() ? known->second : 0);

            if (wakes > limit)
                found.push_back (after.name.at (tid) + " (" + std::to_string (tid) + "): " + std::to_string (wakes));
        }

        return found;
    }

    /** Waits, in intervals of `intervalSeconds` (at most `maxIntervals`), for
        one in which no thread of the process woke more than `limit` times.
        Returns the threads that did in the last interval: none once the
        process has settled. Start-up work (a page loading, a first paint)
        ends; a thread that wakes on a schedule never settles.
    */
    inline std::vector<std::string> threadsStillWakingAfterSettling (int pid, long limit, int intervalSeconds, int maxIntervals)
    {
        std::vector<std::string> waking;

        for (int i = 0; i < maxIntervals; ++i)
        {
            waking = threadsWakingMoreThan (pid, limit, [intervalSeconds]
            {
                std::this_thread::sleep_for (std::chrono::seconds (intervalSeconds));
            });

            if (waking.empty())
                break;
        }

        return waking;
    }

    /** Resident memory of a process and all its descendants, in MiB. */
    inline double treeResidentMiB (int root)
    {
        double kib = 0;
        for (auto pid : tree (root))
        {
            std::istringstream status (readFile ("/proc/" + std::to_string (pid) + "/status"));
            for (std::string line; std::getline (status, line);)
                if (line.rfind ("VmRSS:", 0) == 0)
                    kib += std::stod (line.substr (6));
        }

        return kib / 1024.0;
    }
}
