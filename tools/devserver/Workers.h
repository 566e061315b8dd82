#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A few threads that run jobs in order of arrival. The destructor lets the
// queued jobs finish and joins the threads. Plain std::thread, so that the
// join is a synchronisation ThreadSanitizer can see (Qt's pooled threads are
// detached, which makes every tear-down look like a race to it).
class Workers
{
public:
    explicit Workers(int count)
    {
        for (int i = 0; i < count; ++i)
            m_threads.emplace_back([this] { run(); });
    }

    ~Workers()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        for (std::thread &thread : m_threads)
            thread.join();
    }

    Workers(const Workers &) = delete;
    Workers &operator=(const Workers &) = delete;

    void start(std::function<void()> job)
    {
        {
            std::lock_guard lock(m_mutex);
            m_jobs.push_back(std::move(job));
        }
        m_wake.notify_one();
    }

private:
    void run()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
                if (m_jobs.empty())
                    return; // stopping, and nothing left to do
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            job();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};
