// A program on the simulated machine that runs beside the one the caller
// drives: on a thread of its own, but only while the thread that advances
// the virtual clock stands still in one of its actions (one at each of the
// program's wake-ups), so the two take turns at every wait, as two processes
// on one clock would, and never run at once.
#pragma once
#include <cstdint>
#include <functional>
#include <semaphore>
#include <thread>

#include "tests/fakes/FakeClock.h"

namespace fake {

class ProgramOnTheClock {
public:
    explicit ProgramOnTheClock(FakeClock& clock) : clock_(clock) {}
    ~ProgramOnTheClock() { Stop(); }
    ProgramOnTheClock(const ProgramOnTheClock&) = delete;
    ProgramOnTheClock& operator=(const ProgramOnTheClock&) = delete;

    bool finished = false;  // the program returned, was stopped, or never started
    bool idle = false;      // waiting for Notify rather than for a time
    bool inTurn = false;    // running now
    // Asked before each turn: false stops the program instead.
    std::function<bool()> goesOn;
    // Runs on the clock's thread after each turn (it may throw there).
    std::function<void()> afterTurn;

    // Runs `program` at once, up to its first wait.
    void Start(std::function<void()> program) {
        thread_ = std::thread([this, program = std::move(program)] {
            run_.acquire();
            try {
                if (!stopping_) program();
            } catch (const Stopped&) {
            }
            finished = true;
            back_.release();
        });
        Resume(turn_);
    }
    // On the program's thread: waits `ms` of virtual time, or (negative)
    // until Notify.
    void Wait(std::int64_t ms) {
        const std::uint64_t mine = ++turn_;
        idle = ms < 0;
        if (!idle) clock_.At(clock_.nowMs + ms, [this, mine] { Resume(mine); });
        back_.release();
        run_.acquire();
        idle = false;
        if (stopping_) throw Stopped{};
    }
    // Something came for an idle program: it runs at the clock's next step.
    void Notify() {
        if (idle) clock_.At(clock_.nowMs, [this, mine = turn_] { Resume(mine); });
    }
    // Ends the program where it waits: the wait throws, unwinding it.
    void Stop() {
        if (!thread_.joinable()) return;
        if (!finished) {
            stopping_ = true;
            run_.release();
            back_.acquire();
        }
        thread_.join();
    }
    bool Running() const { return thread_.joinable() && !finished; }

private:
    struct Stopped {};
    void Resume(std::uint64_t mine) {
        if (finished || mine != turn_) return;
        if (goesOn && !goesOn()) return Stop();
        inTurn = true;
        run_.release();
        back_.acquire();
        inTurn = false;
        if (afterTurn) afterTurn();
    }
    FakeClock& clock_;
    std::thread thread_;
    std::binary_semaphore run_{0}, back_{0};
    std::uint64_t turn_ = 0;
    bool stopping_ = false;
};

}  // namespace fake
