// Helpers for link engine tests: bounded polling, an owner that destroys a link and the
// engine timing for one test.
#pragma once

#include "aLinkInternal.h"
#include "corvane/aLink.h"

#include <chrono>
#include <thread>

// Polls pred every millisecond until it holds or limit passes; returns its last value.
template <class Pred> bool waitUntil(Pred pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Destroys the link (one use) when it goes out of scope.
class LinkOwner {
  public:
    explicit LinkOwner(aLinkRef link = 0) : link_(link) {}
    ~LinkOwner() { reset(); }
    LinkOwner(const LinkOwner&) = delete;
    LinkOwner& operator=(const LinkOwner&) = delete;
    aLinkRef get() const { return link_; }
    void reset(aLinkRef link = 0) {
        if (link_ != 0)
            aLink_Destroy(&link_);
        link_ = link;
    }

  private:
    aLinkRef link_;
};

inline bool linkReaches(aLinkRef link, linkStatus status, std::chrono::milliseconds limit) {
    return waitUntil([&] { return aLink_GetStatus(link) == status; }, limit);
}

// Sets the engine's timing for one test and puts the previous one back after it.
class ScopedLinkTiming {
  public:
    template <class Change> explicit ScopedLinkTiming(Change&& change) : saved_(aLink_GetTiming()) {
        aLinkTiming timing = saved_;
        change(timing);
        aLink_SetTiming(timing);
    }
    ~ScopedLinkTiming() { aLink_SetTiming(saved_); }
    ScopedLinkTiming(const ScopedLinkTiming&) = delete;
    ScopedLinkTiming& operator=(const ScopedLinkTiming&) = delete;

  private:
    aLinkTiming saved_;
};
