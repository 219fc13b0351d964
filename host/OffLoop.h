// Slow work (a file read and digested, a device tree walked, a wait on a server) on a thread of its
// own, its answer handed to an event loop by a queued call: the loop never waits on it.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

// One piece of work at a time. The thread is joined when its answer arrives, when other work
// replaces it, or when this goes (whose answer is then dropped): nothing outlives its owner.
class TOffLoop {
public:
    // Answers are delivered on `context`'s thread; `context` must outlive this.
    explicit TOffLoop(QObject* context) : context_(context) {}
    ~TOffLoop() {
        *generation_ = -1;
        Join();
    }
    TOffLoop(const TOffLoop&) = delete;
    TOffLoop& operator=(const TOffLoop&) = delete;

    // Runs `work()` on a thread of its own, then `done(answer)` on the context's loop. Work still
    // under way is waited for first, and its answer dropped: only the latest work is answered.
    // Everything `work` touches must be its own copy, or guarded.
    template <class Work, class Done>
    void Run(Work work, Done done) {
        Join();
        const int generation = ++*generation_;
        busy_ = true;
        thread_ = std::thread([this, generation, work = std::move(work), done = std::move(done), current = generation_,
                               context = context_]() mutable {
            auto answer = std::make_shared<decltype(work())>(work());
            // `current` and `this` are only read on the context's thread, where this is destroyed.
            QMetaObject::invokeMethod(context, [this, generation, current, done, answer] {
                if (*current != generation) return;
                Join();
                busy_ = false;
                done(std::move(*answer));
            }, Qt::QueuedConnection);
        });
    }
    // Work has been given and its answer has not arrived yet.
    bool Busy() const { return busy_; }
    // Waits for the work under way; its answer still comes by the loop.
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    QObject* context_;
    std::shared_ptr<int> generation_ = std::make_shared<int>(0);
    std::thread thread_;
    bool busy_ = false;
};
